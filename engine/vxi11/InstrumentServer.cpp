#include "engine/vxi11/InstrumentServer.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <chrono>
#include <thread>

#include "engine/os/Allocator.h"
#include "engine/vxi11/InstrumentServerManager.h"
#include "engine/vxi11/RpcRecordReader.h"
#include "engine/vxi11/Vxi11AbortChannel.h"
#include "engine/vxi11/Vxi11InterruptChannel.h"
#include "engine/vxi11/Vxi11Registry.h"
#include "engine/vxi11/Vxi11Status.h"

namespace {

constexpr std::uint32_t kLastFragment = 0x80000000u;
constexpr std::uint32_t kCall = 0;
constexpr std::uint32_t kReply = 1;
constexpr std::uint32_t kRpcVersion = 2;
constexpr std::uint32_t kStatusBodyFailed = 8;

// Milliseconds left until deadline; 0 when it has passed.
int MillisecondsLeft(std::int64_t deadline) {
    const std::int64_t left = deadline - RpcNowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

void SetSendTimeout(int descriptor, int milliseconds) {
    timeval bound{};
    bound.tv_sec = milliseconds / 1000;
    bound.tv_usec = (milliseconds % 1000) * 1000;
    setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof(bound));
}

}  // namespace

std::int64_t RpcNowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

CCoreChannelRecord::~CCoreChannelRecord() {
    if (closed.exchange(1) == 0) {
        socket.Close();
    }
    EngineFree(input);
    EngineFree(output);
    EngineFree(readAhead);
}

void CInstrumentServer::InitProcedureTable(CCoreChannelRecord& record, CVxi11Client* owner,
                                           COSSocket& accepted) {
    record.initFailed = 1;
    record.owner = owner;
    std::uint32_t status = 0;
    record.socket.Adopt(accepted.Release(), &status);
    for (RpcProcedure& entry : record.table) {
        entry.handler = &CInstrumentServer::ProcedureUnavailable;
        entry.oversized = &CInstrumentServer::GarbageArguments;
    }
    record.input = static_cast<std::uint8_t*>(EngineAllocate(CCoreChannelRecord::kInputSize));
    record.output = static_cast<std::uint8_t*>(EngineAllocate(CCoreChannelRecord::kOutputSize));
    record.readAhead = static_cast<std::uint8_t*>(EngineAllocate(CCoreChannelRecord::kReadAheadSize));
    if (status != 0 || record.input == nullptr || record.output == nullptr || record.readAhead == nullptr) {
        return;
    }
    record.reader.SetBuffer(record.readAhead, CCoreChannelRecord::kReadAheadSize);
    std::memset(record.input, 0, CCoreChannelRecord::kInputSize);
    std::memset(record.output, 0, CCoreChannelRecord::kOutputSize);
    record.initFailed = 0;
}

void CInstrumentServer::ReceiveWhole(COSSocket& socket, std::uint8_t* data, std::uint32_t length,
                                     std::int64_t deadline, std::uint32_t* status) {
    CRpcRecordReader(socket, nullptr, 0).Take(data, length, deadline, status);
}

void CInstrumentServer::ReceiveRpcRecord(COSSocket& socket, std::uint8_t* record, std::uint32_t capacity,
                                         std::uint32_t timeoutMs, std::uint32_t* length, bool* oversized,
                                         std::uint32_t* status) {
    CRpcRecordReader reader(socket, nullptr, 0);
    ReceiveRpcRecord(reader, record, capacity, timeoutMs, length, oversized, status);
}

