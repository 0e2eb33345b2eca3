#include "engine/device/UsbDeviceSettings.h"

#include <cstring>

#include "engine/status/EngineStatus.h"

namespace Korvex {

namespace {
constexpr std::uint32_t kFirstByteFlag = 3;
constexpr std::uint32_t kFirstFlagFlag = 6;
// Flag position of string items 0..4.
constexpr std::uint32_t kStringFlag[5] = {9, 10, 8, 11, 12};
constexpr std::uint32_t kByteMin[3] = {1, 0, 0};
constexpr std::uint32_t kByteMax[3] = {255, 250, 255};
} // namespace

void UsbDeviceSettings::Init()
{
    std::memset(this, 0, sizeof(*this));
    recordSize = kRecordSize;
    byteItems[0] = 1;
    byteItems[1] = 50;
    flagItems[0] = 1;
    flagItems[1] = 1;
    for (std::uint32_t i = kFirstByteFlag; i < kItems; ++i) {
        present[i] = 1;
    }
}

void UsbDeviceSettings::MarkSet(std::uint32_t flag)
{
    present[flag] = 1;
    setByCaller[flag] = 1;
    std::uint8_t all = 1;
    for (std::uint32_t i = 0; i < kItems; ++i) {
        all = static_cast<std::uint8_t>(all & (present[i] != 0 ? 1 : 0));
    }
    complete = all;
}

void UsbDeviceSettings::SetU16Item(std::uint32_t index, std::uint32_t value,
                                   std::uint32_t* status)
{
    if (index >= 3 || value > 0xFFFF) {
        *status = ENGINE_STATUS_SETTING_OUT_OF_RANGE;
        return;
    }
    u16Items[index] = static_cast<std::uint16_t>(value);
    MarkSet(index);
    *status = 0;
}

void UsbDeviceSettings::SetByteItem(std::uint32_t index, std::uint32_t value,
                                    std::uint32_t* status)
{
    if (index >= 3 || value < kByteMin[index] || value > kByteMax[index]) {
        *status = ENGINE_STATUS_SETTING_OUT_OF_RANGE;
        return;
    }
    byteItems[index] = static_cast<std::uint8_t>(value);
    MarkSet(kFirstByteFlag + index);
    *status = 0;
}

void UsbDeviceSettings::SetFlagItem(std::uint32_t index, std::uint32_t value,
                                    std::uint32_t* status)
{
    if (index >= 2 || value > 0xFF) {
        *status = ENGINE_STATUS_SETTING_OUT_OF_RANGE;
        return;
    }
    flagItems[index] = static_cast<std::uint8_t>(value);
    MarkSet(kFirstFlagFlag + index);
    *status = 0;
}

void UsbDeviceSettings::SetStringItem(std::uint32_t index, const char* value,
                                      std::uint32_t* status)
{
    if (index >= 5) {
        *status = ENGINE_STATUS_SETTING_OUT_OF_RANGE;
        return;
    }
    if (value == nullptr) {
        *status = ZODEVICE_STATUS_MSG_BUFFER_INVALID;
        return;
    }
    const std::size_t length = std::strlen(value);
    if (length > kMaxString) {
        *status = ENGINE_STATUS_SETTING_OUT_OF_RANGE;
        return;
    }
    char* const fields[5] = {string0, string1, string2, string3, string4};
    std::memset(fields[index], 0, kStringField);
    std::memcpy(fields[index], value, length);
    MarkSet(kStringFlag[index]);
    *status = 0;
}

} // namespace Korvex
