// Portmapper (program 100000, version 2): a small client that asks the portmapper on the
// instrument, and CMiniPortMapper, the instrument's own portmapper when none answers.
//
// Client: one TCP call per request (SET, UNSET or GETPORT) to the target (127.0.0.1:111 unless
// another is given). The connect and the reply are each bounded (2 s by default); the reply is
// read as exactly 28 + 4 bytes.
//
// CMiniPortMapper serves UDP and TCP on the given address and port (111 unless another is
// given), never on every address. It answers NULL, GETPORT and DUMP for its three entries:
// (100000, 2, TCP) and (100000, 2, UDP) on its own port, (0x0607AF, 1, TCP) on the core
// channel's port; other GETPORT questions get port 0; SET, UNSET and CALLIT are PROC_UNAVAIL.
// A TCP connection carries several requests; it is closed when the peer closes it, after the
// idle bound (2 s) without a complete request, or after 16 requests. TCP connections are
// served at once, each on a thread of its own (at most kMaxConnections; past that the oldest
// is dropped), so an idle or slow client never delays another, and UDP has its own thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/os/OSMutex.h"
#include "engine/os/OSSocket.h"
#include "engine/os/OSThread.h"

// What the client asks and where (the portmapper client record).
class CPortMapperClient {
public:
    static constexpr std::uint32_t kLoopback = 0x7F000001;
    static constexpr std::uint16_t kPort = 111;
    static constexpr std::uint32_t kBoundMs = 2000;
    static constexpr std::uint32_t kCallLength = 60;

    CPortMapperClient() = default;
    CPortMapperClient(std::uint32_t targetAddress, std::uint16_t targetPort, std::uint32_t boundMs = kBoundMs)
        : targetAddress(targetAddress), targetPort(targetPort), boundMs(boundMs) {}

    std::uint32_t targetAddress = kLoopback;
    std::uint16_t targetPort = kPort;
    std::uint32_t boundMs = kBoundMs;      // connect, and reply, each
    std::uint32_t callLength = 0;
    std::uint8_t initFailed = 0;
    std::uint8_t call[kCallLength] = {};  // the last call sent
};

class CMiniPortMapper {
public:
    static constexpr std::uint32_t kProgram = 100000;
    static constexpr std::uint32_t kVersion = 2;
    static constexpr std::uint16_t kPort = 111;
    static constexpr std::uint32_t kProtocolTcp = 6;
    static constexpr std::uint32_t kProtocolUdp = 17;
    static constexpr std::uint32_t kBufferSize = 4200;
    static constexpr std::uint32_t kMaxDatagram = 4196;
    static constexpr std::uint32_t kIdleMs = 2000;
    static constexpr std::uint32_t kRequestsPerConnection = 16;
    static constexpr std::uint32_t kUdpWaitMs = 5000;
    static constexpr std::uint32_t kMaxConnections = 128;

    enum : std::uint32_t { kProcNull = 0, kProcSet = 1, kProcUnset = 2, kProcGetPort = 3, kProcDump = 4 };

    // Client calls ------------------------------------------------------------------------
    // Status 0: not registered (port 0); 0x54311: registered; 0x54393: no connection could be
    // made to the target (refused or timed out); 0x54394: every other failure.
    // The registered port, when asked for, in *port.
    static void GetPort(CPortMapperClient& client, std::uint32_t prog, std::uint32_t vers, std::uint32_t prot,
                        std::uint32_t* status, std::uint32_t* port = nullptr);
    // Status 0 on an accepted reply; 0x543FF when the socket cannot be made, the connection
    // fails or the call cannot be sent; 0x54394 when the reply cannot be read or is refused.
    static void Set(CPortMapperClient& client, std::uint32_t prog, std::uint32_t vers, std::uint32_t prot,
                    std::uint32_t port, std::uint32_t* status);
    // TCP; status 0 on an accepted reply, 0x54394 for every failure.
    static void Unset(CPortMapperClient& client, std::uint32_t prog, std::uint32_t vers, std::uint32_t port,
                      std::uint32_t* status);

    // Server ------------------------------------------------------------------------------
    // Listens on address:port (TCP) and binds address:port (UDP), then starts both service
    // threads. Status 0; 0x543F0 when a buffer cannot be taken; 0x543FF when a socket or a
    // thread fails (port in use, for one).
    // Unless announced, GETPORT answers 0 for the core channel and DUMP leaves it out until
    // Announce is called.
    CMiniPortMapper(std::uint32_t address, std::uint16_t corePort, std::uint32_t* status,
                    std::uint16_t port = kPort, std::uint32_t idleMs = kIdleMs, bool announced = true);
    // Ends both services (closing their sockets) and frees the buffers.
    ~CMiniPortMapper();
    CMiniPortMapper(const CMiniPortMapper&) = delete;
    CMiniPortMapper& operator=(const CMiniPortMapper&) = delete;

    std::uint16_t Port() const { return portMapperPort; }
    std::uint16_t CorePort() const { return corePort; }
    void Announce() { announced.store(true); }

    // The two service loops (each runs on its own thread).
    void ServeUdp();
    void ServeTcp();

    // The answer to one request of length bytes (without a record mark): writes the reply
    // into reply (at least 128 bytes) and returns its length; 0 when the request is dropped.
    std::uint32_t Answer(const std::uint8_t* request, std::uint32_t length, bool oversized,
                         std::uint8_t* reply) const;

private:
    class CServiceThread : public COSThread {
    public:
        CServiceThread(CMiniPortMapper& owner, void (CMiniPortMapper::*body)()) : owner(owner), body(body) {}
        ~CServiceThread() override = default;

    protected:
        void Run() override;

    private:
        CMiniPortMapper& owner;
        void (CMiniPortMapper::*body)();
    };

    // One accepted TCP connection, served on its own thread.
    class CConnection : public COSThread {
    public:
        explicit CConnection(CMiniPortMapper& owner) : owner(owner) {}
        ~CConnection() override = default;

        COSSocket socket;
        std::uint8_t buffer[kBufferSize] = {};
        std::atomic<bool> done{false};
        CConnection* next = nullptr;  // newer connections behind

    protected:
        void Run() override;

    private:
        CMiniPortMapper& owner;
    };

    void ServeConnection(COSSocket& connection, std::uint8_t* buffer);
    // Under connectionMutex: stops and deletes the connections that ended (all: every one,
    // interrupted first) and returns how many remain.
    std::uint32_t ReapConnections(bool all);

    std::uint32_t address;
    std::uint16_t corePort;
    std::uint16_t portMapperPort;
    std::uint32_t idleMs;
    std::atomic<bool> stopping;
    std::atomic<bool> announced;
    COSSocket tcpListener;
    COSMutex connectionMutex;  // the connection list
    CConnection* connections = nullptr;  // oldest first
    COSSocket udp;
    CServiceThread* tcpThread;
    CServiceThread* udpThread;
    std::uint8_t* udpBuffer;
};
