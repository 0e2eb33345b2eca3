// The interrupt channel of one VXI-11 connection: after create_intr_chan the instrument is a
// client of the controller's interrupt server and calls device_intr_srq (program 0x0607B1,
// version 1, procedure 30, xid 47) for every service request of an SRQ-enabled link.
//
// Every operation runs under the channel mutex. The sends run on the thread that changed the
// status byte while it holds the status lock and the registry mutex, so nothing here waits
// without a bound: the TCP connect and each send are bounded (2 s). A send that fails or is
// cut short closes the channel, so no half record stays in the stream; later service
// requests then report 0x54391. Before each TCP send, whatever the controller sent back (its
// RPC server's replies) is read without waiting and dropped; a controller that closed or
// reset the channel is found there and the channel closed without sending. The TCP channel
// keeps keep-alive on, so a controller that vanished silently fails it within about 16 s,
// long before its socket buffers could fill and make a send wait.
//
// Every socket binds to the server's address before it connects or sends.
#pragma once

#include <cstdint>

#include "engine/os/OSMutex.h"
#include "engine/os/OSSocket.h"

class CVxi11InterruptChannel {
public:
    static constexpr std::uint32_t kProgram = 0x0607B1;
    static constexpr std::uint32_t kVersion = 1;
    static constexpr std::uint32_t kProcedure = 30;
    static constexpr std::uint32_t kXid = 47;
    static constexpr std::uint32_t kMaxHandle = 40;
    static constexpr std::uint32_t kBoundMs = 2000;
    enum : std::int32_t { kNone = -1, kTcp = 0, kUdp = 1 };

    // bindAddress: host order.
    explicit CVxi11InterruptChannel(std::uint32_t bindAddress);
    // Closes the socket when established.
    ~CVxi11InterruptChannel();
    CVxi11InterruptChannel(const CVxi11InterruptChannel&) = delete;
    CVxi11InterruptChannel& operator=(const CVxi11InterruptChannel&) = delete;

    std::uint8_t InitFailed() const { return m_mutex.InitFailed(); }

    // create_intr_chan. 0x54392 already established; 0x54391 the socket could not be made,
    // bound or connected (within the bound); 0x54395 family other than 0 (TCP) or 1 (UDP).
    void Create(std::uint32_t hostAddr, std::uint16_t hostPort, std::uint32_t family,
                std::uint32_t* status);
    // destroy_intr_chan. 0x54391 when not established.
    void Destroy(std::uint32_t* status);
    // device_intr_srq with the handle (at most 40 bytes). 0x54391 not established (nothing
    // sent); 0x543FF the send failed or was cut short (the channel is closed); 0x5434F handle
    // too long.
    void SendDeviceIntrSrq(std::uint32_t handleLength, const std::uint8_t* handle,
                           std::uint32_t* status);

    bool IsEstablished();
    // The bound of the connect and of each send (tests shorten it).
    void SetBoundMs(std::uint32_t boundMs) { m_boundMs = boundMs; }

private:
    // With the mutex held.
    void ConnectTcp(std::uint32_t* status);
    void CloseLocked();

    COSMutex m_mutex;
    std::uint32_t m_bindAddress;
    std::uint32_t m_boundMs = kBoundMs;
    std::uint32_t m_hostAddr = 0;
    std::uint16_t m_hostPort = 0;
    std::uint8_t m_established = 0;
    std::int32_t m_family = kNone;
    COSSocket m_tcp;
    COSSocket m_udp;
};