void CInstrumentServer::ReceiveRpcRecord(CRpcRecordReader& reader, std::uint8_t* record, std::uint32_t capacity,
                                         std::uint32_t timeoutMs, std::uint32_t* length, bool* oversized,
                                         std::uint32_t* status) {
    const std::int64_t deadline =
        timeoutMs == COSSocket::kWaitForever ? -1 : RpcNowMs() + static_cast<std::int64_t>(timeoutMs);
    std::uint64_t total = 0;  // bytes the record declared so far
    *length = 0;
    *oversized = false;
    for (;;) {
        std::uint8_t mark[4];
        reader.Take(mark, 4, deadline, status);
        if (*status != 0) {
            return;
        }
        const std::uint32_t header = XdrGetWord(mark);
        const std::uint32_t fragment = header & ~kLastFragment;
        total += fragment;
        if (total > CInstrumentServer::kMaxFragmentTotal) {
            reader.Socket().Interrupt();  // not worth reading: give the connection up
            *status = kStatusBodyFailed;
            return;
        }
        // Keep what fits, drop the rest of the fragment.
        const std::uint32_t kept = fragment < capacity - *length ? fragment : capacity - *length;
        reader.Take(record + *length, kept, deadline, status);
        if (*status == 0 && kept < fragment) {
            *oversized = true;
            reader.Take(nullptr, fragment - kept, deadline, status);
        }
        if (*status != 0) {
            if (*status != 6) {
                *status = kStatusBodyFailed;
            }
            return;
        }
        *length += kept;
        if ((header & kLastFragment) != 0) {
            *status = 0;
            return;
        }
    }
}

void CInstrumentServer::ReadRpcRecord(CCoreChannelRecord& record, std::uint32_t* status) {
    std::memset(record.input, 0, CCoreChannelRecord::kInputSize);
    ReceiveRpcRecord(record.reader, record.input + 4, CCoreChannelRecord::kMaxRecord, COSSocket::kWaitForever,
                     &record.recordLength, &record.oversized, status);
}

bool CInstrumentServer::CheckCall(const std::uint8_t* call, std::uint32_t length, std::uint32_t program,
                                  std::uint32_t version, std::uint32_t procedureCount, std::uint32_t* xid,
                                  std::uint32_t* procedure, CXdrReader* arguments, std::uint32_t* errorCode) {
    CXdrReader reader(call, length);
    *xid = 0;
    std::uint32_t type = 0;
    std::uint32_t rpcVersion = 0;
    std::uint32_t callProgram = 0;
    std::uint32_t callVersion = 0;
    if (!reader.RawWord(xid) || !reader.Word(&type) || !reader.Word(&rpcVersion) ||
        !reader.Word(&callProgram) || !reader.Word(&callVersion) || !reader.Word(procedure)) {
        *errorCode = kGarbageArguments;
        return false;
    }
    if (callProgram != program) {
        *errorCode = kProgramUnavailable;
    } else if (rpcVersion != kRpcVersion) {
        *errorCode = kRpcVersionMismatch;
    } else if (callVersion != version) {
        *errorCode = kProgramMismatch;
    } else if (type != kCall) {
        *errorCode = kGarbageArguments;
    } else if (*procedure >= procedureCount) {
        *errorCode = kProcedureUnavailable;
    } else {
        // Credential and verifier: flavour and body each.
        std::uint32_t flavour = 0;
        const std::uint8_t* body = nullptr;
        std::uint32_t bodyLength = 0;
        if (!reader.Word(&flavour) || !reader.Opaque(&body, &bodyLength, kMaxAuthBody) ||
            !reader.Word(&flavour) || !reader.Opaque(&body, &bodyLength, kMaxAuthBody)) {
            *errorCode = kGarbageArguments;
            return false;
        }
        *arguments = CXdrReader(reader.Current(), reader.Remaining());
        return true;
    }
    return false;
}

