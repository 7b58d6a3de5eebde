#include "camera/uvc/uvcdescriptors.h"
#include "camera/uvc/uvctransport_p.h"

#include <libusb.h>

#include <QDebug>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

using Context = std::shared_ptr<libusb_context>;

constexpr int kTimeoutMs = 1000;

/// Raw control transfers, for a VideoControl interface that no driver holds.
class LibusbTransport : public UVCTransport
{
public:
    LibusbTransport(Context context, libusb_device *device, uint8_t interfaceNumber)
        : m_context(std::move(context))
        , m_device(libusb_ref_device(device))
        , m_interface(interfaceNumber)
    {
    }
    ~LibusbTransport() override
    {
        close();
        libusb_unref_device(m_device);
    }

    UVCOpenResult open() override
    {
        if (m_handle) {
            return UVCOpenResult::Opened;
        }
        int r = libusb_open(m_device, &m_handle);
        if (r != 0) {
            qWarning() << "UVCTransport::open -> libusb_open failed:" << libusb_strerror(r);
            m_handle = nullptr;
            return UVCOpenResult::Failed;
        }
        r = libusb_claim_interface(m_handle, m_interface);
        if (r != 0) {
            qWarning() << "UVCTransport::open -> claiming interface" << m_interface
                       << "failed:" << libusb_strerror(r);
            libusb_close(m_handle);
            m_handle = nullptr;
            return UVCOpenResult::Failed;
        }
        return UVCOpenResult::Opened;
    }

    bool close() override
    {
        if (m_handle) {
            libusb_release_interface(m_handle, m_interface);
            libusb_close(m_handle);
            m_handle = nullptr;
        }
        return true;
    }

    bool controlRequest(UVCRequest &request) override
    {
        if (!m_handle) {
            return false;
        }
        const int r = libusb_control_transfer(m_handle, request.bmRequestType, request.bRequest,
                                              request.wValue, request.wIndex, request.data,
                                              request.wLength, kTimeoutMs);
        // A short answer would leave the rest of the value stale.
        return r == request.wLength;
    }

private:
    Context m_context;
    libusb_device *m_device;
    libusb_device_handle *m_handle = nullptr;
    uint8_t m_interface;
};

std::string readLine(const std::filesystem::path &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The video nodes the driver created under the interface, in node-number order
// (the capture node comes before its metadata node), when uvcvideo holds it.
std::vector<std::string> uvcvideoNodes(const std::filesystem::path &interfaceDir)
{
    std::error_code ec;
    const auto driver = std::filesystem::read_symlink(interfaceDir / "driver", ec);
    if (ec || driver.filename() != "uvcvideo") {
        return {};
    }
    std::vector<std::pair<int, std::string>> nodes;
    for (const auto &entry : std::filesystem::directory_iterator(interfaceDir / "video4linux", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("video", 0) == 0) {
            nodes.emplace_back(std::atoi(name.c_str() + 5), "/dev/" + name);
        }
    }
    std::sort(nodes.begin(), nodes.end());
    std::vector<std::string> paths;
    for (auto &node : nodes) {
        paths.push_back(std::move(node.second));
    }
    return paths;
}

} // namespace

std::vector<UVCDeviceEntry> UVCDeviceSources::enumerateUsb()
{
    libusb_context *raw = nullptr;
    if (libusb_init(&raw) != 0) {
        return {};
    }
    const Context context(raw, libusb_exit);
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(raw, &list);
    std::vector<UVCDeviceEntry> devices;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device *device = list[i];
        libusb_device_descriptor dd {};
        libusb_config_descriptor *config = nullptr;
        if (libusb_get_device_descriptor(device, &dd) != 0
            || libusb_get_active_config_descriptor(device, &config) != 0) {
            continue;
        }
        for (int n = 0; n < config->bNumInterfaces; ++n) {
            const libusb_interface &interface = config->interface[n];
            if (interface.num_altsetting < 1) {
                continue;
            }
            const libusb_interface_descriptor &alt = interface.altsetting[0];
            if (alt.bInterfaceClass != LIBUSB_CLASS_VIDEO || alt.bInterfaceSubClass != 1) {
                continue;
            }
            uint8_t ports[7];
            const int portCount = libusb_get_port_numbers(device, ports, sizeof ports);
            const uint8_t bus = libusb_get_bus_number(device);
            std::string sysName = std::to_string(bus) + "-";
            for (int p = 0; p < portCount; ++p) {
                sysName += (p ? "." : "") + std::to_string(ports[p]);
            }
            const std::filesystem::path deviceDir = "/sys/bus/usb/devices/" + sysName;

            UVCDeviceEntry entry;
            const std::string product = readLine(deviceDir / "product");
            if (!product.empty()) {
                entry.deviceName = product;
            }
            entry.locationId = uvcLocationId(bus, ports, portCount > 0 ? portCount : 0);
            entry.vendorId = dd.idVendor;
            entry.productId = dd.idProduct;
            entry.interfaceNumber = alt.bInterfaceNumber;
            if (alt.extra && alt.extra_length > 0) {
                entry.classSpecificDescriptors.assign(alt.extra, alt.extra + alt.extra_length);
            }
            entry.videoNodes = uvcvideoNodes(
                deviceDir.string() + ":" + std::to_string(config->bConfigurationValue) + "."
                + std::to_string(alt.bInterfaceNumber));
            if (!entry.videoNodes.empty()) {
                const UVCVideoControlUnits units = parseVideoControlDescriptors(
                    entry.classSpecificDescriptors.data(), entry.classSpecificDescriptors.size());
                entry.transport = makeV4L2Transport(entry.videoNodes.front(),
                                                    units.processingUnitId.value_or(2));
            } else {
                entry.transport = std::make_unique<LibusbTransport>(context, device,
                                                                    alt.bInterfaceNumber);
            }
            // A device may have several camera functions (colour and infrared), each with
            // a VideoControl interface of its own.
            devices.push_back(std::move(entry));
        }
        libusb_free_config_descriptor(config);
    }
    if (list) {
        libusb_free_device_list(list, 1);
    }
    return devices;
}
