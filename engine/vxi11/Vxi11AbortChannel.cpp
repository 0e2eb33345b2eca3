#include "engine/vxi11/Vxi11AbortChannel.h"

#include "engine/vxi11/InstrumentServer.h"
#include "engine/vxi11/Vxi11Registry.h"
#include "engine/vxi11/Vxi11Status.h"
#include "engine/vxi11/Xdr.h"

CVxi11AbortChannel::CVxi11AbortChannel(CVxi11Client* owner, std::uint32_t bindAddress) : m_owner(owner) {
    std::uint32_t status = 0;
    if (m_mutex.InitFailed() != 0) {
        return;
    }
    m_listener.CreateTcp(&status);
    if (status == 0) {
        m_listener.Listen(bindAddress, 0, &status);
    }
    if (status != 0) {
        m_listener.Close();
        return;
    }
    Start(kPriority, &status);
    if (status != 0) {
        return;
    }
    m_initFailed = 0;
}

CVxi11AbortChannel::~CVxi11AbortChannel() {
    SetState(3);
    m_stopping.store(true);
    std::uint32_t status = 0;
    m_mutex.Lock(&status);
    m_connection.Interrupt();
    if (status == 0) {
        m_mutex.Unlock();
    }
    m_listener.Interrupt();
    Stop(&status);
    m_connection.Close();
    m_listener.Close();
}

void CVxi11AbortChannel::Run() {
    SetState(1);
    NotifyStarted();
    COSSocket accepted;
    std::uint32_t status = 0;
    accepted.Accept(m_listener, &status);
    if (status != 0) {
        return;
    }
    m_mutex.Lock(&status);
    if (status != 0) {
        return;
    }
    if (!m_stopping.load()) {
        m_connection.Adopt(accepted.Release(), &status);
        CInstrumentServer::EnableKeepAlive(m_connection);
    }
    m_mutex.Unlock();
    if (status == 0 && m_connection.IsOpen()) {
        Serve();
    }
}

void CVxi11AbortChannel::Serve() {
    for (;;) {
        std::uint32_t length = 0;
        bool oversized = false;
        std::uint32_t status = 0;
        CInstrumentServer::ReceiveRpcRecord(m_connection, m_request, kMaxRecord, COSSocket::kWaitForever, &length,
                                            &oversized, &status);
        if (status != 0 || m_stopping.load()) {
            return;
        }
        std::uint32_t xid = 0;
        std::uint32_t procedure = 0;
        std::uint32_t code = 0;
        CXdrReader arguments(nullptr, 0);
        std::uint32_t lid = 0;
        std::uint8_t reply[36];
        std::uint32_t replyLength = 0;
        if (!CInstrumentServer::CheckCall(m_request, length, kProgram, kVersion, kProcedureAbort + 1, &xid,
                                          &procedure, &arguments, &code)) {
            replyLength = CInstrumentServer::FormatRpcError(reply, xid, code, kVersion, kVersion);
        } else if (procedure != kProcedureAbort) {
            replyLength = CInstrumentServer::FormatRpcError(reply, xid, CInstrumentServer::kProcedureUnavailable,
                                                            kVersion, kVersion);
        } else if (oversized || !arguments.Word(&lid)) {
            replyLength = CInstrumentServer::FormatRpcError(reply, xid, CInstrumentServer::kGarbageArguments,
                                                            kVersion, kVersion);
        } else {
            std::uint32_t abortStatus = VXI11_STATUS_FAULT;
            CVxi11Registry* registry = CVxi11Registry::Instance();
            if (registry != nullptr) {
                registry->AbortLink(m_owner, lid, &abortStatus);
            }
            CXdrWriter writer(reply + 4, sizeof(reply) - 4);
            writer.RawWord(xid);
            for (std::uint32_t word : {1u, 0u, 0u, 0u, 0u}) {  // REPLY, accepted, AUTH_NONE, SUCCESS
                writer.Word(word);
            }
            writer.Word(CInstrumentServer::Vxi11Error(abortStatus));
            XdrPutWord(reply, 0x80000000u | writer.Length());
            replyLength = writer.Length() + 4;
        }
        CInstrumentServer::SendWhole(m_connection, reply, replyLength, kSendBoundMs);
    }
}
