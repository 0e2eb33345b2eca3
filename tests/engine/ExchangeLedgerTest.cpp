// The ledger of what an interface's message exchange owes whom: a departed link's message,
// the hand-off of its end, GETs handed to the running procedure, and a trigger that meets a
// FETC? of another interface; then the session acting on it (fake transport).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "FakeTransport.h"
#include "engine/session/DeviceSession.h"
#include "engine/session/ExchangeLedger.h"
#include "engine/status/EngineStatus.h"

using namespace Korvex;

namespace {

using Ending = CExchangeLedger::Ending;
constexpr std::uint32_t kZ = 3, kX = 5, kY = 7;

TEST(ExchangeLedger, WhatADepartedLinksMessageTakes)
{
    struct Row {
        bool partial, read, answering;
        Ending ending;
    };
    const Row rows[] = {
        {false, false, false, Ending::kNothing},  // not begun, or no query so far: runs on
        {true, false, false, Ending::kClear},     // half a message never completes
        {false, true, false, Ending::kClear},     // read for
        {false, false, true, Ending::kClear},     // being answered
    };
    for (const Row& row : rows) {
        CExchangeLedger ledger;
        ledger.Written(kZ, !row.partial);
        if (row.read) ledger.ReadFor(kZ);
        EXPECT_FALSE(ledger.Depart(kX));
        ASSERT_TRUE(ledger.Depart(kZ));
        EXPECT_TRUE(ledger.ReplyOwedToNobody());
        EXPECT_EQ(ledger.TakeEnd(kZ), 0u);  // not by the departed link itself
        EXPECT_EQ(ledger.TakeEnd(kX), kZ);
        EXPECT_EQ(ledger.TakeEnd(kY), 0u);  // taken once
        EXPECT_EQ(ledger.EndOwed(kZ, row.answering), row.ending);
        EXPECT_EQ(ledger.EndOwed(kY, true), Ending::kNothing);
        ledger.Written(kY, true);  // the next message is owed to its writer
        EXPECT_FALSE(ledger.ReplyOwedToNobody());
    }
}

TEST(ExchangeLedger, TheEndOfADepartedMessageIsMadeOnce)
{
    CExchangeLedger ledger;
    EXPECT_FALSE(ledger.Depart(kZ));  // nothing of Z's in the exchange
    ledger.Written(kZ, true);
    ledger.Depart(kZ);                 // its client gone: before its drop begins
    EXPECT_EQ(ledger.TakeEnd(kX), kZ);
    ASSERT_TRUE(ledger.Depart(kZ));    // the drop
    EXPECT_EQ(ledger.TakeEnd(kX), kZ);
    EXPECT_FALSE(ledger.DropTakesEnd(kZ));  // X took it on
    ASSERT_TRUE(ledger.Depart(kZ));
    EXPECT_TRUE(ledger.DropTakesEnd(kZ));
    EXPECT_EQ(ledger.TakeEnd(kX), 0u);
    ledger.Cleared();
    EXPECT_FALSE(ledger.Owns(kZ));
    EXPECT_FALSE(ledger.ReplyOwedToNobody());
}

TEST(ExchangeLedger, HandedGetsAreTakenInQueueOrder)
{
    CExchangeLedger ledger;
    ledger.Hand(kX);
    ledger.Hand(kY);
    EXPECT_EQ(ledger.TakeHanded({{kZ, false}, {kX, false}}), 0u);  // overtakes no operation
    EXPECT_EQ(ledger.TakeHanded({{kZ, true}, {kX, false}, {kY, false}}), kX);  // but drops
    EXPECT_EQ(ledger.TakeHanded({{kX, false}, {kY, false}}), kY);  // and delivered GETs
    EXPECT_EQ(ledger.TakeHanded({{kX, false}, {kY, false}}), 0u);
    int ended = 0;
    EXPECT_TRUE(ledger.EndTaken(kX, [&] { ++ended; }));
    EXPECT_FALSE(ledger.TakeBack(kX));  // delivered
    EXPECT_FALSE(ledger.EndTaken(kX, [&] { ++ended; }));  // its next operation is not ended
    EXPECT_EQ(ended, 1);
    ledger.Hand(kZ);
    EXPECT_TRUE(ledger.Handed(kZ));
    EXPECT_TRUE(ledger.TakeBack(kZ));  // not delivered: it goes on by itself
    EXPECT_FALSE(ledger.Handed(kZ));
}

// The session: a message waits for the device, not begun, behind another interface's FETC?
// waiting for bus triggers; a trigger comes behind it, and that FETC? ends just before or just
// after (a clear: the measurement stays armed), or was answered first. Caught behind the FETC?,
// the trigger is handed to the device exactly once and never enters the exchange, and the
// query is answered; otherwise it keeps its place behind the message.
TEST(ExchangeLedger, ATriggerCaughtBehindAFetchElsewhereCountsOnceInEitherOrder)
{
    enum Order { kTriggerFirst, kClearFirst, kAnsweredFirst, kNoFetch };
    for (const Order order : {kTriggerFirst, kClearFirst, kAnsweredFirst, kNoFetch}) {
        SCOPED_TRACE(order);
        FakeTransport transport;
        std::uint32_t status = 1;
        CDeviceSession session(&transport, &status);
        ASSERT_EQ(status, 0u);
        for (const std::uint32_t slot : {0u, 1u, 3u}) {
            session.SetEventHandler(slot, [](std::uint32_t, std::uint32_t, void*, void*) { return 0u; },
                                    nullptr, &status);
        }
        session.Open(nullptr, &status);
        alignas(4) std::uint8_t buffer[32] = {};
        session.SetInputBuffer(buffer, sizeof buffer, &status);
        ASSERT_TRUE(transport.HostWrite("Q?", true));
        if (order != kNoFetch) session.SetFetchElsewhere(true, false, &status);
        if (order == kClearFirst || order == kAnsweredFirst) {
            session.SetFetchElsewhere(false, order == kClearFirst, &status);
        }
        transport.HostTrigger();
        if (order == kTriggerFirst) session.SetFetchElsewhere(false, true, &status);
        const bool counts = order == kTriggerFirst || order == kClearFirst;
        std::uint32_t taken = 0;
        session.TakePendingTrigger(&taken);
        session.TakePendingTrigger(&status);
        EXPECT_EQ(status, ZODEVICE_STATUS_MEP_ERROR);  // at most once
        EXPECT_EQ(taken == 0, counts);
        EXPECT_EQ(session.GetExchange().GetRecord().pendingTriggers, counts ? 0u : 1u);
        status = 0;
        session.QueryDetected(&status);
        ASSERT_EQ(status, 0u);
        session.InputProcessed(&status);
        EXPECT_EQ(session.GetExchange().GetRecord().interrupted != 0 ||
                      session.GetExchange().GetState() == CMessageExchange::Read,
                  !counts);
    }
}

// A departed link's message: its query is refused to the device, and its interruption is
// handed back without a report.
TEST(ExchangeLedger, TheSessionAnswersADepartedLinksMessageToNobody)
{
    FakeTransport transport;
    std::uint32_t status = 1;
    CDeviceSession session(&transport, &status);
    session.SetEventHandler(1, [](std::uint32_t, std::uint32_t, void*, void*) { return 0u; }, nullptr, &status);
    session.Open(nullptr, &status);
    alignas(4) std::uint8_t buffer[32] = {};
    session.SetInputBuffer(buffer, sizeof buffer, &status);
    ASSERT_TRUE(transport.HostWrite("Q?", true));
    transport.GetLedger().Written(kZ, true);
    transport.GetLedger().Depart(kZ);
    status = 0;
    session.QueryDetected(&status);
    EXPECT_EQ(status, ZODEVICE_STATUS_MEP_ERROR);
    EXPECT_EQ(session.GetExchange().GetState(), CMessageExchange::Read);
    status = 0;
    session.InputProcessed(&status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(session.GetExchange().GetRecord().interrupted, 0);
}

} // namespace
