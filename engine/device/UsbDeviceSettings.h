// The description of the USB device handed to the engine: a 680-byte record.
//
// Items: three u16 (idVendor, idProduct, bcdDevice), three bytes (ranges 1..255,
// 0..250 maximum power, 0..255), two flags, five strings of up to 126 characters.
// Setting an item writes it, sets its present and set-by-the-caller flags and recomputes
// "complete" (every present flag 1). Flags are kept in the order u16 0-2, byte 0-2,
// flag 0-1, string 2, 0, 1, 3, 4.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Korvex {

#pragma pack(push, 1)
struct UsbDeviceSettings {
    static constexpr std::uint32_t kRecordSize = 680;
    static constexpr std::uint32_t kItems = 13;
    static constexpr std::uint32_t kStringField = 127;
    static constexpr std::uint32_t kMaxString = 126;

    std::uint32_t recordSize;
    std::uint8_t complete;
    std::uint8_t reserved0;
    std::uint16_t u16Items[3];
    std::uint8_t byteItems[3];
    std::uint8_t flagItems[2];
    char string2[kStringField];
    char string0[kStringField];
    char string1[kStringField];
    char string3[kStringField];
    char string4[kStringField];
    std::uint8_t present[kItems];
    std::uint8_t setByCaller[kItems];
    std::uint8_t reserved1[2];

    // Every field to its default.
    void Init();
    // 0x54370 for an index outside the group or a value out of range; strings: null
    // 0x54342, longer than 126 characters 0x54370.
    void SetU16Item(std::uint32_t index, std::uint32_t value, std::uint32_t* status);
    void SetByteItem(std::uint32_t index, std::uint32_t value, std::uint32_t* status);
    void SetFlagItem(std::uint32_t index, std::uint32_t value, std::uint32_t* status);
    void SetStringItem(std::uint32_t index, const char* value, std::uint32_t* status);

private:
    void MarkSet(std::uint32_t flag);
};
#pragma pack(pop)

static_assert(sizeof(UsbDeviceSettings) == UsbDeviceSettings::kRecordSize,
              "USB device settings are 680 bytes");
static_assert(offsetof(UsbDeviceSettings, string2) == 17, "string item 2 at 17");
static_assert(offsetof(UsbDeviceSettings, present) == 652, "present flags at 652");

} // namespace Korvex
