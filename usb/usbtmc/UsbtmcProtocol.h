// Numbers of the USBTMC protocol with the USB488 subclass: Bulk-OUT message ids, the
// control requests and the status values of their replies, and the 12-byte bulk headers.
#pragma once

#include <cstdint>

namespace Korvex {

namespace Usbtmc {

// Bulk-OUT MsgID values.
constexpr std::uint8_t kDevDepMsgOut = 1;
constexpr std::uint8_t kRequestDevDepMsgIn = 2;
constexpr std::uint8_t kTrigger = 128;
// Bulk-IN MsgID.
constexpr std::uint8_t kDevDepMsgIn = 2;

constexpr std::uint32_t kHeaderSize = 12;

// bmTransferAttributes.
constexpr std::uint8_t kAttributeEom = 0x01;
constexpr std::uint8_t kAttributeTermChar = 0x02;

// Class requests (bRequest).
constexpr std::uint8_t kInitiateAbortBulkOut = 1;
constexpr std::uint8_t kCheckAbortBulkOutStatus = 2;
constexpr std::uint8_t kInitiateAbortBulkIn = 3;
constexpr std::uint8_t kCheckAbortBulkInStatus = 4;
constexpr std::uint8_t kInitiateClear = 5;
constexpr std::uint8_t kCheckClearStatus = 6;
constexpr std::uint8_t kGetCapabilities = 7;
constexpr std::uint8_t kIndicatorPulse = 64;
constexpr std::uint8_t kReadStatusByte = 128;
constexpr std::uint8_t kRenControl = 160;
constexpr std::uint8_t kGoToLocal = 161;
constexpr std::uint8_t kLocalLockout = 162;

// USBTMC_status values.
constexpr std::uint8_t kSuccess = 0x01;
constexpr std::uint8_t kPending = 0x02;
constexpr std::uint8_t kFailed = 0x80;
constexpr std::uint8_t kTransferNotInProgress = 0x81;
constexpr std::uint8_t kSplitNotInProgress = 0x82;
constexpr std::uint8_t kSplitInProgress = 0x83;

// Interrupt-IN notification, bNotify1.
constexpr std::uint8_t kNotifyStatusByte = 0x80;   // | bTag of READ_STATUS_BYTE
constexpr std::uint8_t kNotifyServiceRequest = 0x81;

inline std::uint32_t ReadLe32(const std::uint8_t* bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

inline void WriteLe32(std::uint8_t* bytes, std::uint32_t value)
{
    bytes[0] = static_cast<std::uint8_t>(value);
    bytes[1] = static_cast<std::uint8_t>(value >> 8);
    bytes[2] = static_cast<std::uint8_t>(value >> 16);
    bytes[3] = static_cast<std::uint8_t>(value >> 24);
}

} // namespace Usbtmc

} // namespace Korvex
