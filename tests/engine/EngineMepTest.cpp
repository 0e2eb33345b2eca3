// Message-exchange machine: one row per (state + flags, cause) with the expected state,
// flags and report or refusal, then the IEEE 488.2 exchanges end to end.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <sstream>
#include <string>

#include "engine/session/MessageExchange.h"
#include "engine/status/EngineStatus.h"

using Korvex::CMessageExchange;
using Record = CMessageExchange::Record;

namespace {

enum class Cause {
    SendOutput, QueryDetected, InputProcessed, ReportUnterminated, EndMessageDone,
    ReportBufferFull, NewInput, EndReceived, HostRead, ResponseSent, Trigger,
    UnterminatedPosted, InterruptedPosted, ResponseRequestedPosted, TriggerPosted,
    TriggerFinished, DeviceClearFinished, EnableRelaxed, DisableRelaxed, TakePendingTrigger,
};

void Apply(CMessageExchange& m, Cause cause, std::uint32_t* status)
{
    using F = void (CMessageExchange::*)(std::uint32_t*);
    static const std::map<Cause, F> handlers = {
        {Cause::SendOutput, &CMessageExchange::SendOutput},
        {Cause::QueryDetected, &CMessageExchange::QueryDetected},
        {Cause::InputProcessed, &CMessageExchange::InputProcessed},
        {Cause::ReportUnterminated, &CMessageExchange::ReportUnterminated},
        {Cause::EndMessageDone, &CMessageExchange::EndMessageDone},
        {Cause::ReportBufferFull, &CMessageExchange::ReportBufferFull},
        {Cause::NewInput, &CMessageExchange::NewInput},
        {Cause::EndReceived, &CMessageExchange::EndReceived},
        {Cause::HostRead, &CMessageExchange::HostRead},
        {Cause::ResponseSent, &CMessageExchange::ResponseSent},
        {Cause::Trigger, &CMessageExchange::Trigger},
        {Cause::UnterminatedPosted, &CMessageExchange::UnterminatedPosted},
        {Cause::InterruptedPosted, &CMessageExchange::InterruptedPosted},
        {Cause::ResponseRequestedPosted, &CMessageExchange::ResponseRequestedPosted},
        {Cause::TriggerPosted, &CMessageExchange::TriggerPosted},
        {Cause::TriggerFinished, &CMessageExchange::TriggerFinished},
        {Cause::DeviceClearFinished, &CMessageExchange::DeviceClearFinished},
        {Cause::EnableRelaxed, &CMessageExchange::EnableRelaxedMode},
        {Cause::DisableRelaxed, &CMessageExchange::DisableRelaxedMode},
        {Cause::TakePendingTrigger, &CMessageExchange::TakePendingTrigger},
    };
    (m.*handlers.at(cause))(status);
}

// "messageAvailable endMessageActive pendingTriggers=2" -> record in the given state.
Record Make(std::uint32_t state, const std::string& flags)
{
    static const std::map<std::string, std::uint8_t Record::*> names = {
        {"messageAvailable", &Record::messageAvailable},
        {"messagePending", &Record::messagePending},
        {"readRequested", &Record::readRequested},
        {"endMessageActive", &Record::endMessageActive},
        {"endPending", &Record::endPending},
        {"responseRequested", &Record::responseRequested},
        {"queryDetected", &Record::queryDetected},
        {"responseQueued", &Record::responseQueued},
        {"responseSent", &Record::responseSent},
        {"deviceClearActive", &Record::deviceClearActive},
        {"triggerActive", &Record::triggerActive},
        {"triggerPosted", &Record::triggerPosted},
        {"interrupted", &Record::interrupted},
        {"unterminated", &Record::unterminated},
        {"unterminatedReported", &Record::unterminatedReported},
        {"relaxed", &Record::relaxed},
    };
    Record r;
    r.state = state;
    std::istringstream in(flags);
    std::string word;
    while (in >> word) {
        if (word.rfind("pendingTriggers=", 0) == 0) {
            r.pendingTriggers = static_cast<std::uint32_t>(std::stoul(word.substr(16)));
        } else {
            r.*names.at(word) = 1;
        }
    }
    return r;
}

constexpr unsigned None = 0, Unterminated = 1, Interrupted = 2, Requested = 4, Trig = 8;

unsigned ReportsDue(const CMessageExchange& m)
{
    return (m.UnterminatedDue() ? Unterminated : 0) | (m.InterruptedDue() ? Interrupted : 0) |
           (m.ResponseRequestedDue() ? Requested : 0) | (m.TriggerDue() ? Trig : 0);
}

struct Row {
    const char* name;
    std::uint32_t state;
    const char* flags;
    Cause cause;
    std::uint32_t expectedState;
    const char* expectedFlags;  // ignored for a refusal: the record must be unchanged
    std::uint32_t expectedStatus;
    unsigned reports;
};

constexpr std::uint32_t I = CMessageExchange::Idle, R = CMessageExchange::Read,
                        Q = CMessageExchange::Query, S = CMessageExchange::Send,
                        P = CMessageExchange::Response, D = CMessageExchange::Done,
                        L = CMessageExchange::Deadlock;

const Row kRows[] = {
    {"new input in Idle", I, "", Cause::NewInput, R, "messageAvailable", 0, None},
    {"read with nothing raises UNTERMINATED", I, "", Cause::HostRead, I,
     "readRequested unterminated", 0, Unterminated},
    {"relaxed read with nothing requests a response", I, "relaxed", Cause::HostRead, I,
     "relaxed readRequested responseRequested", 0, Requested},
    {"read while busy is no UNTERMINATED", R, "messageAvailable endMessageActive",
     Cause::HostRead, R, "messageAvailable endMessageActive readRequested", 0, None},
    {"END while not busy", R, "messageAvailable", Cause::EndReceived, R,
     "messageAvailable endMessageActive", 0, None},
    {"END while busy is kept pending", R, "messageAvailable endMessageActive",
     Cause::EndReceived, R, "messageAvailable endMessageActive endPending", 0, None},
    {"query detected in Read", R, "messageAvailable endMessageActive", Cause::QueryDetected,
     Q, "messageAvailable endMessageActive queryDetected", 0, None},
    {"query detected after the read", R, "messageAvailable endMessageActive readRequested",
     Cause::QueryDetected, S,
     "messageAvailable endMessageActive readRequested queryDetected", 0, None},
    {"input processed in Read", R, "messageAvailable endMessageActive",
     Cause::InputProcessed, I, "", 0, None},
    {"input processed with the read waiting", R,
     "messageAvailable endMessageActive readRequested", Cause::InputProcessed, R,
     "readRequested unterminated", 0, Unterminated},
    {"output without a query", R, "messageAvailable endMessageActive", Cause::SendOutput, R,
     "", ZODEVICE_STATUS_QUERY_NOT_DETECTED, None},
    {"output in Query", Q, "messageAvailable endMessageActive queryDetected",
     Cause::SendOutput, Q, "messageAvailable endMessageActive responseQueued", 0, None},
    {"input processed with the response queued", Q,
     "messageAvailable endMessageActive responseQueued", Cause::InputProcessed, P,
     "responseQueued", 0, None},
    {"input processed in Query with a trigger pending", Q,
     "messageAvailable endMessageActive responseQueued pendingTriggers=1",
     Cause::InputProcessed, R, "triggerActive interrupted", 0, Interrupted | Trig},
    {"read in Query", Q, "messageAvailable endMessageActive queryDetected", Cause::HostRead,
     S, "messageAvailable endMessageActive queryDetected readRequested", 0, None},
    {"read in Query with a message pending", Q,
     "messageAvailable endMessageActive queryDetected messagePending", Cause::HostRead, R,
     "messageAvailable endMessageActive queryDetected messagePending readRequested "
     "interrupted",
     0, Interrupted},
    {"output in Send", S, "messageAvailable endMessageActive readRequested queryDetected",
     Cause::SendOutput, S, "messageAvailable endMessageActive readRequested responseQueued",
     0, None},
    {"response sent in Send", S, "messageAvailable endMessageActive responseQueued",
     Cause::ResponseSent, S, "messageAvailable endMessageActive responseSent", 0, None},
    {"input processed after the response went out", S,
     "messageAvailable endMessageActive readRequested responseSent", Cause::InputProcessed,
     D, "readRequested responseSent", 0, None},
    {"input processed before the response went out", S,
     "messageAvailable endMessageActive responseQueued", Cause::InputProcessed, P,
     "responseQueued", 0, None},
    {"new message in Send with work pending interrupts", S,
     "messageAvailable endMessageActive readRequested queryDetected responseQueued",
     Cause::NewInput, R, "messageAvailable endMessageActive messagePending interrupted", 0,
     Interrupted},
    {"response sent in Response", P, "responseQueued", Cause::ResponseSent, D,
     "responseSent", 0, None},
    {"new message in Response interrupts", P, "responseQueued", Cause::NewInput, R,
     "messageAvailable interrupted", 0, Interrupted},
    {"trigger in Response interrupts", P, "responseQueued", Cause::Trigger, R,
     "triggerActive interrupted", 0, Interrupted | Trig},
    {"read in Response with nothing queued", P, "", Cause::HostRead, P,
     "readRequested responseRequested", 0, Requested},
    {"new message in Done", D, "responseSent", Cause::NewInput, R,
     "messageAvailable responseSent", 0, None},
    {"relaxed output in Done", D, "relaxed readRequested", Cause::SendOutput, P, "relaxed",
     0, None},
    {"buffer full in Query deadlocks", Q, "messageAvailable endMessageActive queryDetected",
     Cause::ReportBufferFull, L, "messageAvailable endMessageActive", 0, None},
    {"buffer full for a triggered query is no deadlock", Q,
     "triggerActive triggerPosted queryDetected", Cause::ReportBufferFull, Q,
     "triggerActive triggerPosted queryDetected", 0, None},
    {"output in Deadlock", L, "messageAvailable endMessageActive", Cause::SendOutput, L, "",
     ZODEVICE_STATUS_DEADLOCKED, None},
    {"query in Deadlock", L, "messageAvailable endMessageActive", Cause::QueryDetected, L, "",
     ZODEVICE_STATUS_DEADLOCKED, None},
    {"input processed in Deadlock", L, "messageAvailable endMessageActive",
     Cause::InputProcessed, D, "", 0, None},
    {"output during a clear", I, "deviceClearActive", Cause::SendOutput, I, "",
     ZODEVICE_STATUS_DEVICE_CLEAR_ACTIVE, None},
    {"clear wins over deadlock", L, "deviceClearActive", Cause::SendOutput, L, "",
     ZODEVICE_STATUS_DEVICE_CLEAR_ACTIVE, None},
    {"query during a clear", I, "deviceClearActive", Cause::QueryDetected, I, "",
     ZODEVICE_STATUS_DEVICE_CLEAR_ACTIVE, None},
    {"input processed during a clear", I, "deviceClearActive", Cause::InputProcessed, I,
     "deviceClearActive", 0, None},
    {"clear finished", I, "deviceClearActive", Cause::DeviceClearFinished, I, "", 0, None},
    {"report unterminated without UNTERMINATED", I, "", Cause::ReportUnterminated, I, "",
     ZODEVICE_STATUS_MSG_NOT_UNTERMINATED, None},
    {"report unterminated", I, "readRequested unterminated unterminatedReported",
     Cause::ReportUnterminated, D, "readRequested unterminatedReported", 0, None},
    {"end handled without END", R, "messageAvailable", Cause::EndMessageDone, R, "",
     ZODEVICE_STATUS_END_MSG_NOT_RECEIVED, None},
    {"end handled", R, "messageAvailable endMessageActive", Cause::EndMessageDone, R,
     "messageAvailable", 0, None},
    {"trigger while idle starts", I, "", Cause::Trigger, R, "triggerActive", 0, Trig},
    {"trigger while busy is counted", R, "messageAvailable endMessageActive", Cause::Trigger,
     R, "messageAvailable endMessageActive pendingTriggers=1", 0, None},
    {"trigger during UNTERMINATED is counted", I, "unterminated", Cause::Trigger, I,
     "unterminated pendingTriggers=1", 0, Unterminated},
    {"counted trigger starts on input processed", R,
     "messageAvailable endMessageActive pendingTriggers=1", Cause::InputProcessed, R,
     "triggerActive", 0, Trig},
    {"counted trigger taken by the device never starts", R,
     "messageAvailable endMessageActive pendingTriggers=1", Cause::TakePendingTrigger, R,
     "messageAvailable endMessageActive", 0, None},
    {"no counted trigger to take", R, "messageAvailable endMessageActive",
     Cause::TakePendingTrigger, R, "", ZODEVICE_STATUS_MEP_ERROR, None},
    {"trigger posted", R, "triggerActive", Cause::TriggerPosted, R,
     "triggerActive triggerPosted", 0, None},
    {"trigger finished", R, "triggerActive triggerPosted", Cause::TriggerFinished, R,
     "triggerPosted", 0, None},
    {"tail: message before END, trigger waits", R,
     "messageAvailable endMessageActive messagePending endPending pendingTriggers=1",
     Cause::InputProcessed, R, "messageAvailable endMessageActive pendingTriggers=1", 0,
     None},
    {"UNTERMINATED posted", I, "readRequested unterminated", Cause::UnterminatedPosted, I,
     "readRequested unterminated unterminatedReported", 0, None},
    {"interrupted posted", R, "messageAvailable interrupted", Cause::InterruptedPosted, R,
     "messageAvailable", 0, None},
    {"response requested posted", P, "readRequested responseRequested",
     Cause::ResponseRequestedPosted, P, "readRequested queryDetected", 0, None},
    {"relaxed twice", I, "relaxed", Cause::EnableRelaxed, I, "",
     ZODEVICE_STATUS_RELAXED_MODE_ALREADY_ENABLED, None},
    {"strict twice", I, "", Cause::DisableRelaxed, I, "",
     ZODEVICE_STATUS_RELAXED_MODE_ALREADY_DISABLED, None},
};

TEST(engine_mep, TransitionTable)
{
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        CMessageExchange m;
        const Record before = Make(row.state, row.flags);
        m.SetRecord(before);
        std::uint32_t status = 0;
        Apply(m, row.cause, &status);
        EXPECT_EQ(status, row.expectedStatus);
        if (row.expectedStatus != 0) {
            EXPECT_TRUE(m.GetRecord() == before);
        } else {
            EXPECT_TRUE(m.GetRecord() == Make(row.expectedState, row.expectedFlags))
                << "state " << m.GetRecord().state;
        }
        EXPECT_EQ(ReportsDue(m), row.reports);
    }
}

