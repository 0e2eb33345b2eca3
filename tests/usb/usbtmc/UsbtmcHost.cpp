#include "UsbtmcHost.h"

namespace usbtmctest {

std::uint32_t Le32(const Bytes& bytes, std::size_t offset)
{
    if (bytes.size() < offset + 4) {
        return 0xFFFFFFFFu;
    }
    return static_cast<std::uint32_t>(bytes[offset]) |
           static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[offset + 2]) << 16 |
           static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

Result Enumerate(sim::UsbHost& usb)
{
    Result result = Result::Timeout;
    for (int attempt = 0; attempt < 5 && result == Result::Timeout; ++attempt) {
        result = usb.enumerate();
    }
    return result;
}

Bytes UsbtmcHost::Header(std::uint8_t msgId, std::uint8_t bTag, std::uint32_t transferSize,
                         std::uint8_t attributes, std::uint8_t termChar)
{
    return Bytes{msgId,
                 bTag,
                 static_cast<std::uint8_t>(~bTag),
                 0,
                 static_cast<std::uint8_t>(transferSize),
                 static_cast<std::uint8_t>(transferSize >> 8),
                 static_cast<std::uint8_t>(transferSize >> 16),
                 static_cast<std::uint8_t>(transferSize >> 24),
                 attributes,
                 termChar,
                 0,
                 0};
}

Bytes UsbtmcHost::Message(std::uint8_t bTag, const std::string& text, bool eom)
{
    Bytes bytes = Header(1, bTag, static_cast<std::uint32_t>(text.size()), eom ? 1 : 0);
    bytes.insert(bytes.end(), text.begin(), text.end());
    while (bytes.size() % 4 != 0) {
        bytes.push_back(0);
    }
    return bytes;
}

Bytes UsbtmcHost::Request(std::uint8_t bTag, std::uint32_t transferSize, int termChar)
{
    return termChar < 0 ? Header(2, bTag, transferSize)
                        : Header(2, bTag, transferSize, 2, static_cast<std::uint8_t>(termChar));
}

std::uint8_t UsbtmcHost::NextTag()
{
    m_tag = static_cast<std::uint8_t>(m_tag == 255 ? 1 : m_tag + 1);
    return m_tag;
}

Result UsbtmcHost::Send(const Bytes& bytes, bool zlp)
{
    return m_host.bulk_out(kBulkOut, bytes, zlp);
}

Result UsbtmcHost::Write(const std::string& text, bool eom)
{
    return Send(Message(NextTag(), text, eom));
}

Result UsbtmcHost::RequestIn(std::uint32_t transferSize, int termChar)
{
    return Send(Request(NextTag(), transferSize, termChar));
}

UsbtmcHost::InTransfer UsbtmcHost::ReadIn(std::uint32_t max)
{
    InTransfer in;
    Bytes bytes;
    in.result = m_host.bulk_in(kBulkIn, max, &bytes);
    in.length = static_cast<std::uint32_t>(bytes.size());
    if (bytes.size() >= 12) {
        in.msgId = bytes[0];
        in.bTag = bytes[1];
        in.bTagInverse = bytes[2];
        in.transferSize = Le32(bytes, 4);
        in.attributes = bytes[8];
        in.data.assign(bytes.begin() + 12, bytes.end());
    }
    return in;
}

std::string UsbtmcHost::Query(const std::string& text, std::uint32_t transferSize)
{
    if (Write(text) != Result::Ok || RequestIn(transferSize) != Result::Ok) {
        return "";
    }
    const InTransfer in = ReadIn(transferSize + 12);
    return in.result == Result::Ok ? in.data : "";
}

Result UsbtmcHost::ClassIn(std::uint8_t bmRequestType, std::uint8_t bRequest,
                           std::uint16_t wValue, std::uint16_t wIndex, std::uint16_t wLength,
                           Bytes* reply)
{
    reply->clear();
    return m_host.control(sim::UsbHost::Setup{bmRequestType, bRequest, wValue, wIndex, wLength},
                          reply);
}

Result UsbtmcHost::Interface(std::uint8_t bRequest, std::uint16_t wValue, std::uint16_t wLength,
                             Bytes* reply)
{
    return ClassIn(kInterfaceRequest, bRequest, wValue, 0, wLength, reply);
}

Bytes UsbtmcHost::Reply(std::uint8_t bmRequestType, std::uint8_t bRequest, std::uint16_t wValue,
                        std::uint16_t wIndex, std::uint16_t wLength)
{
    Bytes reply;
    return ClassIn(bmRequestType, bRequest, wValue, wIndex, wLength, &reply) == Result::Ok
               ? reply
               : Bytes{};
}

Bytes UsbtmcHost::InitiateAbortBulkOut(std::uint8_t bTag)
{
    return Reply(kEndpointRequest, 1, bTag, kBulkOut, 2);
}

Bytes UsbtmcHost::CheckAbortBulkOut()
{
    return Reply(kEndpointRequest, 2, 0, kBulkOut, 8);
}

Bytes UsbtmcHost::InitiateAbortBulkIn(std::uint8_t bTag)
{
    return Reply(kEndpointRequest, 3, bTag, kBulkIn, 2);
}

Bytes UsbtmcHost::CheckAbortBulkIn()
{
    return Reply(kEndpointRequest, 4, 0, kBulkIn, 8);
}

Bytes UsbtmcHost::InitiateClear()
{
    return Reply(kInterfaceRequest, 5, 0, 0, 1);
}

Bytes UsbtmcHost::CheckClear()
{
    return Reply(kInterfaceRequest, 6, 0, 0, 2);
}

Bytes UsbtmcHost::Capabilities()
{
    return Reply(kInterfaceRequest, 7, 0, 0, 24);
}

Bytes UsbtmcHost::ReadStatusByte(std::uint8_t bTag)
{
    return Reply(kInterfaceRequest, 128, bTag, 0, 3);
}

Bytes UsbtmcHost::Notification()
{
    Bytes bytes;
    return m_host.interrupt_in(kInterruptIn, 2, &bytes) == Result::Ok ? bytes : Bytes{};
}

} // namespace usbtmctest
