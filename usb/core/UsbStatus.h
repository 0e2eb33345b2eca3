// Status codes of the USB stack (engine statuses, see engine/status/EngineStatus.h).
#pragma once

#include <cstdint>

namespace Korvex {

// A descriptor, configuration, interface or string that does not exist.
constexpr std::uint32_t USB_STATUS_NOT_FOUND = 0x543A1;
// No endpoint with the address.
constexpr std::uint32_t USB_STATUS_NO_ENDPOINT = 0x543A2;
// A stall the function set cannot be cleared by the host.
constexpr std::uint32_t USB_STATUS_HALTED_BY_FUNCTION = 0x543A3;
// A malformed or unsupported request.
constexpr std::uint32_t USB_STATUS_REQUEST_ERROR = 0x543A4;
// An endpoint property the endpoint does not have.
constexpr std::uint32_t USB_STATUS_NOT_SUPPORTED = 0x54372;
// Power settings out of range.
constexpr std::uint32_t USB_STATUS_SETTINGS_INVALID = 0x54370;
// Nothing to abort.
constexpr std::uint32_t USB_STATUS_NOTHING_TO_ABORT = 0x54325;

// The request errors that stall a request and leave the caller's status clear.
inline bool IsUsbRequestError(std::uint32_t status)
{
    return status >= USB_STATUS_NOT_FOUND && status <= USB_STATUS_REQUEST_ERROR;
}

} // namespace Korvex
