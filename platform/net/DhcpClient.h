// A DHCP client (RFC 2131) over a DhcpTransport, timed in board ticks (100 a second).
//
// Run: DISCOVER, OFFER, REQUEST, ACK. DISCOVER and the first REQUEST ask for broadcast
// replies; a reply counts only with our xid, our chaddr and the awaited message type, and an
// OFFER or ACK only when its yiaddr is a usable host address on the subnet of its mask
// (option 1, else the address's natural mask): any other is ignored as malformed. Each
// message is sent again after 400 and then 800 ticks without an answer; the run gives up
// 1600 ticks after the first DISCOVER.
//
// Lease: T1 and T2 from options 58 and 59, else 0.5 and 0.875 of the lease time (51). The
// bind step renews (unicast to the server) between T1 and T2 and rebinds (broadcast) after,
// waiting 400 ticks for the answer: ACK keeps the lease with its new times, NAK loses it,
// silence keeps it and tries again after max(6000 ticks, half the time left); at expiry the
// lease is lost.
#pragma once

#include <cstdint>
#include <string>

#include "platform/kernel/Kernel.h"
#include "platform/net/BootpRecord.h"
#include "platform/net/NetBackend.h"

namespace platform::net {

class DhcpClient {
public:
    static constexpr kernel::tick_t FirstRetry = 400;
    static constexpr kernel::tick_t SecondRetry = 800;
    static constexpr kernel::tick_t GiveUp = 1600;
    static constexpr kernel::tick_t BindWait = 400;
    static constexpr kernel::tick_t MinRetry = 6000;
    static constexpr std::size_t MaxHostName = 60;

    enum MessageType : std::uint8_t {
        MsgDiscover = 1, MsgOffer = 2, MsgRequest = 3, MsgDecline = 4, MsgAck = 5, MsgNak = 6, MsgRelease = 7,
    };

    DhcpClient(DhcpTransport& transport, const std::uint8_t mac[6], std::uint32_t xidSeed);

    void SetHostName(const std::string& name);
    bool Run(BootpRecord& record);
    // Kept (true) or lost (false); the record takes the new ACK's content.
    bool BindStep(BootpRecord& record);
    // DHCPRELEASE to the server when a lease is held; forgets the lease.
    void Release();
    // DHCPDECLINE (broadcast) of the address just leased, found in use; forgets the lease.
    void Decline();
    bool Leased() const { return leased_; }
    // The tick at which the lease wants attention; 0: none.
    kernel::tick_t NextTimer() const { return leased_ ? next_ : 0; }
    kernel::tick_t Expiry() const { return expiry_; }

    // The bytes of a message (fixed part, then the options area), for a given state.
    std::size_t Build(std::uint8_t* out, std::size_t capacity, MessageType type, bool broadcast,
                      std::uint32_t ciaddr, std::uint32_t requested, std::uint32_t server) const;

private:
    // Sends (and sends again) until an answer of one of the types arrives; its type, or 0.
    std::uint8_t Exchange(const std::uint8_t* message, std::size_t length, std::uint32_t to,
                          std::uint8_t want1, std::uint8_t want2, kernel::tick_t giveUpAt,
                          bool retransmit, std::uint8_t* reply, int& replyLength);
    bool Matches(const std::uint8_t* reply, int length, std::uint8_t want1, std::uint8_t want2,
                 std::uint8_t& type) const;
    void TakeLease(const std::uint8_t* reply, int length, kernel::tick_t sentAt, BootpRecord& record);
    std::uint32_t NewXid();

    DhcpTransport& transport_;
    std::uint8_t mac_[6];
    std::uint32_t xidState_;
    std::uint32_t xid_ = 0;
    std::string hostName_;
    bool leased_ = false;
    std::uint32_t address_ = 0;
    std::uint32_t server_ = 0;
    kernel::tick_t t1_ = 0;
    kernel::tick_t t2_ = 0;
    kernel::tick_t expiry_ = 0;
    kernel::tick_t next_ = 0;
};

}  // namespace platform::net
