// A VXI-11 connection: its ONC RPC (version 2) transport, the VXI-11 core-channel procedures
// and the connection's thread, abort channel and interrupt channel.
//
// Transport. Requests are read into one fixed buffer per connection, through a read-ahead
// buffer, so one receive takes a record's mark and body when they arrive together. A record is read to its
// last-fragment bit; one whose declared size exceeds the buffer but not 64 KiB is read to its
// end, the bytes beyond the buffer dropped, and answered once by its procedure's oversized
// handler; a larger one closes the connection. Credential and verifier bodies (at most 400
// bytes each) are skipped; the arguments a handler decodes are bounded by the record.
// Replies are sent whole within a time bound (SO_SNDTIMEO, 5 s by default, set on the socket
// once and again only after a partial send); a reply that cannot be sent shuts the connection
// down, so the next read ends the request loop.
//
// Connection. CInstrumentServer owns the core-channel record, the abort channel and the
// interrupt channel and serves the record on its own thread. When the request loop ends, the
// connection's links are destroyed first (so no service request reaches its interrupt
// channel any more), then its three objects. Stopping it from outside interrupts its socket
// and aborts its links' procedures until the thread has ended, then waits for the thread.
// The manager's peer watcher does the same, without waiting, when the peer hangs up while a
// procedure waits. Accepted connections keep TCP keep-alive on (kKeepAlive*), so a peer that
// vanished without closing is noticed as well.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "engine/os/OSMutex.h"
#include "engine/os/OSSocket.h"
#include "engine/os/OSThread.h"
#include "engine/vxi11/RpcRecordReader.h"
#include "engine/vxi11/Vxi11PeerWatcher.h"
#include "engine/vxi11/Xdr.h"

class CInstrumentServerManager;
class CVxi11AbortChannel;
class CVxi11InterruptChannel;

// A VXI-11 connection as links and interfaces know it; the identity that link checks use.
class CVxi11Client {
public:
    virtual ~CVxi11Client() = default;
    // device_intr_srq on the connection's interrupt channel with the link's handle.
    virtual void SendServiceRequest(std::uint32_t handleLength, const std::uint8_t* handle) = 0;
    // The device_readstb reply (transaction id as received, status byte, engine status).
    virtual void SendReadStbReply(std::uint32_t xid, std::uint8_t statusByte, std::uint32_t status) = 0;
};

class CCoreChannelRecord;

// A procedure handler: the arguments (bounded by the record) and the transaction id exactly as
// received (echo it with CXdrWriter::RawWord). It sends its own reply.
using RpcHandler = void (*)(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid);

struct RpcProcedure {
    RpcHandler handler;    // a complete record
    RpcHandler oversized;  // a record that did not fit the input buffer (arguments cut short)
};

// The core-channel record of one connection (made by CInstrumentServer::InitProcedureTable).
class CCoreChannelRecord {
public:
    static constexpr std::uint32_t kProcedureCount = 27;
    static constexpr std::uint32_t kInputSize = 4200;
    static constexpr std::uint32_t kOutputSize = 4136;
    static constexpr std::uint32_t kMaxRecord = 4156;  // 4096 data bytes of a device_write + 60
    static constexpr std::uint32_t kSendTimeoutMs = 5000;
    static constexpr std::uint32_t kReadAheadSize = 8192;

    CCoreChannelRecord() = default;
    ~CCoreChannelRecord();  // closes the socket (unless closed is set) and frees the buffers
    CCoreChannelRecord(const CCoreChannelRecord&) = delete;
    CCoreChannelRecord& operator=(const CCoreChannelRecord&) = delete;

    RpcProcedure table[kProcedureCount] = {};
    std::uint8_t initFailed = 1;
    std::atomic<std::uint8_t> closed{0};
    CVxi11Client* owner = nullptr;
    COSSocket socket;
    CRpcRecordReader reader{socket};  // reads ahead into readAhead once that is taken
    std::uint8_t* input = nullptr;   // record offset k at input[4 + k]
    std::uint8_t* output = nullptr;  // replies that do not fit a local array (device_read)
    std::uint8_t* readAhead = nullptr;
    std::uint32_t recordLength = 0;  // bytes of the last record kept in input
    bool oversized = false;          // the last record did not fit
    std::uint32_t sendTimeoutMs = kSendTimeoutMs;
    std::uint32_t sendBoundSetMs = 0;  // the SO_SNDTIMEO the socket has (0: not set yet)
};

