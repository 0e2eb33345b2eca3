// Engine socket record over BSD sockets. Every operation reports 0, or 7 when a socket call
// failed (ReceiveFrom and Connect also 6, see below). Addresses and ports are in host order.
// Calls interrupted by a signal are retried; Send never raises SIGPIPE.
//
// Threads that block in Accept/Receive/ReceiveFrom are stopped by Interrupt (shutdown in both
// directions, the descriptor stays open), then joined; only then is the record closed.
#pragma once

#include <atomic>
#include <cstdint>

class COSSocket {
public:
    static constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;
    static constexpr std::uint32_t kAnyAddress = 0;

    COSSocket();
    ~COSSocket();  // closes
    COSSocket(const COSSocket&) = delete;
    COSSocket& operator=(const COSSocket&) = delete;

    // socket(AF_INET, SOCK_STREAM / SOCK_DGRAM); 7 also when the record is already open.
    void CreateTcp(std::uint32_t* status);
    void CreateUdp(std::uint32_t* status);
    // SO_REUSEADDR, bind to address (any by default) and port (0: any), listen (backlog 128),
    // then reads the bound address and port back.
    void Listen(std::uint16_t port, std::uint32_t* status);
    void Listen(std::uint32_t address, std::uint16_t port, std::uint32_t* status);
    // SO_REUSEADDR and bind (datagram sockets); reads the bound address and port back.
    void Bind(std::uint16_t port, std::uint32_t* status);
    void Bind(std::uint32_t address, std::uint16_t port, std::uint32_t* status);
    // Accepts a connection of listener into this (closed) record and fills in the local and
    // peer address and port. On failure the descriptor stays -1.
    void Accept(COSSocket& listener, std::uint32_t* status);
    // Connects; on failure 6 when SO_ERROR could be read, else 7. On success reads the local
    // address and port back.
    void Connect(std::uint32_t address, std::uint16_t port, std::uint32_t* status);
    // One send / recv call; returns the bytes moved (0 on failure). Receive reports 7 when it
    // got 0 bytes (peer closed or interrupted).
    std::uint32_t Send(const void* data, std::uint32_t length, std::uint32_t* status);
    std::uint32_t Receive(void* data, std::uint32_t length, std::uint32_t* status);
    // One sendto call; returns the bytes sent.
    std::uint32_t SendTo(const void* data, std::uint32_t length, std::uint32_t address,
                         std::uint16_t port, std::uint32_t* status);
    // Waits up to timeoutMs (kWaitForever: no limit) for a datagram and receives it; returns
    // its length. 6 when the wait ended without data, 7 on failure or after Interrupt.
    std::uint32_t ReceiveFrom(void* buffer, std::uint32_t length, std::uint32_t timeoutMs,
                              std::uint32_t* addressOut, std::uint16_t* portOut,
                              std::uint32_t* status);
    // Takes an open, connected descriptor into this closed record (7 when the record is open
    // or the descriptor is negative) and reads the local and peer address back.
    void Adopt(int fd, std::uint32_t* status);
    // Gives the descriptor up without closing it; the record is closed afterwards.
    int Release();
    // Shutdown in both directions without closing: wakes Accept, Receive and ReceiveFrom.
    void Interrupt();
    // Shutdown, close, descriptor -1; nothing when already closed.
    void Close();
    // TCP keep-alive: the first probe after idleS seconds without traffic, then one every
    // intervalS seconds; after count unanswered probes (or as long unacknowledged data) the
    // connection fails, so a peer that vanished without closing is noticed.
    void EnableKeepAlive(std::uint32_t idleS, std::uint32_t intervalS, std::uint32_t count);

    int Descriptor() const { return descriptor.load(); }
    bool IsOpen() const { return descriptor.load() >= 0; }
    std::uint32_t LocalAddress() const { return localAddress; }
    std::uint16_t LocalPort() const { return localPort; }
    std::uint32_t PeerAddress() const { return peerAddress; }
    std::uint16_t PeerPort() const { return peerPort; }

private:
    void Create(int type, std::uint32_t* status);
    void BindTo(std::uint32_t address, std::uint16_t port, std::uint32_t* status);
    void ReadLocalAddress();

    std::atomic<int> descriptor;
    std::uint32_t localAddress;
    std::uint16_t localPort;
    std::uint32_t peerAddress;
    std::uint16_t peerPort;
};
