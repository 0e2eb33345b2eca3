#include "platform/net/DhcpClient.h"

#include <algorithm>
#include <cstring>

#include "platform/net/DhcpOptions.h"

namespace platform::net {

namespace {

constexpr std::size_t FixedPart = 236;
constexpr std::size_t MessageSize = FixedPart + BootpOptionsSize;
constexpr std::size_t MinimumSize = 300;  // BOOTP's smallest message
constexpr std::uint32_t Broadcast = 0xFFFFFFFFu;
constexpr kernel::tick_t TicksPerSecond = 100;
constexpr std::uint8_t ParameterList[] = {1, 3, 6, 15, 28, 51, 58, 59};

void Put32(std::uint8_t* at, std::uint32_t hostOrder)
{
    at[0] = static_cast<std::uint8_t>(hostOrder >> 24);
    at[1] = static_cast<std::uint8_t>(hostOrder >> 16);
    at[2] = static_cast<std::uint8_t>(hostOrder >> 8);
    at[3] = static_cast<std::uint8_t>(hostOrder);
}

std::uint32_t Get32(const std::uint8_t* at)
{
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) | at[3];
}

// Seconds from a 4-byte option (network order), if present.
bool Seconds(const std::uint8_t* options, std::size_t size, std::uint8_t code, std::uint32_t& out)
{
    std::uint32_t raw = 0;
    if (!FindDhcpWord(options, size, code, raw)) return false;
    out = Get32(reinterpret_cast<const std::uint8_t*>(&raw));
    return true;
}

kernel::tick_t Ticks(std::uint32_t seconds) { return static_cast<kernel::tick_t>(seconds) * TicksPerSecond; }

}  // namespace

DhcpClient::DhcpClient(DhcpTransport& transport, const std::uint8_t mac[6], std::uint32_t xidSeed)
    : transport_(transport), xidState_(xidSeed)
{
    std::memcpy(mac_, mac, sizeof mac_);
}

void DhcpClient::SetHostName(const std::string& name) { hostName_ = name.substr(0, MaxHostName); }

std::uint32_t DhcpClient::NewXid()
{
    xidState_ = xidState_ * 1103515245u + 12345u;
    return xidState_ ^ (xidState_ >> 15) ^ static_cast<std::uint32_t>(kernel::current_time());
}

std::size_t DhcpClient::Build(std::uint8_t* out, std::size_t capacity, MessageType type, bool broadcast,
                              std::uint32_t ciaddr, std::uint32_t requested, std::uint32_t server) const
{
    if (capacity < MessageSize) return 0;
    std::memset(out, 0, MessageSize);
    out[0] = 1;  // BOOTREQUEST
    out[1] = 1;  // Ethernet
    out[2] = 6;
    Put32(out + 4, xid_);
    if (broadcast) out[10] = 0x80;
    std::memcpy(out + 12, &ciaddr, 4);
    std::memcpy(out + 28, mac_, sizeof mac_);
    DhcpOptionWriter writer(out + FixedPart, BootpOptionsSize);
    writer.AddByte(OptMessageType, type);
    if (requested != 0) writer.AddAddress(OptRequestedAddress, requested);
    if (server != 0) writer.AddAddress(OptServerId, server);
    if (type != MsgRelease && type != MsgDecline) {
        if (!hostName_.empty()) writer.Add(OptHostName, hostName_.data(), hostName_.size());
        writer.Add(OptParameterList, ParameterList, sizeof ParameterList);
    }
    writer.End();
    return std::max(MinimumSize, FixedPart + writer.Length());
}

bool DhcpClient::Matches(const std::uint8_t* reply, int length, std::uint8_t want1, std::uint8_t want2,
                         std::uint8_t& type) const
{
    if (length < static_cast<int>(FixedPart + 4) || reply[0] != 2 || Get32(reply + 4) != xid_ ||
        std::memcmp(reply + 28, mac_, sizeof mac_) != 0)
        return false;
    DhcpOption option{};
    if (!FindDhcpOption(reply + FixedPart, static_cast<std::size_t>(length) - FixedPart, OptMessageType, option) ||
        option.length != 1)
        return false;
    type = option.data[0];
    if (type != want1 && (want2 == 0 || type != want2)) return false;
    if (type != MsgOffer && type != MsgAck) return true;
    std::uint32_t yiaddr = 0;
    std::memcpy(&yiaddr, reply + 16, 4);
    std::uint32_t mask = 0;
    if (!FindDhcpWord(reply + FixedPart, static_cast<std::size_t>(length) - FixedPart, OptSubnetMask, mask))
        mask = NaturalMask(yiaddr);
    return UsableHostAddress(yiaddr, mask);
}

std::uint8_t DhcpClient::Exchange(const std::uint8_t* message, std::size_t length, std::uint32_t to,
                                  std::uint8_t want1, std::uint8_t want2, kernel::tick_t giveUpAt,
                                  bool retransmit, std::uint8_t* reply, int& replyLength)
{
    const kernel::tick_t retries[] = {FirstRetry, SecondRetry};
    for (std::size_t sends = 0;; ++sends) {
        transport_.Send(message, length, to);
        kernel::tick_t until = giveUpAt;
        if (retransmit && sends < 2) until = std::min(giveUpAt, kernel::current_time() + retries[sends]);
        for (;;) {
            replyLength = transport_.Receive(reply, MessageSize, until);
            if (replyLength < 0) break;
            std::uint8_t type = 0;
            if (Matches(reply, replyLength, want1, want2, type)) return type;
        }
        if (!retransmit || kernel::current_time() >= giveUpAt) return 0;
    }
}