void CInstrumentServer::ServeRpcRequests(CCoreChannelRecord& record) {
    for (;;) {
        if (record.closed.load() != 0) {
            return;  // stopped from outside: requests still buffered are not served
        }
        std::uint32_t status = 0;
        ReadRpcRecord(record, &status);
        if (status != 0) {
            return;
        }
        std::uint32_t xid = 0;
        std::uint32_t procedure = 0;
        std::uint32_t code = 0;
        CXdrReader arguments(nullptr, 0);
        if (!CheckCall(record.input + 4, record.recordLength, kCoreProgram, 1,
                       CCoreChannelRecord::kProcedureCount, &xid, &procedure, &arguments, &code)) {
            SendRpcError(record, xid, code);
            continue;
        }
        const RpcProcedure& entry = record.table[procedure];
        (record.oversized ? entry.oversized : entry.handler)(record, arguments, xid);
    }
}

std::uint32_t CInstrumentServer::FormatRpcError(std::uint8_t* reply, std::uint32_t xid, std::uint32_t code,
                                                std::uint32_t low, std::uint32_t high) {
    CXdrWriter writer(reply + 4, 32);
    writer.RawWord(xid);
    writer.Word(kReply);
    if (code == kRpcVersionMismatch) {
        writer.Word(1);  // MSG_DENIED
        writer.Word(0);  // RPC_MISMATCH
        writer.Word(0);  // the range the server has always answered
        writer.Word(0);
    } else {
        writer.Word(0);  // MSG_ACCEPTED
        writer.Word(0);  // verifier AUTH_NONE
        writer.Word(0);
        writer.Word(code);
        if (code == kProgramMismatch) {
            writer.Word(low);
            writer.Word(high);
        }
    }
    XdrPutWord(reply, kLastFragment | writer.Length());
    return writer.Length() + 4;
}

void CInstrumentServer::SendRpcError(CCoreChannelRecord& record, std::uint32_t xid, std::uint32_t code) {
    std::uint8_t reply[36];
    const std::uint32_t length = FormatRpcError(reply, xid, code, 1, 1);
    SendRpcRecord(record, reply, length);
}

bool CInstrumentServer::SendWhole(COSSocket& socket, const std::uint8_t* data, std::uint32_t length,
                                  std::uint32_t timeoutMs, std::uint32_t* boundSetMs) {
    const std::int64_t deadline = RpcNowMs() + timeoutMs;
    std::uint32_t done = 0;
    while (done < length) {
        const int left = MillisecondsLeft(deadline);
        if (left <= 0) {
            break;
        }
        // The socket keeps its bound between records: the whole bound for a first send, what
        // is left of it after a partial one.
        const std::uint32_t bound = done == 0 ? timeoutMs : static_cast<std::uint32_t>(left);
        if (boundSetMs == nullptr || *boundSetMs != bound) {
            SetSendTimeout(socket.Descriptor(), static_cast<int>(bound));
            if (boundSetMs != nullptr) {
                *boundSetMs = bound;
            }
        }
        std::uint32_t status = 0;
        const std::uint32_t sent = socket.Send(data + done, length - done, &status);
        if (status != 0) {
            break;
        }
        done += sent;
    }
    if (done < length) {
        socket.Interrupt();
        return false;
    }
    return true;
}

bool CInstrumentServer::SendRpcRecord(CCoreChannelRecord& record, std::uint8_t* data, std::uint32_t length) {
    XdrPutWord(data, kLastFragment | (length - 4));
    return SendWhole(record.socket, data, length, record.sendTimeoutMs, &record.sendBoundSetMs);
}

void CInstrumentServer::ProcedureUnavailable(CCoreChannelRecord& record, CXdrReader&, std::uint32_t xid) {
    SendRpcError(record, xid, kProcedureUnavailable);
}

void CInstrumentServer::GarbageArguments(CCoreChannelRecord& record, CXdrReader&, std::uint32_t xid) {
    SendRpcError(record, xid, kGarbageArguments);
}

// ---- VXI-11 procedures ------------------------------------------------------------------