TEST(engine_mep, FailedStatusChangesNothing)
{
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        CMessageExchange m;
        const Record before = Make(row.state, row.flags);
        m.SetRecord(before);
        std::uint32_t status = 5;
        Apply(m, row.cause, &status);
        EXPECT_EQ(status, 5u);
        EXPECT_TRUE(m.GetRecord() == before);
    }
}

struct Driver {
    CMessageExchange m;
    void Do(Cause cause, std::uint32_t expectedStatus = 0)
    {
        std::uint32_t status = 0;
        Apply(m, cause, &status);
        EXPECT_EQ(status, expectedStatus);
    }
    std::uint32_t State() const { return m.GetState(); }
    void Message()
    {
        Do(Cause::NewInput);
        Do(Cause::EndReceived);
    }
};

TEST(engine_mep, AnswerAfterTheRead)
{
    Driver d;
    d.Message();
    EXPECT_EQ(d.State(), R);
    d.Do(Cause::HostRead);
    EXPECT_EQ(d.State(), R);
    EXPECT_FALSE(d.m.UnterminatedDue());
    d.Do(Cause::QueryDetected);
    EXPECT_EQ(d.State(), S);
    d.Do(Cause::SendOutput);
    d.Do(Cause::ResponseSent);
    EXPECT_EQ(d.State(), S);
    d.Do(Cause::InputProcessed);
    EXPECT_EQ(d.State(), D);
    EXPECT_EQ(ReportsDue(d.m), None);
}

