#!/usr/bin/python3
"""Plays the "Light_ble" panel on a mock BlueZ (python3-dbusmock's bluez5 template) that runs on
the bus in DBUS_SYSTEM_BUS_ADDRESS.

  mock_light_panel.py setup          adapter hci0, the advertised panel and its GATT objects
  mock_light_panel.py hang-connect   Connect from now on never resolves the services
  mock_light_panel.py notify HEX     the state characteristic notifies HEX
  mock_light_panel.py writes         every value written to the control characteristic, hex per line
  mock_light_panel.py calls OBJECT METHOD
                                     how often METHOD was called on OBJECT: device or state
"""
import sys

import dbus

SERVICE_UUID = '0000f530-1212-efde-1523-785feabcd123'
STATE_UUID = '0000f531-1212-efde-1523-785feabcd123'
CONTROL_UUID = '0000f532-1212-efde-1523-785feabcd123'
CCCD_UUID = '00002902-0000-1000-8000-00805f9b34fb'
ADDRESS = 'C0:FF:EE:54:4C:02'

DEVICE = '/org/bluez/hci0/dev_' + ADDRESS.replace(':', '_')
SERVICE = DEVICE + '/service0010'
STATE = SERVICE + '/char0011'
CCCD = STATE + '/desc0013'
CONTROL = SERVICE + '/char0014'

BUS = dbus.SystemBus()


def mock_of(path):
    return dbus.Interface(BUS.get_object('org.bluez', path), 'org.freedesktop.DBus.Mock')


def byte_array(data):
    return dbus.Array([dbus.Byte(b) for b in data], signature='y')


def set_connect(resolves):
    resolved = 'True' if resolves else 'False'
    mock_of(DEVICE).AddMethod('org.bluez.Device1', 'Connect', '', '',
                              "self.UpdateProperties('org.bluez.Device1', "
                              "{'Connected': dbus.Boolean(True), "
                              f"'ServicesResolved': dbus.Boolean({resolved})}})")


def add_object(path, interface, properties, methods):
    mock_of('/').AddObject(path, interface, properties, methods)
    # AddObject does not announce the object; Qt learns about it from InterfacesAdded.
    props = BUS.get_object('org.bluez', path).GetAll(
        interface, dbus_interface='org.freedesktop.DBus.Properties')
    mock_of('/').EmitSignal('org.freedesktop.DBus.ObjectManager', 'InterfacesAdded', 'oa{sa{sv}}',
                            [dbus.ObjectPath(path), {interface: props}])


def setup():
    bluez = dbus.Interface(BUS.get_object('org.bluez', '/'), 'org.bluez.Mock')
    bluez.AddAdapter('hci0', 'talvento-test')
    bluez.AddDevice('hci0', ADDRESS, 'Light_ble')
    set_connect(True)
    mock_of(DEVICE).AddMethod('org.bluez.Device1', 'Disconnect', '', '',
                              "self.UpdateProperties('org.bluez.Device1', "
                              "{'Connected': dbus.Boolean(False), "
                              "'ServicesResolved': dbus.Boolean(False)})")
    add_object(SERVICE, 'org.bluez.GattService1',
               {'UUID': SERVICE_UUID, 'Device': dbus.ObjectPath(DEVICE),
                'Primary': dbus.Boolean(True), 'Includes': dbus.Array([], signature='o')}, [])
    value_methods = [
        ('ReadValue', 'a{sv}', 'ay', "ret = self.Get('org.bluez.GattCharacteristic1', 'Value')"),
        ('WriteValue', 'aya{sv}', '', ''),
    ]
    add_object(STATE, 'org.bluez.GattCharacteristic1',
               {'UUID': STATE_UUID, 'Service': dbus.ObjectPath(SERVICE),
                'Value': byte_array([0, 0, 50, 50, 0, 0]),
                'Flags': dbus.Array(['read', 'notify'], signature='s'),
                'Notifying': dbus.Boolean(False)},
               value_methods + [
                   ('StartNotify', '', '', "self.UpdateProperties('org.bluez.GattCharacteristic1', "
                                           "{'Notifying': dbus.Boolean(True)})"),
                   ('StopNotify', '', '', "self.UpdateProperties('org.bluez.GattCharacteristic1', "
                                          "{'Notifying': dbus.Boolean(False)})")])
    add_object(CCCD, 'org.bluez.GattDescriptor1',
               {'UUID': CCCD_UUID, 'Characteristic': dbus.ObjectPath(STATE),
                'Value': byte_array([0, 0]), 'Flags': dbus.Array(['read', 'write'], signature='s')},
               [('ReadValue', 'a{sv}', 'ay', "ret = self.Get('org.bluez.GattDescriptor1', 'Value')"),
                ('WriteValue', 'aya{sv}', '', "self.UpdateProperties('org.bluez.GattDescriptor1', "
                                              "{'Value': dbus.Array(args[0], signature='y')})")])
    add_object(CONTROL, 'org.bluez.GattCharacteristic1',
               {'UUID': CONTROL_UUID, 'Service': dbus.ObjectPath(SERVICE),
                'Value': byte_array([]),
                'Flags': dbus.Array(['write', 'write-without-response'], signature='s'),
                'Notifying': dbus.Boolean(False)},
               value_methods)


def main(argv):
    command = argv[1] if len(argv) > 1 else ''
    if command == 'setup':
        setup()
    elif command == 'hang-connect':
        set_connect(False)
    elif command == 'notify':
        mock_of(STATE).UpdateProperties('org.bluez.GattCharacteristic1',
                                        {'Value': byte_array(bytes.fromhex(argv[2]))})
    elif command == 'writes':
        for _, args in mock_of(CONTROL).GetMethodCalls('WriteValue'):
            print(bytes(args[0]).hex())
    elif command == 'calls':
        path = {'device': DEVICE, 'state': STATE}[argv[2]]
        print(len(mock_of(path).GetMethodCalls(argv[3])))
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
