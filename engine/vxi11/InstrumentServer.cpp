#include "engine/vxi11/InstrumentServer.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "engine/os/Allocator.h"

namespace {

constexpr std::uint32_t kLastFragment = 0x80000000u;
constexpr std::uint32_t kCall = 0;
constexpr std::uint32_t kReply = 1;
constexpr std::uint32_t kRpcVersion = 2;
constexpr std::uint32_t kStatusBodyFailed = 8;

// Milliseconds left until deadline (-1: no deadline); 0 when it has passed.
int MillisecondsLeft(std::int64_t deadline) {
    if (deadline < 0) {
        return -1;
    }
    const std::int64_t left = deadline - RpcNowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until the socket is readable or the deadline passed (status 6).
void WaitReadable(COSSocket& socket, std::int64_t deadline, std::uint32_t* status) {
    for (;;) {
        pollfd entry{socket.Descriptor(), POLLIN, 0};
        const int ready = poll(&entry, 1, MillisecondsLeft(deadline));
        if (ready > 0) {
            *status = 0;
            return;
        }
        if (ready == 0) {
            *status = 6;
            return;
        }
        if (errno != EINTR) {
            *status = 7;
            return;
        }
    }
}

// Receives exactly length bytes; with data null, receives and drops them.
void ReceiveExactly(COSSocket& socket, std::uint8_t* data, std::uint32_t length, std::int64_t deadline,
                    std::uint32_t* status) {
    std::uint8_t scratch[512];
    std::uint32_t done = 0;
    while (done < length) {
        if (deadline >= 0) {
            WaitReadable(socket, deadline, status);
            if (*status != 0) {
                return;
            }
        }
        std::uint32_t chunk = length - done;
        std::uint8_t* to = data != nullptr ? data + done : scratch;
        if (data == nullptr && chunk > sizeof(scratch)) {
            chunk = sizeof(scratch);
        }
        done += socket.Receive(to, chunk, status);
        if (*status != 0) {
            return;
        }
    }
    *status = 0;
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
    if (status != 0 || record.input == nullptr || record.output == nullptr) {
        return;
    }
    std::memset(record.input, 0, CCoreChannelRecord::kInputSize);
    std::memset(record.output, 0, CCoreChannelRecord::kOutputSize);
    record.initFailed = 0;
}

void CInstrumentServer::ReceiveWhole(COSSocket& socket, std::uint8_t* data, std::uint32_t length,
                                     std::int64_t deadline, std::uint32_t* status) {
    ReceiveExactly(socket, data, length, deadline, status);
}

void CInstrumentServer::ReceiveRpcRecord(COSSocket& socket, std::uint8_t* record, std::uint32_t capacity,
                                         std::uint32_t timeoutMs, std::uint32_t* length, bool* oversized,
                                         std::uint32_t* status) {
    const std::int64_t deadline =
        timeoutMs == COSSocket::kWaitForever ? -1 : RpcNowMs() + static_cast<std::int64_t>(timeoutMs);
    std::uint64_t total = 0;  // bytes the record declared so far
    *length = 0;
    *oversized = false;
    for (;;) {
        std::uint8_t mark[4];
        ReceiveExactly(socket, mark, 4, deadline, status);
        if (*status != 0) {
            return;
        }
        const std::uint32_t header = XdrGetWord(mark);
        const std::uint32_t fragment = header & ~kLastFragment;
        total += fragment;
        if (total > CInstrumentServer::kMaxFragmentTotal) {
            socket.Interrupt();  // not worth reading: give the connection up
            *status = kStatusBodyFailed;
            return;
        }
        // Keep what fits, drop the rest of the fragment.
        const std::uint32_t kept = fragment < capacity - *length ? fragment : capacity - *length;
        ReceiveExactly(socket, record + *length, kept, deadline, status);
        if (*status == 0 && kept < fragment) {
            *oversized = true;
            ReceiveExactly(socket, nullptr, fragment - kept, deadline, status);
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
    ReceiveRpcRecord(record.socket, record.input + 4, CCoreChannelRecord::kMaxRecord, COSSocket::kWaitForever,
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
                                  std::uint32_t timeoutMs) {
    const std::int64_t deadline = RpcNowMs() + timeoutMs;
    std::uint32_t done = 0;
    while (done < length) {
        const int left = MillisecondsLeft(deadline);
        if (left <= 0) {
            break;
        }
        SetSendTimeout(socket.Descriptor(), left);
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
    return SendWhole(record.socket, data, length, record.sendTimeoutMs);
}

void CInstrumentServer::ProcedureUnavailable(CCoreChannelRecord& record, CXdrReader&, std::uint32_t xid) {
    SendRpcError(record, xid, kProcedureUnavailable);
}

void CInstrumentServer::GarbageArguments(CCoreChannelRecord& record, CXdrReader&, std::uint32_t xid) {
    SendRpcError(record, xid, kGarbageArguments);
}