TEST(engine_mep, AnswerBeforeTheRead)
{
    Driver d;
    d.Message();
    d.Do(Cause::QueryDetected);
    EXPECT_EQ(d.State(), Q);
    d.Do(Cause::SendOutput);
    d.Do(Cause::InputProcessed);
    EXPECT_EQ(d.State(), P);
    d.Do(Cause::ResponseSent);
    EXPECT_EQ(d.State(), D);
    // The next message starts over from Done.
    d.Message();
    EXPECT_EQ(d.State(), R);
}

TEST(engine_mep, ReadWithNothingReportsUnterminatedOnce)
{
    Driver d;
    d.Do(Cause::HostRead);
    EXPECT_TRUE(d.m.UnterminatedDue());
    d.Do(Cause::UnterminatedPosted);
    EXPECT_FALSE(d.m.UnterminatedDue());
    d.Do(Cause::HostRead);
    EXPECT_FALSE(d.m.UnterminatedDue());
    // While UNTERMINATED stands a new message waits.
    d.Do(Cause::NewInput);
    EXPECT_EQ(d.State(), R);
    d.Do(Cause::ReportUnterminated);
    EXPECT_EQ(d.State(), D);
    d.Do(Cause::ReportUnterminated, ZODEVICE_STATUS_MSG_NOT_UNTERMINATED);
    // After the report a new exchange can raise it again.
    d.Message();
    d.Do(Cause::InputProcessed);
    EXPECT_EQ(d.State(), I);
    d.Do(Cause::HostRead);
    EXPECT_TRUE(d.m.UnterminatedDue());
}

