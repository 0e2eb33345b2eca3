#include "engine/device/TcpIpDevice.h"

#include <cstring>

#include "engine/api/ZoDeviceInterface.h"

namespace Korvex {

ZODEVICE_STATUS CTcpIpDevice::Open(std::uint32_t interfaceArgument, const char* name,
                                   bool useEventThread)
{
    Vxi11DeviceNameSettings settings{};
    settings.size = sizeof(settings);
    settings.version = 1;
    if (name != nullptr) {
        const std::size_t length = std::strlen(name);
        if (length == 0 || length > 15) {
            return publish(ENGINE_STATUS_SETTING_OUT_OF_RANGE);
        }
        std::memcpy(settings.name, name, length);
        settings.nameSet = 1;
    }
    settings.complete = settings.version == 1 ? 1 : 0;
    ZoOpenDescriptor descriptor{sizeof(ZoOpenDescriptor), 0x01040000, 1, 1, "VuREva11"};
    if (settings.complete == 0) {
        return ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID;
    }
    return C4882Device::Open(&descriptor, interfaceArgument, &settings, useEventThread);
}

} // namespace Korvex