namespace {

constexpr std::uint32_t kFlagWaitLock = 1;
constexpr std::uint32_t kFlagEnd = 8;
constexpr std::uint32_t kFlagTermChrSet = 128;
constexpr std::uint32_t kReasonRequestCount = 1;
constexpr std::uint32_t kMaxDeviceName = 199;
constexpr std::uint32_t kMaxSrqHandle = 40;
constexpr std::uint32_t kReplyHeaderWords = 6;  // xid, REPLY, MSG_ACCEPTED, AUTH_NONE (2), SUCCESS

// Writes the successful reply header behind the record mark.
void WriteReplyHeader(CXdrWriter& writer, std::uint32_t xid) {
    writer.RawWord(xid);
    for (std::uint32_t word : {1u, 0u, 0u, 0u, 0u}) {
        writer.Word(word);
    }
}

CVxi11Registry* Registry(std::uint32_t* status) {
    CVxi11Registry* registry = CVxi11Registry::Instance();
    *status = registry != nullptr ? 0 : VXI11_STATUS_FAULT;
    return registry;
}

}  // namespace

std::uint32_t CInstrumentServer::Vxi11Error(std::uint32_t status) {
    switch (status) {
        case 0: return 0;
        case VXI11_STATUS_PARAMETER: return 5;
        case VXI11_STATUS_INVALID_LINK: return 4;
        case VXI11_STATUS_NO_CHANNEL: return 6;
        case VXI11_STATUS_CHANNEL_EXISTS: return 29;
        case VXI11_STATUS_NOT_SUPPORTED: return 8;
        case VXI11_STATUS_ABORTED: return 23;
        case VXI11_STATUS_NO_MEMORY: return 9;
        case VXI11_STATUS_LOCKED: return 11;
        case VXI11_STATUS_NOT_LOCKED: return 12;
        case VXI11_STATUS_IO_TIMEOUT: return 15;
        case VXI11_STATUS_NO_DEVICE: return 21;
        default: return 3;
    }
}

void CInstrumentServer::InstallProcedures(CCoreChannelRecord& record) {
    record.table[10].handler = &CreateLink;
    record.table[11].handler = &DeviceWrite;
    record.table[11].oversized = &DeviceWriteOversized;
    record.table[12].handler = &DeviceRead;
    record.table[13].handler = &DeviceReadStb;
    record.table[14].handler = &DeviceTrigger;
    record.table[15].handler = &DeviceClear;
    record.table[16].handler = &DeviceRemote;
    record.table[17].handler = &DeviceLocal;
    record.table[18].handler = &DeviceLock;
    record.table[19].handler = &DeviceUnlock;
    record.table[20].handler = &DeviceEnableSrq;
    record.table[22].handler = &DeviceDocmd;
    record.table[23].handler = &DestroyLink;
    record.table[25].handler = &CreateIntrChan;
    record.table[26].handler = &DestroyIntrChan;
}

void CInstrumentServer::SendResult(CCoreChannelRecord& record, std::uint32_t xid,
                                   std::initializer_list<std::uint32_t> words) {
    std::uint8_t reply[4 + 4 * (kReplyHeaderWords + 4)];
    CXdrWriter writer(reply + 4, sizeof(reply) - 4);
    WriteReplyHeader(writer, xid);
    for (std::uint32_t word : words) {
        writer.Word(word);
    }
    SendRpcRecord(record, reply, writer.Length() + 4);
}

void CInstrumentServer::CreateLink(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid) {
    std::uint32_t clientId = 0;
    std::uint32_t lockDevice = 0;
    std::uint32_t lockTimeout = 0;
    const std::uint8_t* nameBytes = nullptr;
    std::uint32_t nameLength = 0;
    if (!arguments.Word(&clientId) || !arguments.Word(&lockDevice) || !arguments.Word(&lockTimeout) ||
        !arguments.Opaque(&nameBytes, &nameLength, CCoreChannelRecord::kMaxRecord)) {
        GarbageArguments(record, arguments, xid);
        return;
    }
    char name[kMaxDeviceName + 1] = {};
    std::memcpy(name, nameBytes, nameLength < kMaxDeviceName ? nameLength : kMaxDeviceName);
    std::uint32_t status = 0;
    std::uint32_t lid = 0;
    if (CVxi11Registry* registry = Registry(&status)) {
        lid = registry->CreateLink(&Owner(record), lockDevice != 0, lockTimeout, name, &status);
    }
    SendResult(record, xid, {Vxi11Error(status), lid, Owner(record).GetAbortPort(), kMaxData});
}