TEST(engine_mep, RelaxedReadWithNothing)
{
    Driver d;
    d.Do(Cause::EnableRelaxed);
    d.Do(Cause::HostRead);
    EXPECT_FALSE(d.m.UnterminatedDue());
    EXPECT_TRUE(d.m.ResponseRequestedDue());
    d.Do(Cause::ResponseRequestedPosted);
    d.Do(Cause::SendOutput);
    EXPECT_EQ(d.State(), P);
    d.Do(Cause::ResponseSent);
    EXPECT_EQ(d.State(), D);
}

TEST(engine_mep, NewMessageInterruptsPendingResponse)
{
    Driver d;
    d.Message();
    d.Do(Cause::QueryDetected);
    d.Do(Cause::SendOutput);
    d.Do(Cause::InputProcessed);
    ASSERT_EQ(d.State(), P);
    d.Do(Cause::NewInput);
    EXPECT_EQ(d.State(), R);
    EXPECT_TRUE(d.m.InterruptedDue());
    EXPECT_FALSE(d.m.GetRecord().responseQueued);
    d.Do(Cause::InterruptedPosted);
    EXPECT_FALSE(d.m.InterruptedDue());
    d.Do(Cause::EndReceived);
    d.Do(Cause::InputProcessed);
    EXPECT_EQ(d.State(), I);
}

