// The one SCPI parser of the instrument: every host session hands each complete program
// message to it, and its thread ("Host Parser Thread") takes the messages one at a time in
// arrival order. A message is parsed whole before any of its commands runs; a parse error
// drops it. The replies of its queries are joined by ";", ended by "\n" and handed to the
// host; at the end of every message the result stores are released, the host's input is
// handed back and the status of every session is re-evaluated.
//
// Lock order: host mutex, then queue mutex (hosts post inside their mutex). The parser
// thread never takes a host mutex while it holds the queue mutex or the status lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "Host/parameters/RecursiveMutex.h"
#include "Host/parameters/Thread.h"
#include "Host/scpi/engine/ScpiToken.h"
#include "Host/scpi/exec/KorvexChannel.h"
#include "Host/scpi/exec/ParsedCommand.h"
#include "Host/scpi/tables/CommandTables.h"
#include "platform/kernel/Kernel.h"

namespace Korvex {

class CKorvexHost;
class CKorvexScpiStatus;

class CKorvexHostParser : public CThread {
public:
    using ParsedCommand = Korvex::ParsedCommand;

    static constexpr int ThreadPriority = 15;
    static constexpr std::size_t ThreadStackSize = 32768;

    // patterns: the command-pattern table, ended by an empty pattern. The thread is started
    // only when it holds exactly ScpiCommandCount patterns; otherwise messages are queued
    // and never answered.
    explicit CKorvexHostParser(const char* const* patterns = ScpiCommandPatternTable);
    // Stops the thread (after the message it runs) and joins it; queued messages are
    // dropped.
    ~CKorvexHostParser() override;

    // 1 once the thread runs.
    std::uint8_t Running() const { return running; }

    // Queues {text, host} and signals the thread. Returns 0.
    int PostMessage(const std::string& text, CKorvexHost* host);
    // Removes every queued message of host; returns how many were removed.
    int RemovePendingMessages(CKorvexHost* host);
    // Called first by every host destructor, holding no host mutex or engine lock: removes
    // the host's queued messages and clears the session lock when the host holds it. When
    // the host's message is running (on this thread or another), marks it gone without
    // waiting: from then on nothing of that host is touched and the rest of the message is
    // dropped.
    void ReleaseHost(CKorvexHost* host);
    // Called by a host on device clear, holding its host mutex: when a message of host runs,
    // it is abandoned. The command it is in stops waiting for a measurement's results (the
    // measurement goes on), no further command of it runs and nothing more of it is posted
    // to the host; its end steps still run.
    void AbandonRunningMessage(CKorvexHost* host);
    // Any thread, holding no queue mutex: whether the running message is one of a host other
    // than host (not abandoned) and waits for the results of a measurement that waits for
    // bus triggers.
    bool OtherHostAwaitsBusTrigger(const CKorvexHost* host);
    // Any thread: a measurement is armed and waits for bus triggers.
    static bool BusTriggerArmed();
    // Whether the host of the running message has been released (parser thread).
    bool HostGone() const { return hostGone.load(); }
    // When a message of host runs, takes host over: it is marked gone and deleted on the
    // parser thread after that message's end steps; true. false when no message of host
    // runs: the caller frees it. Call after ReleaseHost, once no new message of host can
    // be queued.
    bool HandOverHost(CKorvexHost* host);
    // On the parser thread during a message: that message's host (null once it is gone).
    // Null on any other thread and between messages.
    CKorvexHost* MessageHost() const;
    // On the parser thread during a message: runs action on this thread after that
    // message's end steps (the input handed back), and returns true. false elsewhere.
    bool RunAfterMessage(std::function<void()> action);
    // On the parser thread, also between messages (from such an action): runs action after
    // the end steps of the next message to come. false elsewhere.
    bool RunAfterNextMessage(std::function<void()> action);

    // A shut-down is ahead (any thread): no message after the one that runs is run, and the
    // hosts take in no further input, so a host's later write fails instead of being
    // acknowledged and never run. Hold completes it.
    void CloseInput() { holdAsked.store(true); }
    // Whether the input is closed (CloseInput, Hold, or HoldHere until resumed).
    bool InputClosed() const { return holdAsked.load(); }
    // Shut-down: the thread runs no further message, for good (queued ones stay unanswered).
    // Waits until the message that runs, with its end steps, is over, at most limitMs; true
    // once the thread is held. Not on the parser thread.
    bool Hold(int limitMs);
    // The same from a command of the running message (parser thread): held at once, then the
    // thread suspends itself; resumed, it runs on.
    void HoldHere();

