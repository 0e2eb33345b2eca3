// A USBTMC-USB488 host on the simulated USB host: Bulk-OUT header builders, device-dependent
// messages and reads, the class requests and the interrupt-IN notification, as a host's
// USBTMC driver does them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/usb_host/UsbHost.h"

namespace usbtmctest {

using Bytes = std::vector<std::uint8_t>;
using Result = sim::UsbHost::Result;

class UsbtmcHost {
public:
    static constexpr std::uint8_t kBulkOut = 0x02;
    static constexpr std::uint8_t kBulkIn = 0x81;
    static constexpr std::uint8_t kInterruptIn = 0x83;
    static constexpr std::uint8_t kInterfaceRequest = 0xA1;
    static constexpr std::uint8_t kEndpointRequest = 0xA2;

    // One Bulk-IN transfer as it arrived.
    struct InTransfer {
        Result result = Result::Timeout;
        std::uint32_t length = 0;  // bytes that arrived, header included
        std::uint8_t msgId = 0;
        std::uint8_t bTag = 0;
        std::uint8_t bTagInverse = 0;
        std::uint32_t transferSize = 0;
        std::uint8_t attributes = 0;
        std::string data;
    };

    explicit UsbtmcHost(sim::UsbHost& host) : m_host(host) {}

    // A 12-byte Bulk-OUT header.
    static Bytes Header(std::uint8_t msgId, std::uint8_t bTag, std::uint32_t transferSize,
                        std::uint8_t attributes = 0, std::uint8_t termChar = 0);
    // DEV_DEP_MSG_OUT: header, message, alignment bytes.
    static Bytes Message(std::uint8_t bTag, const std::string& text, bool eom = true);
    // REQUEST_DEV_DEP_MSG_IN; termChar < 0: TermChar disabled.
    static Bytes Request(std::uint8_t bTag, std::uint32_t transferSize, int termChar = -1);

    std::uint8_t NextTag();
    std::uint8_t LastTag() const { return m_tag; }

    Result Send(const Bytes& bytes, bool zlp = false);
    // A message under a new tag.
    Result Write(const std::string& text, bool eom = true);
    // A REQUEST_DEV_DEP_MSG_IN under a new tag.
    Result RequestIn(std::uint32_t transferSize, int termChar = -1);
    // One Bulk-IN transfer of at most max bytes (header included).
    InTransfer ReadIn(std::uint32_t max = 4096 + 12);
    // Write, request, read; the response text ("" when anything failed).
    std::string Query(const std::string& text, std::uint32_t transferSize = 4096);

    // A class request with a device-to-host data stage of wLength bytes.
    Result ClassIn(std::uint8_t bmRequestType, std::uint8_t bRequest, std::uint16_t wValue,
                   std::uint16_t wIndex, std::uint16_t wLength, Bytes* reply);
    Result Interface(std::uint8_t bRequest, std::uint16_t wValue, std::uint16_t wLength,
                     Bytes* reply);

    // The reply of a request (empty when it failed).
    Bytes InitiateAbortBulkOut(std::uint8_t bTag);
    Bytes CheckAbortBulkOut();
    Bytes InitiateAbortBulkIn(std::uint8_t bTag);
    Bytes CheckAbortBulkIn();
    Bytes InitiateClear();
    Bytes CheckClear();
    Bytes Capabilities();
    Bytes ReadStatusByte(std::uint8_t bTag);
    // The 2-byte interrupt-IN notification (empty on a time-out).
    Bytes Notification();

    sim::UsbHost& Usb() { return m_host; }

private:
    // The reply of a class request (empty when it failed).
    Bytes Reply(std::uint8_t bmRequestType, std::uint8_t bRequest, std::uint16_t wValue,
                std::uint16_t wIndex, std::uint16_t wLength);

    sim::UsbHost& m_host;
    std::uint8_t m_tag = 0;
};

// Enumerates; a reset the device did not see within the host's deadline (a loaded machine)
// is tried again, as a host's USB core does.
Result Enumerate(sim::UsbHost& usb);

// Little-endian u32 at offset.
std::uint32_t Le32(const Bytes& bytes, std::size_t offset);

} // namespace usbtmctest