void CInstrumentServer::DeviceWrite(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid) {
    std::uint32_t lid = 0;
    std::uint32_t ioTimeout = 0;
    std::uint32_t lockTimeout = 0;
    std::uint32_t flags = 0;
    std::uint32_t length = 0;
    if (!arguments.Word(&lid) || !arguments.Word(&ioTimeout) || !arguments.Word(&lockTimeout) ||
        !arguments.Word(&flags)) {
        GarbageArguments(record, arguments, xid);
        return;
    }
    CXdrReader data = arguments;
    if (!data.Word(&length)) {
        GarbageArguments(record, arguments, xid);
        return;
    }
    if (length > kMaxData) {
        SendResult(record, xid, {Vxi11Error(VXI11_STATUS_PARAMETER), 0});
        return;
    }
    const std::uint8_t* bytes = nullptr;
    if (!arguments.Opaque(&bytes, &length, kMaxData)) {
        GarbageArguments(record, arguments, xid);
        return;
    }
    std::uint32_t status = 0;
    std::uint32_t size = 0;
    if (CVxi11Registry* registry = Registry(&status)) {
        size = registry->DeviceWrite(&Owner(record), lid, (flags & kFlagWaitLock) != 0, lockTimeout,
                                     (flags & kFlagEnd) != 0, ioTimeout, length, bytes, &status);
    }
    SendResult(record, xid, {Vxi11Error(status), size});
}

void CInstrumentServer::DeviceWriteOversized(CCoreChannelRecord& record, CXdrReader&, std::uint32_t xid) {
    // More data than a device_write may carry: refused whole, nothing reaches the device.
    SendResult(record, xid, {Vxi11Error(VXI11_STATUS_PARAMETER), 0});
}

void CInstrumentServer::DeviceRead(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid) {
    std::uint32_t lid = 0;
    std::uint32_t requestSize = 0;
    std::uint32_t ioTimeout = 0;
    std::uint32_t lockTimeout = 0;
    std::uint32_t flags = 0;
    std::uint32_t termChar = 0;
    if (!arguments.Word(&lid) || !arguments.Word(&requestSize) || !arguments.Word(&ioTimeout) ||
        !arguments.Word(&lockTimeout) || !arguments.Word(&flags) || !arguments.Word(&termChar)) {
        GarbageArguments(record, arguments, xid);
        return;
    }
    const std::uint32_t count = requestSize < kMaxData ? requestSize : kMaxData;
    constexpr std::uint32_t kDataOffset = 4 + 4 * (kReplyHeaderWords + 3);
    std::memset(record.output, 0, CCoreChannelRecord::kOutputSize);
    std::uint32_t status = 0;
    std::uint32_t reason = 0;
    std::uint32_t delivered = 0;
    if (CVxi11Registry* registry = Registry(&status)) {
        delivered = registry->DeviceRead(&Owner(record), lid, (flags & kFlagWaitLock) != 0, lockTimeout,
                                         (flags & kFlagTermChrSet) != 0, static_cast<std::uint8_t>(termChar),
                                         ioTimeout, count, record.output + kDataOffset, &reason, &status);
    }
    if (delivered > count) {
        delivered = count;
    }
    if (delivered == count && requestSize <= kMaxData) {
        reason |= kReasonRequestCount;
    }
    CXdrWriter writer(record.output + 4, kDataOffset - 4);
    WriteReplyHeader(writer, xid);
    writer.Word(Vxi11Error(status));
    writer.Word(reason);
    writer.Word(delivered);
    SendRpcRecord(record, record.output, kDataOffset + XdrPadded(delivered));
}

