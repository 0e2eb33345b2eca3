#include "engine/device/UsbDevice.h"

#include <cstring>

#include "engine/api/ZoDeviceInterface.h"
#include "engine/device/UsbDeviceSettings.h"

namespace Korvex {

bool CUsbDevice::ValidString(const char* text, std::uint32_t maxLength)
{
    if (text == nullptr) {
        return false;
    }
    const std::size_t length = std::strlen(text);
    if (length == 0 || length > maxLength || text[0] == ' ' || text[length - 1] == ' ') {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 32 || c > 126 || std::strchr("*\":/\\?", c) != nullptr) {
            return false;
        }
    }
    return true;
}

ZODEVICE_STATUS CUsbDevice::Open(std::uint16_t idVendor, std::uint16_t idProduct,
                                 std::uint16_t bcdDevice, const char* manufacturer,
                                 const char* product, const char* serialNumber,
                                 const char* string3, const char* string4,
                                 std::uint32_t maxPower, std::uint32_t flag0,
                                 std::uint32_t interfaceArgument, bool useEventThread)
{
    UsbDeviceSettings settings;
    settings.Init();
    std::uint32_t status = 0;
    const std::uint16_t ids[3] = {idVendor, idProduct, bcdDevice};
    for (std::uint32_t i = 0; i < 3 && status == 0; ++i) {
        settings.SetU16Item(i, ids[i], &status);
    }
    if (status != 0) {
        return publish(status);
    }
    const char* const required[3] = {manufacturer, product, serialNumber};
    for (std::uint32_t i = 0; i < 3; ++i) {
        if (!ValidString(required[i], 63)) {
            return ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID;
        }
        settings.SetStringItem(i, required[i], &status);
        if (status != 0) {
            return publish(status);
        }
    }
    const char* const optional[2] = {string3, string4};
    for (std::uint32_t i = 0; i < 2; ++i) {
        if (optional[i] == nullptr) {
            continue;
        }
        if (!ValidString(optional[i], UsbDeviceSettings::kMaxString)) {
            return ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID;
        }
        settings.SetStringItem(3 + i, optional[i], &status);
        if (status != 0) {
            return publish(status);
        }
    }
    settings.SetByteItem(1, maxPower, &status);
    if (status == 0) {
        settings.SetFlagItem(0, flag0, &status);
    }
    if (status != 0) {
        return publish(status);
    }
    if (settings.complete == 0) {
        return ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID;
    }
    ZoOpenDescriptor descriptor{sizeof(ZoOpenDescriptor), 0x01040000, 0, 2, "ViZOda"};
    return C4882Device::Open(&descriptor, interfaceArgument, &settings, useEventThread);
}

} // namespace Korvex
