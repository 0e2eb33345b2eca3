#include "Host/scpi/parser/KorvexHostParser.h"

#include <array>
#include <chrono>
#include <exception>
#include <utility>

#include "Host/acquisition/AcqResultGetters.h"
#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/acquisition/IntermediateResults.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/scpi/engine/ScpiChannelList.h"
#include "Host/scpi/engine/ScpiLexer.h"
#include "Host/scpi/exec/GenericSettings.h"
#include "Host/scpi/handlers/CommandHandlers.h"
#include "Host/scpi/host/KorvexHost.h"
#include "Host/scpi/status/KorvexScpiStatus.h"
#include "Host/scpi/status/StatusTables.h"

namespace Korvex {

namespace {

// The reply separators.
const std::string MessageTerminator = "\n";
const std::string ReplyUnitSeparator = ";";

// Error rows the parser and the dispatcher post themselves.
constexpr std::uint32_t RowExecutionError = 41;        // -200 "Execution error"
constexpr std::uint32_t RowSettingsConflict = 52;      // -221 "Settings conflict"
constexpr std::uint32_t RowQueryError = 113;           // -400 "Query error"
constexpr std::uint32_t RowQueryAfterIndefinite = 117; // -440
constexpr std::uint32_t RowFirmwareError = 127;        // 200 "Firmware error"
constexpr std::uint32_t RowNoProbe = 128;              // 201 "No probe"
constexpr std::uint32_t RowNoSelectedChannel = 129;    // 202 "No selected channel"
constexpr std::uint32_t RowInvalidChannelList = 130;   // 203 "Invalid Channel List"
constexpr std::uint32_t RowTopologyChanged = 132;      // 205 "Topology Changed"

// Commands whose code is not in this build yet: the dispatcher answers them with -200
// "Execution error" after the lock rule, the query announcement, the log line and the
// busy rule, and stores nothing.
// (None left.)
constexpr std::array<std::uint8_t, 0> UnavailableCommands{};

bool CommandUnavailable(std::uint8_t command)
{
    for (std::uint8_t c : UnavailableCommands)
        if (c == command) return true;
    return false;
}

std::uint32_t ErrorRowOf(eError code)
{
    switch (code) {
        case eInvalidChannelList: return RowInvalidChannelList;
        case eNoPeripheralConnected: return RowNoProbe;
        case eNoProbeSelected: return RowNoSelectedChannel;
        case eAlreadyInitiated: return RowSettingsConflict;
        case eNmrPathBroken: return RowTopologyChanged;
        case eDspExchangeFailed:
        case eAcquisitionNotUp: return RowExecutionError;
        default: return RowFirmwareError;
    }
}

class QueueLock {
public:
    explicit QueueLock(kernel::Mutex& m) : mutex(m), locked(kernel::mutex_lock(&m)) {}
    ~QueueLock()
    {
        if (locked) kernel::mutex_unlock(&mutex);
    }
    QueueLock(const QueueLock&) = delete;
    QueueLock& operator=(const QueueLock&) = delete;

private:
    kernel::Mutex& mutex;
    bool locked;
};

unsigned CountPatterns(const char* const* patterns)
{
    unsigned n = 0;
    while (patterns != nullptr && patterns[n] != nullptr && patterns[n][0] != '\0') ++n;
    return n;
}

// The text of a quoted string with every doubled quote character taken as one.
std::string Unquote(const char* text, std::uint32_t length, char quote)
{
    std::string out(text, length);
    if (quote == 0) return out;
    const char pair[2] = {quote, quote};
    std::size_t pos = 0;
    while ((pos = out.find(pair, pos, 2)) != std::string::npos) {
        out.erase(pos, 1);
        ++pos;  // continue after the kept quote
    }
    return out;
}

// Decodes one channel-list token into the record's slot.
std::uint8_t DecodeChannelList(ParsedCommand& record, unsigned slot, const ScpiToken& token)
{
    record.slotType[slot] = ParsedSlotChannelList;
    record.channels[slot].clear();
    for (std::uint32_t entry = 0;; ++entry) {
        ScpiToken first[ScpiChannelEntryLevels] = {};
        ScpiToken last[ScpiChannelEntryLevels] = {};
        std::uint8_t levels = ScpiChannelListParameter.maximumLevels;
        std::uint8_t range = 0;
        std::uint8_t status = scpi_parse_numeric_param(token, entry, levels, range, first, last);
        if (status == ScpiEngineNoListEntry) return 0;
        if (status != 0) return status;
        if (levels == 0 || levels > ScpiChannelEntryLevels) return ScpiEngineListDimensions;

        std::uint8_t from[ScpiChannelEntryLevels] = {};
        std::uint8_t to[ScpiChannelEntryLevels] = {};
        bool ascending[ScpiChannelEntryLevels] = {};
        for (unsigned level = 0; level < levels; ++level) {
            std::int32_t f = 0;
            std::int32_t t = 0;
            if ((status = scpi_param_get_int32(first[level], f)) != 0) return status;
            if ((status = scpi_param_get_int32(last[level], t)) != 0) return status;
            const bool ok = level == 0 ? (f == 1 && t == 1)
                                       : (f >= 1 && f <= 255 && t >= 1 && t <= 255);
            if (!ok) return ScpiEngineInvalidListValue;
            from[level] = static_cast<std::uint8_t>(f);
            to[level] = static_cast<std::uint8_t>(t);
            ascending[level] = f <= t;
        }
        std::vector<CKorvexChannel> addresses;
        const std::size_t limit = ParsedCommand::MaxChannelAddresses - record.channels[slot].size();
        status = CKorvexHostParser::ExpandChannelRange(addresses, from, to, levels, ascending, limit);
        if (status != 0) return status;
        for (const CKorvexChannel& address : addresses) record.AddChannel(slot, address);
        if (record.status != 0) return record.status;
    }
}

}  // namespace

// ---- construction and the queue ----

CKorvexHostParser::CKorvexHostParser(const char* const* patterns)
    : CThread(ThreadPriority, "Host Parser Thread", ThreadStackSize)
{
    kernel::mutex_init(&queueMutex);
    kernel::semaphore_init(&messages, 0);
    if (CountPatterns(patterns) == ScpiCommandCount && GetHandle() != 0) {
        Start();
        running = 1;
    }
}

CKorvexHostParser::~CKorvexHostParser()
{
    stopping.store(true);
    kernel::semaphore_post(&messages);
    if (running) {
        // Join: let the thread finish the message it runs and leave its body.
        while (!kernel::thread_info(GetHandle()).exited) kernel::thread_delay(1);
    }
    {
        CRecursiveLock tree(ParameterTreeLock());
        if (CParameterNode::GetPointerAttribute(g_pScpiParserObject, eAttrValue) == this)
            CParameterNode::SetPointerAttribute(g_pScpiParserObject, eAttrValue, nullptr);
    }
    input.clear();
    kernel::semaphore_destroy(&messages);
    kernel::mutex_destroy(&queueMutex);
}

int CKorvexHostParser::PostMessage(const std::string& text, CKorvexHost* host)
{
    {
        QueueLock lock(queueMutex);
        input.push_back(QueuedMessage{text, host});
    }
    kernel::semaphore_post(&messages);
    return 0;
}

int CKorvexHostParser::RemovePendingMessages(CKorvexHost* host)
{
    QueueLock lock(queueMutex);
    const std::size_t before = input.size();
    input.remove_if([host](const QueuedMessage& m) { return m.host == host; });
    return static_cast<int>(before - input.size());
}

void CKorvexHostParser::ReleaseHost(CKorvexHost* host)
{
    {
        CRecursiveLock use(hostUse);
        QueueLock lock(queueMutex);
        input.remove_if([host](const QueuedMessage& m) { return m.host == host; });
        EndWaitOf(host, true);
    }
    // The session lock dies with its holder.
    CRecursiveLock tree(ParameterTreeLock());
    if (host != nullptr &&
        CParameterNode::GetPointerAttribute(g_pParametersLock, eAttrValue) == host)
        CParameterNode::SetPointerAttribute(g_pParametersLock, eAttrValue, nullptr);
}

bool CKorvexHostParser::HandOverHost(CKorvexHost* host)
{
    CRecursiveLock use(hostUse);
    QueueLock lock(queueMutex);
    if (host == nullptr || currentHost != host) return false;
    EndWaitOf(host, true);
    handedOver.push_back(host);
    return true;
}

void CKorvexHostParser::AbandonRunningMessage(CKorvexHost* host)
{
    QueueLock lock(queueMutex);
    EndWaitOf(host, false);
}

void CKorvexHostParser::EndWaitOf(CKorvexHost* host, bool gone)
{
    if (host == nullptr || currentHost != host) return;
    (gone ? hostGone : messageAbandoned).store(true);
    KorvexEndResultWait();
}

bool CKorvexHostParser::OtherHostAwaitsBusTrigger(const CKorvexHost* host)
{
    {
        QueueLock lock(queueMutex);
        if (currentHost == nullptr || currentHost == host || hostGone.load() ||
            messageAbandoned.load())
            return false;
    }
    return KorvexResultWaitActive() && BusTriggerArmed();
}

bool CKorvexHostParser::BusTriggerArmed()
{
    return CAcquisitionSeam::Instance().TriggerActive() &&
           CParameterNode::GetStringAttribute(g_pTriggerInSource, eAttrValue) == "BUS";
}

CKorvexHost* CKorvexHostParser::MessageHost() const
{
    if (!running || kernel::thread_self() != GetHandle() || hostGone.load()) return nullptr;
    return currentHost;  // written only by this thread
}

bool CKorvexHostParser::RunAfterMessage(std::function<void()> action)
{
    if (!running || kernel::thread_self() != GetHandle() || currentHost == nullptr) return false;
    afterMessage.push_back(std::move(action));
    return true;
}

bool CKorvexHostParser::RunAfterNextMessage(std::function<void()> action)
{
    if (!running || kernel::thread_self() != GetHandle()) return false;
    afterNextMessage.push_back(std::move(action));
    return true;
}

bool CKorvexHostParser::Hold(int limitMs)
{
    holdAsked.store(true);
    kernel::semaphore_post(&messages);
    std::unique_lock<std::mutex> lock(holdMutex);
    return holdReached.wait_for(lock, std::chrono::milliseconds(limitMs), [this] { return held; });
}

void CKorvexHostParser::HoldHere()
{
    holdAsked.store(true);
    {
        std::lock_guard<std::mutex> lock(holdMutex);
        held = true;
    }
    holdReached.notify_all();
    kernel::thread_suspend(GetHandle());
    // Resumed (the restart never came): the thread runs on.
    {
        std::lock_guard<std::mutex> lock(holdMutex);
        held = false;
    }
    holdAsked.store(false);
}

// ---- the thread ----

void CKorvexHostParser::ThreadMain()
{
    for (;;) {
        kernel::semaphore_wait(&messages);
        if (stopping.load()) return;
        if (holdAsked.load()) {
            {
                std::lock_guard<std::mutex> lock(holdMutex);
                held = true;
            }
            holdReached.notify_all();
            while (!stopping.load()) kernel::semaphore_wait(&messages);
            return;
        }
        QueuedMessage message;
        {
            QueueLock lock(queueMutex);
            if (input.empty()) continue;  // its messages were removed
            message = std::move(input.front());
            input.pop_front();
            currentHost = message.host;
            messageAbandoned.store(false);
            KorvexAllowResultWait();
        }
        ProcessMessage(message.text, message.host);
        std::vector<CKorvexHost*> hosts;
        {
            CRecursiveLock use(hostUse);
            QueueLock lock(queueMutex);
            currentHost = nullptr;
            hostGone.store(false);
            hosts.swap(handedOver);
        }
        for (CKorvexHost* host : hosts) delete host;
        std::vector<std::function<void()>> actions;
        actions.swap(afterMessage);
        for (std::function<void()>& action : actions) action();
        afterMessage.swap(afterNextMessage);  // what those actions left for the next message
    }
}

void CKorvexHostParser::ProcessMessage(const std::string& text, CKorvexHost* host)
{
    reply.clear();
    queryAnnounced = false;
    std::vector<ParsedCommand> records;
    const std::uint8_t status = ParseMessage(text, records, &reply);
    if (status != 0) {
        CRecursiveLock use(hostUse);
        if (!hostGone.load() && !messageAbandoned.load()) ReportParseStatus(status, host->StatusBlock());
    }
    const bool stopped = records.empty() ? false : ExecuteMessage(records, *host);

    // No result store stays held by the parser between messages.
    IntermediateResults().ClearReady();
    KorvexReleaseReadBuffer();
    IntermediateResults().Unlock();

    {
        CRecursiveLock use(hostUse);
        if (!hostGone.load() && queryAnnounced && !stopped) {
            reply += MessageTerminator;
            host->PrepareResponse(std::move(reply));
        }
    }
    CKorvexScpiStatus::UpdateAllSessions();
    {
        CRecursiveLock use(hostUse);
        if (!hostGone.load()) host->InputDone();
    }
    reply.clear();
}

bool CKorvexHostParser::ExecuteMessage(std::vector<ParsedCommand>& records, CKorvexHost& host)
{
    bool firstQuery = true;
    bool indefiniteSeen = false;
    bool stopped = false;
    for (ParsedCommand& record : records) {
        const bool query = ScpiCommandQueryFlag(record.command) != 0;
        if (query) {
            if (indefiniteSeen) {
                PostToHost(host, RowQueryAfterIndefinite);
                break;
            }
            if (!firstQuery) reply += ReplyUnitSeparator;
            record.mark = static_cast<std::uint32_t>(reply.size());
        }
        _DispatchCommand(record, host);
        if (hostGone.load() || messageAbandoned.load()) return true;
        if (record.status != 0) {
            CRecursiveLock use(hostUse);
            if (!hostGone.load()) ReportParseStatus(record.status, host.StatusBlock());
        }
        stopped = record.stop != 0;
        if (stopped) break;
        if (query) {
            firstQuery = false;
            if (record.indefiniteResponse) indefiniteSeen = true;
        }
    }
    return stopped;
}

void CKorvexHostParser::PostToHost(CKorvexHost& host, std::uint32_t row)
{
    CRecursiveLock use(hostUse);
    if (!hostGone.load() && !messageAbandoned.load())
        CKorvexScpiStatus::PostError(host.StatusBlock(), row, 1);
}

// ---- dispatch ----

void CKorvexHostParser::_DispatchCommand(ParsedCommand& record, CKorvexHost& host)
{
    try {
        DispatchSteps(record, host);
    } catch (eSCPIErrorEvent row) {
        PostToHost(host, row);
    } catch (eError code) {
        PostToHost(host, ErrorRowOf(code));
    } catch (const std::exception&) {
        PostToHost(host, RowFirmwareError);
    } catch (...) {
        PostToHost(host, RowFirmwareError);
    }
}

void CKorvexHostParser::DispatchSteps(ParsedCommand& record, CKorvexHost& host)
{
    const std::uint8_t command = record.command;
    if (command >= ScpiCommandCount) {
        record.Latch(ParsedInconsistent);
        return;
    }

    // Session lock: only the holder, and the commands allowed under the lock, run.
    void* holder = CParameterNode::GetPointerAttribute(g_pParametersLock, eAttrValue);
    if (holder != nullptr && holder != &host && ScpiCommandLockFlag(command) == 0) {
        record.Latch(ParsedSettingsConflict);
        return;
    }

    // Query announcement, at most once per message (the host keeps the flag).
    if (ScpiCommandQueryFlag(command)) {
        std::uint32_t result = 0;
        {
            CRecursiveLock use(hostUse);
            if (hostGone.load()) return;
            result = host.NotifyQueryDetected();
        }
        if (result != 0) {
            PostToHost(host, RowQueryError);
            record.stop = 1;
            return;
        }
        if (messageAbandoned.load()) return;  // its reply is owed to nobody
        queryAnnounced = true;
    }

    Logger().Print({"CKorvexHostParser::_DispatchCommand: ", ScpiCommandPatternTable[command], "\n"});

    const bool triggerActive = CAcquisitionSeam::Instance().TriggerActive();
    if (CommandUnavailable(command)) {
        if (!BusyRuleRefuses(record, host.StatusBlock(), triggerActive))
            PostToHost(host, RowExecutionError);
        return;
    }

    if (GetSetSetting(record, host.StatusBlock(), triggerActive)) return;
    if (hostGone.load()) return;

    const ScpiCommandHandler handler = ScpiCommandHandlerTable[command];
    if (handler == nullptr) {
        Logger().Printf("Unhandled command number: %u\n", static_cast<unsigned>(command));
        return;
    }
    handler(*this, record, host);
}

// ---- parsing ----

std::uint8_t CKorvexHostParser::ParseMessage(const std::string& text,
                                             std::vector<ParsedCommand>& records,
                                             std::string* response)
{
    records.clear();
    const char* cursor = text.c_str();
    const char* const end = cursor + text.size() + 1;  // the terminating NUL counts
    int firstUnit = 1;
    for (;;) {
        std::uint8_t command = 0;
        std::uint8_t suffixCount = 0;
        std::uint32_t suffixes[1] = {0};
        ScpiToken tokens[ScpiParameterSlots] = {};
        const char* before = cursor;
        const std::uint8_t status =
            scpi_parse_message_unit(cursor, static_cast<std::size_t>(end - cursor), firstUnit,
                                    command, tokens, suffixCount, suffixes);
        firstUnit = 0;
        if (status == ScpiEngineEmptyUnit) return 0;
        // Filled where it stays: a record is not copied.
        ParsedCommand& work = records.emplace_back(response);
        for (unsigned i = 0; i < suffixCount && i < 1; ++i) work.suffixes.push_back(suffixes[i]);
        work.command = command;
        work.status = status;
        if (status == 0 && cursor == before) work.status = ScpiEngineSyntax;  // no progress
        if (work.status == 0) ParseParameters(work, tokens);
        if (work.status != 0) {
            const std::uint8_t failure = work.status;
            records.clear();
            return failure;
        }
    }
}

void CKorvexHostParser::ParseParameters(ParsedCommand& record,
                                        const ScpiToken tokens[ScpiParameterSlots])
{
    for (unsigned slot = 0; slot < ScpiParameterSlots && record.status == 0; ++slot) {
        const ScpiToken& token = tokens[slot];
        std::uint8_t type = 0;
        std::uint8_t sign = 0;
        std::uint8_t status = scpi_param_get_type_and_sign(token, type, sign);
        if (status != 0) {
            record.Latch(status);
            return;
        }
        switch (type) {
            case ScpiTokenNumber: {
                std::uint32_t kind = 0;
                status = scpi_param_get_numeric_word4(token, kind);
                std::int32_t integer = 0;
                if (status == 0 && (sign & ScpiNumberExponentNegative) == 0 &&
                    scpi_param_get_int32(token, integer) == 0) {
                    record.SetInteger(slot, integer, kind);
                } else if (status == 0) {
                    // A fraction, or an integer beyond 32 bits: a double, which an integer
                    // node then refuses as out of range.
                    double real = 0.0;
                    status = scpi_param_get_double(token, real);
                    if (status == 0) record.SetNumber(slot, real, kind);
                }
                break;
            }
            case ScpiTokenBoolean: {
                std::uint8_t value = 0;
                status = scpi_param_get_bool(token, value);
                if (status == 0) record.SetBool(slot, value);
                break;
            }
            case ScpiTokenChoice: {
                std::uint8_t index = 0;
                status = scpi_param_get_char(token, index);
                if (status == 0) record.SetChoice(slot, index);
                break;
            }
            case ScpiTokenString:
            case ScpiTokenText: {
                const char* text = nullptr;
                std::uint32_t length = 0;
                std::uint8_t quote = 0;
                status = scpi_param_get_string(token, text, length, quote);
                if (status == 0) record.SetString(slot, Unquote(text, length, static_cast<char>(quote)));
                break;
            }
            case ScpiTokenChannelList: status = DecodeChannelList(record, slot, token); break;
            case ScpiTokenBlock: {
                const char* begin = nullptr;
                const char* finish = nullptr;
                status = scpi_param_get_block(token, begin, finish);
                if (status == 0)
                    record.SetBlock(slot, std::vector<std::uint8_t>(
                                              reinterpret_cast<const std::uint8_t*>(begin),
                                              reinterpret_cast<const std::uint8_t*>(finish)));
                break;
            }
            default: break;
        }
        record.Latch(status);
    }
}

std::uint8_t CKorvexHostParser::ExpandChannelRange(std::vector<CKorvexChannel>& list,
                                                   const std::uint8_t from[],
                                                   const std::uint8_t to[], unsigned levels,
                                                   const bool ascending[], std::size_t limit)
{
    std::vector<CKorvexChannel> current(1);  // one empty address to start from
    for (unsigned level = 0; level < levels && level < CKorvexChannel::MaxLevels; ++level) {
        const std::size_t span =
            static_cast<std::size_t>(ascending[level] ? to[level] - from[level]
                                                      : from[level] - to[level]) + 1;
        if (current.size() * span > limit) return ParsedChannelListError;
        std::vector<CKorvexChannel> next;
        next.reserve(current.size() * span);
        for (const CKorvexChannel& address : current) {
            for (std::size_t i = 0; i < span; ++i) {
                CKorvexChannel copy = address;
                const int v = ascending[level] ? from[level] + static_cast<int>(i)
                                               : from[level] - static_cast<int>(i);
                copy.AddLevel(static_cast<std::uint8_t>(v));
                next.push_back(copy);
            }
        }
        current.swap(next);
    }
    if (levels == 0) return 0;
    list.insert(list.end(), current.begin(), current.end());
    return 0;
}

void CKorvexHostParser::ReportParseStatus(std::uint8_t status, CKorvexScpiStatus* block)
{
    const std::uint32_t row = ParseStatusErrorRow(status);
    if (row != 0) CKorvexScpiStatus::PostError(block, row, 1);
}

}  // namespace Korvex