void CInstrumentServer::DeviceReadStb(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid) {
    std::uint32_t lid = 0;
    std::uint32_t flags = 0;
    std::uint32_t lockTimeout = 0;
    std::uint32_t ioTimeout = 0;
    if (!arguments.Word(&lid) || !arguments.Word(&flags) || !arguments.Word(&lockTimeout) ||
        !arguments.Word(&ioTimeout)) {
        GarbageArguments(record, arguments, xid);
        return;
    }
    std::uint32_t status = 0;
    if (CVxi11Registry* registry = Registry(&status)) {
        registry->DeviceReadStb(&Owner(record), xid, lid, (flags & kFlagWaitLock) != 0, lockTimeout, ioTimeout,
                                &status);
    }
    // A poll that ran has been answered through SendReadStbReply.
    if (status != 0) {
        SendResult(record, xid, {Vxi11Error(status), 0});
    }
}

template <typename Operation>
void CInstrumentServer::Generic(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid,
                                Operation operation) {
    std::uint32_t lid = 0;
    std::uint32_t flags = 0;
    std::uint32_t lockTimeout = 0;
    std::uint32_t ioTimeout = 0;
    if (!arguments.Word(&lid) || !arguments.Word(&flags) || !arguments.Word(&lockTimeout) ||
        !arguments.Word(&ioTimeout)) {
        GarbageArguments(record, arguments, xid);
        return;
    }
    std::uint32_t status = 0;
    if (CVxi11Registry* registry = Registry(&status)) {
        (registry->*operation)(&Owner(record), lid, (flags & kFlagWaitLock) != 0, lockTimeout, ioTimeout, &status);
    }
    SendResult(record, xid, {Vxi11Error(status)});
}

void CInstrumentServer::DeviceTrigger(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid) {
    Generic(record, arguments, xid, &CVxi11Registry::DeviceTrigger);
}

void CInstrumentServer::DeviceClear(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid) {
    Generic(record, arguments, xid, &CVxi11Registry::DeviceClear);
}

void CInstrumentServer::DeviceRemote(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid) {
    Generic(record, arguments, xid, &CVxi11Registry::DeviceRemote);
}

void CInstrumentServer::DeviceLocal(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid) {
    Generic(record, arguments, xid, &CVxi11Registry::DeviceLocal);
}

void CInstrumentServer::DeviceLock(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid) {
    std::uint32_t lid = 0;
    std::uint32_t flags = 0;
    std::uint32_t lockTimeout = 0;
    if (!arguments.Word(&lid) || !arguments.Word(&flags) || !arguments.Word(&lockTimeout)) {
        GarbageArguments(record, arguments, xid);
        return;
    }
    std::uint32_t status = 0;
    if (CVxi11Registry* registry = Registry(&status)) {
        registry->DeviceLock(&Owner(record), lid, (flags & kFlagWaitLock) != 0, lockTimeout, &status);
    }
    SendResult(record, xid, {Vxi11Error(status)});
}

void CInstrumentServer::DeviceUnlock(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid) {
    std::uint32_t lid = 0;
    if (!arguments.Word(&lid)) {
        GarbageArguments(record, arguments, xid);
        return;
    }
    std::uint32_t status = 0;
    if (CVxi11Registry* registry = Registry(&status)) {
        registry->DeviceUnlock(&Owner(record), lid, &status);
    }
    SendResult(record, xid, {Vxi11Error(status)});
}