void DhcpClient::TakeLease(const std::uint8_t* reply, int length, kernel::tick_t sentAt, BootpRecord& record)
{
    const std::uint8_t* options = reply + FixedPart;
    const std::size_t size = std::min(static_cast<std::size_t>(length) - FixedPart, BootpOptionsSize);
    record = BootpRecord{};
    std::memcpy(&record.yiaddr, reply + 16, 4);
    std::memcpy(&record.siaddr, reply + 20, 4);
    std::memcpy(&record.giaddr, reply + 24, 4);
    std::memcpy(record.options, options, size);
    address_ = record.yiaddr;
    std::uint32_t server = 0;
    if (FindDhcpWord(options, size, OptServerId, server)) server_ = server;
    else if (server_ == 0) server_ = record.siaddr;

    std::uint32_t lease = 0;
    if (!Seconds(options, size, OptLeaseTime, lease)) lease = 0xFFFFFFFFu;
    const kernel::tick_t leaseTicks = Ticks(lease);
    std::uint32_t t1 = 0;
    std::uint32_t t2 = 0;
    t1_ = sentAt + (Seconds(options, size, OptRenewalTime, t1) ? Ticks(t1) : leaseTicks / 2);
    t2_ = sentAt + (Seconds(options, size, OptRebindingTime, t2) ? Ticks(t2) : leaseTicks * 7 / 8);
    expiry_ = sentAt + leaseTicks;
    t2_ = std::min(t2_, expiry_);
    t1_ = std::min(t1_, t2_);
    next_ = t1_;
    leased_ = true;
}

bool DhcpClient::Run(BootpRecord& record)
{
    leased_ = false;
    server_ = 0;
    std::uint8_t message[MessageSize];
    std::uint8_t reply[MessageSize];
    int replyLength = 0;
    xid_ = NewXid();
    const kernel::tick_t start = kernel::current_time();
    const kernel::tick_t giveUpAt = start + GiveUp;

    std::size_t length = Build(message, sizeof message, MsgDiscover, true, 0, 0, 0);
    if (Exchange(message, length, Broadcast, MsgOffer, 0, giveUpAt, true, reply, replyLength) != MsgOffer)
        return false;
    std::uint32_t offered = 0;
    std::memcpy(&offered, reply + 16, 4);
    std::uint32_t server = 0;
    if (!FindDhcpWord(reply + FixedPart, static_cast<std::size_t>(replyLength) - FixedPart, OptServerId, server))
        std::memcpy(&server, reply + 20, 4);

    const kernel::tick_t sentAt = kernel::current_time();
    length = Build(message, sizeof message, MsgRequest, true, 0, offered, server);
    if (Exchange(message, length, Broadcast, MsgAck, MsgNak, giveUpAt, true, reply, replyLength) != MsgAck) return false;
    server_ = server;
    TakeLease(reply, replyLength, sentAt, record);
    return true;
}

bool DhcpClient::BindStep(BootpRecord& record)
{
    if (!leased_) return false;
    const kernel::tick_t now = kernel::current_time();
    if (now >= expiry_) {
        leased_ = false;
        return false;
    }
    if (now < next_) return true;  // nothing due yet
    const bool renewing = now < t2_;
    std::uint8_t message[MessageSize];
    std::uint8_t reply[MessageSize];
    int replyLength = 0;
    xid_ = NewXid();
    const std::size_t length = Build(message, sizeof message, MsgRequest, false, address_, 0, 0);
    const std::uint8_t type = Exchange(message, length, renewing ? server_ : Broadcast, MsgAck, MsgNak,
                                       std::min(now + BindWait, expiry_), false, reply, replyLength);
    if (type == MsgAck) {
        TakeLease(reply, replyLength, now, record);
        return true;
    }
    if (type == MsgNak) {
        leased_ = false;
        return false;
    }
    const kernel::tick_t later = kernel::current_time();
    if (later >= expiry_) {
        leased_ = false;
        return false;
    }
    next_ = later + std::max(MinRetry, (expiry_ - later) / 2);
    if (renewing) next_ = std::min(next_, t2_);
    next_ = std::min(next_, expiry_);
    return true;
}

void DhcpClient::Release()
{
    if (!leased_) return;
    leased_ = false;
    std::uint8_t message[MessageSize];
    xid_ = NewXid();
    const std::size_t length = Build(message, sizeof message, MsgRelease, false, address_, 0, server_);
    transport_.Send(message, length, server_ != 0 ? server_ : Broadcast);
}

void DhcpClient::Decline()
{
    if (!leased_) return;
    leased_ = false;
    std::uint8_t message[MessageSize];
    xid_ = NewXid();
    const std::size_t length = Build(message, sizeof message, MsgDecline, false, 0, address_, server_);
    transport_.Send(message, length, Broadcast);
}

}  // namespace platform::net
