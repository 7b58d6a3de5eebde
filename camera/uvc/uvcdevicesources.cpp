#include "camera/uvc/uvctransport.h"

#include <algorithm>
#include <mutex>

namespace {

struct Registry
{
    std::mutex mutex;
    bool hardwareEnabled = true;
    std::vector<std::shared_ptr<UVCDeviceSource>> sources;
};

Registry &registry()
{
    static Registry r;
    return r;
}

} // namespace

void UVCDeviceSources::setHardwareEnabled(bool enabled)
{
    const std::lock_guard lock(registry().mutex);
    registry().hardwareEnabled = enabled;
}

bool UVCDeviceSources::hardwareEnabled()
{
    const std::lock_guard lock(registry().mutex);
    return registry().hardwareEnabled;
}

void UVCDeviceSources::add(const std::shared_ptr<UVCDeviceSource> &source)
{
    const std::lock_guard lock(registry().mutex);
    auto &sources = registry().sources;
    if (source && std::find(sources.begin(), sources.end(), source) == sources.end()) {
        sources.push_back(source);
    }
}

void UVCDeviceSources::remove(const std::shared_ptr<UVCDeviceSource> &source)
{
    const std::lock_guard lock(registry().mutex);
    auto &sources = registry().sources;
    sources.erase(std::remove(sources.begin(), sources.end(), source), sources.end());
}

std::vector<UVCDeviceEntry> UVCDeviceSources::enumerate()
{
    bool hardware;
    std::vector<std::shared_ptr<UVCDeviceSource>> sources;
    {
        const std::lock_guard lock(registry().mutex);
        hardware = registry().hardwareEnabled;
        sources = registry().sources;
    }
    std::vector<UVCDeviceEntry> devices;
    if (hardware) {
        devices = enumerateUsb();
    }
    for (const auto &source : sources) {
        for (UVCDeviceEntry &device : source->uvcDevices()) {
            devices.push_back(std::move(device));
        }
    }
    return devices;
}