void CInstrumentServer::DeviceEnableSrq(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid) {
    std::uint32_t lid = 0;
    std::uint32_t enable = 0;
    std::uint32_t handleLength = 0;
    if (!arguments.Word(&lid) || !arguments.Word(&enable)) {
        GarbageArguments(record, arguments, xid);
        return;
    }
    CXdrReader handleReader = arguments;
    if (!handleReader.Word(&handleLength)) {
        GarbageArguments(record, arguments, xid);
        return;
    }
    if (handleLength > kMaxSrqHandle) {
        SendResult(record, xid, {Vxi11Error(VXI11_STATUS_PARAMETER)});
        return;
    }
    const std::uint8_t* handle = nullptr;
    if (!arguments.Opaque(&handle, &handleLength, kMaxSrqHandle)) {
        GarbageArguments(record, arguments, xid);
        return;
    }
    std::uint32_t status = 0;
    if (CVxi11Registry* registry = Registry(&status)) {
        registry->EnableSrq(&Owner(record), lid, enable != 0, handleLength, handle, &status);
    }
    SendResult(record, xid, {Vxi11Error(status)});
}

void CInstrumentServer::DeviceDocmd(CCoreChannelRecord& record, CXdrReader&, std::uint32_t xid) {
    // Not supported; the reply keeps its full length (4124 bytes of record).
    constexpr std::uint32_t kLength = 4128;
    std::memset(record.output, 0, kLength);
    CXdrWriter writer(record.output + 4, kLength - 4);
    WriteReplyHeader(writer, xid);
    writer.Word(Vxi11Error(VXI11_STATUS_NOT_SUPPORTED));
    writer.Word(0);  // data_out: no bytes
    SendRpcRecord(record, record.output, kLength);
}

void CInstrumentServer::DestroyLink(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid) {
    std::uint32_t lid = 0;
    if (!arguments.Word(&lid)) {
        GarbageArguments(record, arguments, xid);
        return;
    }
    std::uint32_t status = 0;
    if (CVxi11Registry* registry = Registry(&status)) {
        registry->DestroyLink(&Owner(record), lid, &status);
    }
    SendResult(record, xid, {Vxi11Error(status)});
}

void CInstrumentServer::CreateIntrChan(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid) {
    std::uint32_t hostAddr = 0;
    std::uint32_t hostPort = 0;
    std::uint32_t program = 0;
    std::uint32_t version = 0;
    std::uint32_t family = 0;
    if (!arguments.Word(&hostAddr) || !arguments.Word(&hostPort) || !arguments.Word(&program) ||
        !arguments.Word(&version) || !arguments.Word(&family)) {
        GarbageArguments(record, arguments, xid);
        return;
    }
    if (program != CVxi11InterruptChannel::kProgram) {
        SendRpcError(record, xid, kProgramUnavailable);
        return;
    }
    if (version != CVxi11InterruptChannel::kVersion) {
        SendRpcError(record, xid, kProgramMismatch);
        return;
    }
    std::uint32_t status = 0;
    Owner(record).OpenInterruptChannel(hostAddr, static_cast<std::uint16_t>(hostPort), family, &status);
    SendResult(record, xid, {Vxi11Error(status)});
}

void CInstrumentServer::DestroyIntrChan(CCoreChannelRecord& record, CXdrReader&, std::uint32_t xid) {
    std::uint32_t status = 0;
    Owner(record).CloseInterruptChannel(&status);
    SendResult(record, xid, {Vxi11Error(status)});
}

// ---- the connection ----------------------------------------------------------------------

CInstrumentServer::CInstrumentServer(CInstrumentServerManager* manager, COSSocket& accepted) : m_manager(manager) {
    if (m_serverMutex.InitFailed() != 0) {
        return;
    }
    const std::uint32_t local = accepted.LocalAddress();
    EnableKeepAlive(accepted);
    m_abort = EngineNew<CVxi11AbortChannel>(this, local);
    if (m_abort == nullptr || m_abort->InitFailed() != 0) {
        return;
    }
    m_interrupt = EngineNew<CVxi11InterruptChannel>(local);
    if (m_interrupt == nullptr || m_interrupt->InitFailed() != 0) {
        return;
    }
    m_core = EngineNew<CCoreChannelRecord>();
    if (m_core == nullptr) {
        return;
    }
    InitProcedureTable(*m_core, this, accepted);
    if (m_core->initFailed != 0) {
        return;
    }
    InstallProcedures(*m_core);
    std::uint32_t status = 0;
    Start(kPriority, &status);
    if (status == 0) {
        m_initFailed = 0;
    }
}

