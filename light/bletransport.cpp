#include "light/bletransport.h"

BleDescriptor BleCharacteristic::descriptor(const QBluetoothUuid &descriptorUuid) const
{
    for (const BleDescriptor &d : descriptors) {
        if (d.uuid == descriptorUuid)
            return d;
    }
    return {};
}

BleCharacteristic BleService::characteristic(const QBluetoothUuid &uuid) const
{
    const QList<BleCharacteristic> all = characteristics();
    for (const BleCharacteristic &c : all) {
        if (c.uuid == uuid)
            return c;
    }
    return {};
}