TEST(engine_mep, QueryWithFullBufferDeadlocks)
{
    Driver d;
    d.Message();
    d.Do(Cause::QueryDetected);
    d.Do(Cause::ReportBufferFull);
    EXPECT_EQ(d.State(), L);
    d.Do(Cause::SendOutput, ZODEVICE_STATUS_DEADLOCKED);
    d.Do(Cause::InputProcessed);
    EXPECT_EQ(d.State(), D);
    d.Do(Cause::SendOutput, ZODEVICE_STATUS_QUERY_NOT_DETECTED);
}

TEST(engine_mep, TriggerWhileBusyRunsAfterInputProcessed)
{
    Driver d;
    d.Message();
    d.Do(Cause::Trigger);
    d.Do(Cause::Trigger);
    EXPECT_EQ(d.m.GetRecord().pendingTriggers, 2u);
    EXPECT_FALSE(d.m.TriggerDue());
    d.Do(Cause::InputProcessed);
    EXPECT_TRUE(d.m.TriggerDue());
    EXPECT_EQ(d.m.GetRecord().pendingTriggers, 1u);
    d.Do(Cause::TriggerPosted);
    EXPECT_FALSE(d.m.TriggerDue());
    // The trigger's own InputProcessed starts the next one.
    d.Do(Cause::InputProcessed);
    EXPECT_TRUE(d.m.TriggerDue());
    EXPECT_EQ(d.m.GetRecord().pendingTriggers, 0u);
}

TEST(engine_mep, DeviceClearKeepsRelaxed)
{
    Driver d;
    d.Do(Cause::EnableRelaxed);
    d.Message();
    d.Do(Cause::Trigger);
    d.m.ResetForDeviceClear();
    Record expected = Make(I, "relaxed deviceClearActive");
    EXPECT_TRUE(d.m.GetRecord() == expected);
    d.Do(Cause::SendOutput, ZODEVICE_STATUS_DEVICE_CLEAR_ACTIVE);
    d.Do(Cause::NewInput);  // a message during the clear is taken but nothing is interrupted
    d.Do(Cause::DeviceClearFinished);
    EXPECT_FALSE(d.m.GetRecord().deviceClearActive);
    d.m.Reset();
    EXPECT_TRUE(d.m.GetRecord() == Make(I, "relaxed"));
}

} // namespace