class CInstrumentServer : public COSThread, public CVxi11Client, public CVxi11PeerWatcher::CWatched {
public:
    static constexpr std::uint32_t kPriority = 15;
    static constexpr std::uint32_t kMaxData = 4096;  // device_write / device_read data bytes
    static constexpr std::uint32_t kCoreProgram = 0x0607AF;
    static constexpr std::uint32_t kAbortProgram = 0x0607B0;
    static constexpr std::uint32_t kMaxFragmentTotal = 64 * 1024;  // larger records close
    static constexpr std::uint32_t kMaxAuthBody = 400;
    // Keep-alive of accepted core and abort connections: idle seconds, interval, probes.
    static constexpr std::uint32_t kKeepAliveIdleS = 10;
    static constexpr std::uint32_t kKeepAliveIntervalS = 2;
    static constexpr std::uint32_t kKeepAliveProbes = 3;
    static void EnableKeepAlive(COSSocket& socket) {
        socket.EnableKeepAlive(kKeepAliveIdleS, kKeepAliveIntervalS, kKeepAliveProbes);
    }

    // RPC error codes of SendRpcError.
    enum : std::uint32_t {
        kRpcVersionMismatch = 0,  // MSG_DENIED, RPC_MISMATCH
        kProgramUnavailable = 1,  // PROG_UNAVAIL
        kProgramMismatch = 2,     // PROG_MISMATCH
        kProcedureUnavailable = 3,
        kGarbageArguments = 4,
    };

    // Stores the owner, takes the accepted socket over (accepted is closed afterwards), sets
    // every entry to PROC_UNAVAIL with the GARBAGE_ARGS oversized handler and takes both
    // buffers (cleared). initFailed stays 1 when a buffer or the socket could not be taken.
    static void InitProcedureTable(CCoreChannelRecord& record, CVxi11Client* owner, COSSocket& accepted);

    // Reads one request record into the input buffer. Status 0 with the record in
    // record.recordLength / record.oversized; the socket's failure status when the peer closed
    // or a header receive failed; 8 when a body receive failed or the record declares more
    // than 64 KiB.
    static void ReadRpcRecord(CCoreChannelRecord& record, std::uint32_t* status);

    // The request loop of one connection; returns when a read fails.
    static void ServeRpcRequests(CCoreChannelRecord& record);

    // Checks a call header (program, RPC version, program version, message type, procedure
    // below procedureCount, credential and verifier) of a record of length bytes. Returns
    // true with the procedure and the argument reader, or false with the error code to answer
    // (kGarbageArguments for a header cut short). xid is the raw transaction id (0 when the
    // record is shorter than 4 bytes).
    static bool CheckCall(const std::uint8_t* call, std::uint32_t length, std::uint32_t program,
                          std::uint32_t version, std::uint32_t procedureCount, std::uint32_t* xid,
                          std::uint32_t* procedure, CXdrReader* arguments, std::uint32_t* errorCode);

    // Sends an RPC-level error reply (one record) for code with the transaction id.
    static void SendRpcError(CCoreChannelRecord& record, std::uint32_t xid, std::uint32_t code);

    // Writes the record mark and the error reply for code into reply (at least 36 bytes);
    // PROG_MISMATCH carries the range low..high. Returns the bytes written, mark included.
    static std::uint32_t FormatRpcError(std::uint8_t* reply, std::uint32_t xid, std::uint32_t code,
                                        std::uint32_t low, std::uint32_t high);

    // Sends a reply record: writes the record mark (last fragment, length - 4) into data[0..3]
    // and sends all length bytes within the record's send bound; when that fails, shuts the
    // connection down. Returns true when the whole record went out.
    static bool SendRpcRecord(CCoreChannelRecord& record, std::uint8_t* data, std::uint32_t length);

