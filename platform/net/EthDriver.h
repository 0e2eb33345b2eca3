// The Ethernet driver of an interface as the link-local code sees it: can-send, send of one
// frame given as a scatter list, and the receive-function slot through which every received
// frame passes. The driver's own receive function does nothing: the host's stack receives
// its frames itself.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace platform::net {

struct ScatterPiece {
    const void* data;
    std::size_t length;
};

class EthDriver {
public:
    using ReceiveFunction = void (*)(EthDriver& driver, const std::uint8_t* frame, std::size_t length);

    EthDriver() = default;
    virtual ~EthDriver() = default;
    EthDriver(const EthDriver&) = delete;
    EthDriver& operator=(const EthDriver&) = delete;

    virtual bool CanSend() = 0;
    // One frame of total bytes from count pieces.
    virtual void Send(const ScatterPiece* pieces, int count, std::size_t total, unsigned long key) = 0;

    ReceiveFunction OwnReceive() const { return &IgnoreFrame; }
    ReceiveFunction Receive() const { return slot_.load(); }
    void SetReceive(ReceiveFunction function) { slot_.store(function != nullptr ? function : &IgnoreFrame); }
    // Hands a received frame to whatever the slot holds.
    void Deliver(const std::uint8_t* frame, std::size_t length) { slot_.load()(*this, frame, length); }

private:
    static void IgnoreFrame(EthDriver&, const std::uint8_t*, std::size_t) {}

    std::atomic<ReceiveFunction> slot_{&IgnoreFrame};
};

}  // namespace platform::net
