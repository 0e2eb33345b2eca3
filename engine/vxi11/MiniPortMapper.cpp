#include "engine/vxi11/MiniPortMapper.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cstring>
#include <thread>

#include "engine/os/Allocator.h"
#include "engine/status/EngineStatus.h"
#include "engine/vxi11/InstrumentServer.h"
#include "engine/vxi11/Xdr.h"

namespace {

constexpr std::uint32_t kLastFragment = 0x80000000u;
constexpr std::uint32_t kReply = 1;
constexpr std::uint32_t kHeaderBytes = 24;  // xid to procedure
constexpr std::uint32_t kReplyBytes = 28;   // record mark to accept_stat
constexpr std::uint32_t kDumpEntries = 3;

// The call's xid: 10502 written least significant byte first.
constexpr std::uint8_t kXid[4] = {0x06, 0x29, 0x00, 0x00};

enum class CallResult { Ok, NoSocket, NoConnection, SendFailed, BadReply };

// One call to the client's target: builds it, connects, sends it and reads the 28-byte reply
// header and the result word.
CallResult Call(CPortMapperClient& client, std::uint32_t procedure, std::uint32_t prog, std::uint32_t vers,
                std::uint32_t prot, std::uint32_t port, std::uint32_t* result) {
    CXdrWriter writer(client.call, CPortMapperClient::kCallLength);
    writer.Word(kLastFragment | (CPortMapperClient::kCallLength - 4));
    std::uint32_t xid = 0;
    std::memcpy(&xid, kXid, 4);
    writer.RawWord(xid);
    writer.Word(0);  // CALL
    writer.Word(2);  // RPC version
    writer.Word(CMiniPortMapper::kProgram);
    writer.Word(CMiniPortMapper::kVersion);
    writer.Word(procedure);
    for (int i = 0; i < 4; ++i) {
        writer.Word(0);  // credential and verifier AUTH_NONE
    }
    writer.Word(prog);
    writer.Word(vers);
    writer.Word(prot);
    writer.Word(port);
    client.callLength = writer.Length();

    COSSocket socket;
    std::uint32_t status = 0;
    socket.CreateTcp(&status);
    if (status != 0) {
        return CallResult::NoSocket;
    }
    // The send time-out also bounds the connect.
    timeval bound{};
    bound.tv_sec = client.boundMs / 1000;
    bound.tv_usec = (client.boundMs % 1000) * 1000;
    setsockopt(socket.Descriptor(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof(bound));
    socket.Connect(client.targetAddress, client.targetPort, &status);
    if (status != 0) {
        return CallResult::NoConnection;
    }
    if (!CInstrumentServer::SendWhole(socket, client.call, client.callLength, client.boundMs)) {
        return CallResult::SendFailed;
    }
    const std::int64_t deadline = RpcNowMs() + client.boundMs;
    std::uint8_t reply[kReplyBytes + 4];
    CInstrumentServer::ReceiveWhole(socket, reply, sizeof(reply), deadline, &status);
    if (status != 0 || std::memcmp(reply + 4, kXid, 4) != 0 || XdrGetWord(reply + 8) != kReply ||
        XdrGetWord(reply + 12) != 0 || XdrGetWord(reply + 24) != 0) {
        return CallResult::BadReply;
    }
    *result = XdrGetWord(reply + kReplyBytes);
    return CallResult::Ok;
}

// Starts a success reply (record mark left for later) and returns its writer.
CXdrWriter SuccessReply(std::uint8_t* reply, std::uint32_t capacity, std::uint32_t xid) {
    CXdrWriter writer(reply + 4, capacity - 4);
    writer.RawWord(xid);
    writer.Word(kReply);
    writer.Word(0);  // MSG_ACCEPTED
    writer.Word(0);  // verifier AUTH_NONE
    writer.Word(0);
    writer.Word(0);  // SUCCESS
    return writer;
}

}  // namespace

// ---- client ----------------------------------------------------------------------------------

void CMiniPortMapper::GetPort(CPortMapperClient& client, std::uint32_t prog, std::uint32_t vers,
                              std::uint32_t prot, std::uint32_t* status, std::uint32_t* registered) {
    std::uint32_t port = 0;
    const CallResult result = Call(client, kProcGetPort, prog, vers, prot, 0, &port);
    if (registered != nullptr) {
        *registered = result == CallResult::Ok ? port : 0;
    }
    switch (result) {
        case CallResult::Ok:
            *status = port == 0 ? 0 : ZODEVICE_STATUS_DEVICE_ALREADY_EXISTS;
            return;
        case CallResult::NoConnection:
            *status = ZODEVICE_STATUS_PORTMAPPER_NOT_PRESENT;
            return;
        default:
            *status = ZODEVICE_STATUS_SOCKET_ERROR;
            return;
    }
}

void CMiniPortMapper::Set(CPortMapperClient& client, std::uint32_t prog, std::uint32_t vers, std::uint32_t prot,
                          std::uint32_t port, std::uint32_t* status) {
    std::uint32_t result = 0;
    switch (Call(client, kProcSet, prog, vers, prot, port, &result)) {
        case CallResult::Ok:
            *status = 0;
            return;
        case CallResult::BadReply:
            *status = ZODEVICE_STATUS_SOCKET_ERROR;
            return;
        default:
            *status = ZODEVICE_STATUS_DRIVER_FAULT;
            return;
    }
}

void CMiniPortMapper::Unset(CPortMapperClient& client, std::uint32_t prog, std::uint32_t vers, std::uint32_t port,
                            std::uint32_t* status) {
    std::uint32_t result = 0;
    *status = Call(client, kProcUnset, prog, vers, kProtocolTcp, port, &result) == CallResult::Ok
                  ? 0
                  : ZODEVICE_STATUS_SOCKET_ERROR;
}

// ---- server ----------------------------------------------------------------------------------

void CMiniPortMapper::CServiceThread::Run() {
    SetState(1);
    NotifyStarted();
    (owner.*body)();
}

CMiniPortMapper::CMiniPortMapper(std::uint32_t address, std::uint16_t corePort, std::uint32_t* status,
                                 std::uint16_t port, std::uint32_t idleMs, bool announced)
    : address(address),
      corePort(corePort),
      portMapperPort(port),
      idleMs(idleMs),
      stopping(false),
      announced(announced),
      tcpThread(nullptr),
      udpThread(nullptr),
      udpBuffer(static_cast<std::uint8_t*>(EngineAllocate(kBufferSize))) {
    if (udpBuffer == nullptr) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return;
    }
    std::memset(udpBuffer, 0, kBufferSize);
    std::uint32_t socketStatus = 0;
    tcpListener.CreateTcp(&socketStatus);
    if (socketStatus == 0) {
        tcpListener.Listen(address, port, &socketStatus);
    }
    if (socketStatus == 0) {
        // Port 0 lets the system choose; UDP takes the same number.
        portMapperPort = tcpListener.LocalPort();
        udp.CreateUdp(&socketStatus);
    }
    if (socketStatus == 0) {
        udp.Bind(address, portMapperPort, &socketStatus);
    }
    if (socketStatus != 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    tcpThread = EngineNew<CServiceThread>(*this, &CMiniPortMapper::ServeTcp);
    udpThread = EngineNew<CServiceThread>(*this, &CMiniPortMapper::ServeUdp);
    std::uint32_t threadStatus = tcpThread == nullptr || udpThread == nullptr ? 5 : 0;
    if (threadStatus == 0) {
        tcpThread->Start(COSThread::kDefaultPriority, &threadStatus);
    }
    if (threadStatus == 0) {
        udpThread->Start(COSThread::kDefaultPriority, &threadStatus);
    }
    *status = threadStatus == 0 ? 0 : ZODEVICE_STATUS_DRIVER_FAULT;
}

CMiniPortMapper::~CMiniPortMapper() {
    stopping.store(true);
    tcpListener.Interrupt();
    udp.Interrupt();
    std::uint32_t status = 0;
    for (CServiceThread* thread : {tcpThread, udpThread}) {
        if (thread != nullptr) {
            thread->Stop(&status);
            EngineDelete(thread);
        }
    }
    connectionMutex.Lock(&status);
    ReapConnections(true);
    connectionMutex.Unlock();
    tcpListener.Close();
    udp.Close();
    EngineFree(udpBuffer);
}

std::uint32_t CMiniPortMapper::Answer(const std::uint8_t* request, std::uint32_t length, bool oversized,
                                      std::uint8_t* reply) const {
    std::uint32_t xid = 0;
    std::uint32_t procedure = 0;
    std::uint32_t code = 0;
    CXdrReader arguments(nullptr, 0);
    if (!CInstrumentServer::CheckCall(request, length, kProgram, kVersion, kProcDump + 1, &xid, &procedure,
                                      &arguments, &code)) {
        return CInstrumentServer::FormatRpcError(reply, xid, code, kVersion, kVersion);
    }
    if (oversized) {
        return CInstrumentServer::FormatRpcError(reply, xid, CInstrumentServer::kGarbageArguments, 0, 0);
    }
    if (procedure == kProcSet || procedure == kProcUnset) {
        return CInstrumentServer::FormatRpcError(reply, xid, CInstrumentServer::kProcedureUnavailable, 0, 0);
    }
    // The mappings this portmapper knows.
    const std::uint32_t entries[kDumpEntries][4] = {
        {kProgram, kVersion, kProtocolTcp, portMapperPort},
        {kProgram, kVersion, kProtocolUdp, portMapperPort},
        {CInstrumentServer::kCoreProgram, 1, kProtocolTcp, corePort},
    };
    const std::uint32_t known = announced.load() ? kDumpEntries : kDumpEntries - 1;
    CXdrWriter writer = SuccessReply(reply, 128, xid);
    if (procedure == kProcGetPort) {
        std::uint32_t prog = 0;
        std::uint32_t vers = 0;
        std::uint32_t prot = 0;
        std::uint32_t port = 0;
        if (!arguments.Word(&prog) || !arguments.Word(&vers) || !arguments.Word(&prot) || !arguments.Word(&port)) {
            return CInstrumentServer::FormatRpcError(reply, xid, CInstrumentServer::kGarbageArguments, 0, 0);
        }
        std::uint32_t found = 0;
        for (std::uint32_t k = 0; k < known; ++k) {
            const auto& entry = entries[k];
            if (entry[0] == prog && entry[1] == vers && entry[2] == prot) {
                found = entry[3];
            }
        }
        writer.Word(found);
    } else if (procedure == kProcDump) {
        for (std::uint32_t k = 0; k < known; ++k) {
            const auto& entry = entries[k];
            writer.Word(1);  // value follows
            for (std::uint32_t word : entry) {
                writer.Word(word);
            }
        }
        writer.Word(0);
    }
    XdrPutWord(reply, kLastFragment | writer.Length());
    return writer.Length() + 4;
}

void CMiniPortMapper::ServeUdp() {
    std::uint8_t reply[128];
    for (;;) {
        std::uint32_t peerAddress = 0;
        std::uint16_t peerPort = 0;
        std::uint32_t status = 0;
        const std::uint32_t length = udp.ReceiveFrom(udpBuffer, kMaxDatagram, kUdpWaitMs, &peerAddress, &peerPort,
                                                     &status);
        if (status == ENGINE_STATUS_TIMED_OUT) {
            continue;
        }
        if (status != 0 || stopping.load()) {
            return;
        }
        if (length < kHeaderBytes) {
            continue;  // not even a call header: nobody to answer
        }
        const std::uint32_t replyLength = Answer(udpBuffer, length, false, reply);
        udp.SendTo(reply + 4, replyLength - 4, peerAddress, peerPort, &status);
    }
}

void CMiniPortMapper::CConnection::Run() {
    SetState(1);
    NotifyStarted();
    owner.ServeConnection(socket, buffer);
    socket.Interrupt();
    done.store(true);
}

std::uint32_t CMiniPortMapper::ReapConnections(bool all) {
    std::uint32_t remaining = 0;
    for (CConnection** link = &connections; *link != nullptr;) {
        CConnection* connection = *link;
        if (all) {
            connection->socket.Interrupt();
        }
        if (all || connection->done.load()) {
            *link = connection->next;
            std::uint32_t status = 0;
            connection->Stop(&status);
            EngineDelete(connection);
        } else {
            ++remaining;
            link = &connection->next;
        }
    }
    return remaining;
}

void CMiniPortMapper::ServeTcp() {
    for (;;) {
        COSSocket accepted;
        std::uint32_t status = 0;
        accepted.Accept(tcpListener, &status);
        if (status != 0 || stopping.load()) {
            return;
        }
        CConnection* connection = EngineNew<CConnection>(*this);
        if (connection == nullptr) {
            continue;  // closed: the client asks again
        }
        connection->socket.Adopt(accepted.Release(), &status);
        connectionMutex.Lock(&status);
        if (ReapConnections(false) >= kMaxConnections) {
            // Room for the newcomer: the oldest goes (it ends at once, its socket shut).
            connections->socket.Interrupt();
            while (ReapConnections(false) >= kMaxConnections) {
                connectionMutex.Unlock();
                std::this_thread::yield();
                connectionMutex.Lock(&status);
            }
        }
        connection->Start(COSThread::kDefaultPriority, &status);
        if (status != 0) {
            connectionMutex.Unlock();
            EngineDelete(connection);
            continue;
        }
        CConnection** tail = &connections;
        while (*tail != nullptr) {
            tail = &(*tail)->next;
        }
        *tail = connection;
        connectionMutex.Unlock();
    }
}

void CMiniPortMapper::ServeConnection(COSSocket& connection, std::uint8_t* buffer) {
    std::uint8_t reply[128];
    for (std::uint32_t served = 0; served < kRequestsPerConnection; ++served) {
        std::uint32_t length = 0;
        bool oversized = false;
        std::uint32_t status = 0;
        CInstrumentServer::ReceiveRpcRecord(connection, buffer, kBufferSize, idleMs, &length, &oversized,
                                            &status);
        if (status != 0 || stopping.load()) {
            return;  // peer closed, idle too long, or stopped
        }
        const std::uint32_t replyLength = Answer(buffer, length, oversized, reply);
        if (!CInstrumentServer::SendWhole(connection, reply, replyLength, CCoreChannelRecord::kSendTimeoutMs)) {
            return;
        }
    }
}