    // Lower layer shared with the portmapper ------------------------------------------------
    // Reads one record from socket into record (capacity bytes), waiting at most timeoutMs in
    // all (COSSocket::kWaitForever: no limit). Status as ReadRpcRecord, or 6 when the time ran
    // out. *oversized when its bytes beyond capacity were dropped.
    static void ReceiveRpcRecord(COSSocket& socket, std::uint8_t* record, std::uint32_t capacity,
                                 std::uint32_t timeoutMs, std::uint32_t* length, bool* oversized,
                                 std::uint32_t* status);
    // The same through a reader (which may hold bytes read ahead of the record).
    static void ReceiveRpcRecord(CRpcRecordReader& reader, std::uint8_t* record, std::uint32_t capacity,
                                 std::uint32_t timeoutMs, std::uint32_t* length, bool* oversized,
                                 std::uint32_t* status);
    // Receives exactly length bytes, each wait ending at deadline (RpcNowMs; -1: none).
    // Status 0; 6 when the deadline passed; the socket's failure status otherwise.
    static void ReceiveWhole(COSSocket& socket, std::uint8_t* data, std::uint32_t length,
                             std::int64_t deadline, std::uint32_t* status);
    // Sends all length bytes within timeoutMs; shuts the socket down when that fails.
    // boundSetMs (may be null): the send bound the socket already has, kept up to date.
    static bool SendWhole(COSSocket& socket, const std::uint8_t* data, std::uint32_t length,
                          std::uint32_t timeoutMs, std::uint32_t* boundSetMs = nullptr);

    // The PROC_UNAVAIL table entry and the default oversized handler (GARBAGE_ARGS).
    static void ProcedureUnavailable(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid);
    static void GarbageArguments(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid);

    // The VXI-11 error code of an engine status.
    static std::uint32_t Vxi11Error(std::uint32_t status);
    // Fills the VXI-11 entries of the procedure table (their handlers reach the connection
    // through record.owner, which must be a CInstrumentServer).
    static void InstallProcedures(CCoreChannelRecord& record);

    // The connection ---------------------------------------------------------------------
    // Takes the accepted connection over (accepted is closed afterwards), makes the abort
    // channel, the interrupt channel and the core-channel record, and starts the thread, which
    // adds itself to manager's list. InitFailed() stays 1 when any of it failed; the accepted
    // socket then stays with the caller unless the record took it.
    CInstrumentServer(CInstrumentServerManager* manager, COSSocket& accepted);
    // The thread must have ended (StopConnection) or never started.
    ~CInstrumentServer() override;

    std::uint8_t InitFailed() const { return m_initFailed; }
    // Ends the connection from outside and waits until its thread has finished.
    void StopConnection();
    bool Finished() const { return m_finished.load(); }

    // The peer watcher's calls: closes the connection to further requests / aborts the
    // procedures of its links.
    void PeerGone() override;
    void AbortProcedures() override;

    // Forwarders.
    std::uint16_t GetAbortPort();
    void SendServiceRequest(std::uint32_t handleLength, const std::uint8_t* handle) override;
    void SendReadStbReply(std::uint32_t xid, std::uint8_t statusByte, std::uint32_t status) override;
    void OpenInterruptChannel(std::uint32_t address, std::uint16_t port, std::uint32_t family,
                              std::uint32_t* status);
    void CloseInterruptChannel(std::uint32_t* status);

protected:
    void Run() override;

private:
    static CInstrumentServer& Owner(CCoreChannelRecord& record) {
        return *static_cast<CInstrumentServer*>(record.owner);
    }
    // Sets the record's closed flag and interrupts its socket (once): the request loop ends
    // at its next read.
    void CloseToRequests();
    // Sends the successful reply header and the result words as one record.
    static void SendResult(CCoreChannelRecord& record, std::uint32_t xid, std::initializer_list<std::uint32_t> words);
    // Device_GenericParms procedures (trigger, clear, remote, local).
    template <typename Operation>
    static void Generic(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid, Operation operation);

    static void CreateLink(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid);
    static void DeviceWrite(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid);
    static void DeviceWriteOversized(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid);
    static void DeviceRead(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid);
    static void DeviceReadStb(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid);
    static void DeviceTrigger(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid);
    static void DeviceClear(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid);
    static void DeviceRemote(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid);
    static void DeviceLocal(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid);
    static void DeviceLock(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid);
    static void DeviceUnlock(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid);
    static void DeviceEnableSrq(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid);
    static void DeviceDocmd(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid);
    static void DestroyLink(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid);
    static void CreateIntrChan(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid);
    static void DestroyIntrChan(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid);

    CInstrumentServerManager* m_manager;
    std::uint8_t m_initFailed = 1;
    COSMutex m_serverMutex;  // the three objects between teardown and StopConnection
    CVxi11AbortChannel* m_abort = nullptr;
    CVxi11InterruptChannel* m_interrupt = nullptr;
    CCoreChannelRecord* m_core = nullptr;
    std::atomic<bool> m_finished{false};
};

// The engine's monotonic clock in milliseconds.
std::int64_t RpcNowMs();