    // Runs one parsed command for host: lock rule, query announcement, log line, settings
    // get/set, handler (parser thread).
    void _DispatchCommand(ParsedCommand& record, CKorvexHost& host);

    // Appends the reply of one measured item (FetchItem) for count measurements, or count
    // array points, with digits decimals in the fixed-point forms: ASCII items, or one
    // "#6" block when host_if/parameters/format is not "ASCii". Throws eSCPIErrorEvent 62
    // when the acquisition system is not up, 131 when data are missing (what was appended
    // stays), 129 or 127 when a flux value cannot be given in the selected unit (parser
    // thread; the result stores stay held until the end of the message).
    static void FormatFetchReply(ParsedCommand& record, std::uint8_t item, std::uint32_t count,
                                 std::int32_t digits);

    // Parses a whole program message into records; returns the first parse failure (0 when
    // every unit parsed; the records are then those of the message). Uses the engine's one
    // header path: parser thread only, or while no message runs.
    static std::uint8_t ParseMessage(const std::string& text, std::vector<ParsedCommand>& records,
                                     std::string* response);
    // Decodes the engine's tokens into the record's slots; the status is left in the record.
    static void ParseParameters(ParsedCommand& record, const ScpiToken tokens[ScpiParameterSlots]);
    // Expands one channel-list entry (levels of from..to, counting up or down per level)
    // onto the back of list. Returns 0, or 248 when the list would grow past limit
    // addresses (the expansion then stops).
    static std::uint8_t ExpandChannelRange(std::vector<CKorvexChannel>& list,
                                           const std::uint8_t from[], const std::uint8_t to[],
                                           unsigned levels, const bool ascending[],
                                           std::size_t limit);
    // Posts the error row of a record status to block, deferred (nothing for 0 and 10).
    static void ReportParseStatus(std::uint8_t status, CKorvexScpiStatus* block);

protected:
    void ThreadMain() override;

private:
    struct QueuedMessage {
        std::string text;
        CKorvexHost* host;
    };

    // One program message, start to end (parser thread).
    void ProcessMessage(const std::string& text, CKorvexHost* host);
    // Returns whether the last executed record stopped the message (or the host is gone).
    bool ExecuteMessage(std::vector<ParsedCommand>& records, CKorvexHost& host);
    void DispatchSteps(ParsedCommand& record, CKorvexHost& host);
    // Posts an error row to the running message's host unless it is gone or the message was
    // abandoned.
    void PostToHost(CKorvexHost& host, std::uint32_t row);
    // Under the queue mutex, for the host of the running message: ends the message's wait
    // for results.
    void EndWaitOf(CKorvexHost* host, bool gone);

    std::uint8_t running = 0;
    std::atomic<bool> stopping{false};
    // Hold: asked for, and reached (under holdMutex).
    std::atomic<bool> holdAsked{false};
    std::mutex holdMutex;
    std::condition_variable holdReached;
    bool held = false;
    std::list<QueuedMessage> input;
    kernel::Mutex queueMutex;
    kernel::Semaphore messages;

    // The host of the running message (under the queue mutex) and its gone mark (written
    // under the host-use lock and the queue mutex). The parser thread holds the host-use
    // lock around its own calls into the host, so a release from another thread waits at
    // most for one such call, never for the message.
    CRecursiveMutex hostUse;
    CKorvexHost* currentHost = nullptr;
    std::atomic<bool> hostGone{false};
    // The running message was abandoned by a device clear of its host (under the queue mutex).
    std::atomic<bool> messageAbandoned{false};
    // Hosts handed over during the running message (under the queue mutex) and the actions
    // asked for by its commands (parser thread only).
    std::vector<CKorvexHost*> handedOver;
    std::vector<std::function<void()>> afterMessage;
    std::vector<std::function<void()>> afterNextMessage;
    // The reply of the running message and whether a query of it was announced (parser
    // thread only).
    std::string reply;
    bool queryAnnounced = false;
};

}  // namespace Korvex