CInstrumentServer::~CInstrumentServer() {
    // What the thread's teardown did not delete (it never ran).
    EngineDelete(m_core);
    EngineDelete(m_interrupt);
    EngineDelete(m_abort);
}

void CInstrumentServer::Run() {
    std::uint32_t status = 0;
    m_manager->AddServer(this, &status);
    if (status != 0) {
        SetState(2);
        NotifyStarted();
        return;
    }
    SetState(1);
    NotifyStarted();
    CVxi11PeerWatcher* watcher = m_manager->Watcher();
    if (watcher != nullptr) {
        watcher->Watch(this, m_core->socket.Descriptor(), &status);
    }
    ServeRpcRequests(*m_core);
    if (watcher != nullptr) {
        watcher->Forget(this);
    }
    // No link of this connection is reachable after this, so no service request comes in.
    if (CVxi11Registry* registry = CVxi11Registry::Instance()) {
        registry->DestroyLinksOfClient(this);
    }
    m_serverMutex.Lock(&status);
    CCoreChannelRecord* core = m_core;
    CVxi11InterruptChannel* interrupt = m_interrupt;
    CVxi11AbortChannel* abort = m_abort;
    m_core = nullptr;
    m_interrupt = nullptr;
    m_abort = nullptr;
    if (status == 0) {
        m_serverMutex.Unlock();
    }
    EngineDelete(core);
    EngineDelete(interrupt);
    EngineDelete(abort);
    m_finished.store(true);
    m_manager->MarkServerEnded(this, &status);
}

void CInstrumentServer::CloseToRequests() {
    std::uint32_t status = 0;
    m_serverMutex.Lock(&status);
    if (m_core != nullptr && m_core->closed.exchange(1) == 0) {
        m_core->socket.Interrupt();
    }
    if (status == 0) {
        m_serverMutex.Unlock();
    }
}

void CInstrumentServer::StopConnection() {
    std::uint32_t status = 0;
    CloseToRequests();
    // A procedure may be waiting for the device; abort it (again, until the thread has seen
    // the closed socket: an abort that comes before the procedure waits is not kept).
    while (m_initFailed == 0 && !m_finished.load()) {
        AbortProcedures();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop(&status);
}

void CInstrumentServer::PeerGone() {
    CloseToRequests();
    AbortProcedures();
}

void CInstrumentServer::AbortProcedures() {
    if (CVxi11Registry* registry = CVxi11Registry::Instance()) {
        registry->AbortLinksOfClient(this);
    }
}

std::uint16_t CInstrumentServer::GetAbortPort() { return m_abort != nullptr ? m_abort->Port() : 0; }

void CInstrumentServer::SendServiceRequest(std::uint32_t handleLength, const std::uint8_t* handle) {
    std::uint32_t status = 0;
    if (m_interrupt != nullptr) {
        m_interrupt->SendDeviceIntrSrq(handleLength, handle, &status);
    }
}

void CInstrumentServer::SendReadStbReply(std::uint32_t xid, std::uint8_t statusByte, std::uint32_t status) {
    SendResult(*m_core, xid, {Vxi11Error(status), statusByte});
}

void CInstrumentServer::OpenInterruptChannel(std::uint32_t address, std::uint16_t port, std::uint32_t family,
                                             std::uint32_t* status) {
    m_interrupt->Create(address, port, family, status);
}

void CInstrumentServer::CloseInterruptChannel(std::uint32_t* status) { m_interrupt->Destroy(status); }
