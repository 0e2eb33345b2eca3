// Device sessions and the session table, driven through the fake transport.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FakeTransport.h"
#include "engine/session/DeviceSession.h"
#include "engine/session/DeviceSessionTable.h"
#include "engine/status/EngineStatus.h"

using namespace Korvex;

namespace {

std::uint32_t NoHandler(std::uint32_t, std::uint32_t, void*, void*)
{
    return 0;
}

TEST(engine_session, TableGrowsLooksUpAndReusesSlots)
{
    // The transports outlive the table, which destroys its sessions.
    std::vector<FakeTransport> transports(17);
    FakeTransport another;
    CDeviceSessionTable table;
    ASSERT_FALSE(table.Failed());
    std::uint32_t status = 1;
    std::uint32_t handle = 0;
    for (std::uint32_t i = 0; i < 17; ++i) {
        handle = table.Open(&transports[i], &status);
        ASSERT_EQ(status, 0u);
        EXPECT_EQ(handle, 0xBA5700u + i);
    }
    EXPECT_EQ(handle, 0xBA5710u);
    EXPECT_EQ(table.SlotCount(), 32u);
    table.Lookup(0xBA5700 + 40, &status);
    EXPECT_EQ(status, ENGINE_STATUS_SESSION_NOT_FOUND);
    table.Lookup(0x1234, &status);
    EXPECT_EQ(status, ENGINE_STATUS_SESSION_NOT_FOUND);
    table.Remove(0xBA5703, &status);
    EXPECT_EQ(status, 0u);
    table.Lookup(0xBA5703, &status);
    EXPECT_EQ(status, ENGINE_STATUS_SESSION_NOT_FOUND);
    EXPECT_EQ(table.Open(&another, &status), 0xBA5703u);
    // A second session on a bound interface is refused.
    EXPECT_EQ(table.Open(&another, &status), CDeviceSessionTable::kNoHandle);
    EXPECT_EQ(status, ZODEVICE_STATUS_DEVICE_ALREADY_EXISTS);
    EXPECT_EQ(another.GetSession(), table.Lookup(0xBA5703, &status));
}

TEST(engine_session, OperationCodes)
{
    std::uint32_t status = 1;
    CDeviceSession orphan(nullptr, &status);
    ASSERT_EQ(status, 0u);
    orphan.InputProcessed(&status);
    EXPECT_EQ(status, 0x54300u);

    FakeTransport transport;
    CDeviceSession session(&transport, &status);
    ASSERT_EQ(status, 0u);
    session.InputProcessed(&status);
    EXPECT_EQ(status, 0x54303u);
    EXPECT_EQ(publish(status), ZODEVICE_STATUS_DEVICE_NOT_ENABLED);
    // Handlers can be installed before the interface is open.
    session.SetEventHandler(0, NoHandler, nullptr, &status);
    EXPECT_EQ(status, 0u);
    session.SetEventHandler(0, NoHandler, nullptr, &status);
    EXPECT_EQ(status, ZODEVICE_STATUS_EVENT_ALREADY_ENABLED);
    session.Open(nullptr, &status);
    ASSERT_EQ(status, 0u);
    session.Open(nullptr, &status);
    EXPECT_EQ(status, 0x54304u);
    session.DisableInputQueue(&status);
    EXPECT_EQ(status, 0x54321u);
    session.CancelResponse(&status);
    EXPECT_EQ(status, 0x54322u);
    session.ReportUnterminated(&status);
    EXPECT_EQ(status, ZODEVICE_STATUS_MSG_NOT_UNTERMINATED);
    session.EnableRelaxedMode(&status);
    session.EnableRelaxedMode(&status);
    EXPECT_EQ(status, ZODEVICE_STATUS_RELAXED_MODE_ALREADY_ENABLED);
    alignas(4) std::uint8_t buffer[8] = {};
    session.SetInputBuffer(buffer, sizeof buffer, &status);
    EXPECT_EQ(status, 0u);
    session.SetInputBuffer(buffer, sizeof buffer, &status);
    EXPECT_EQ(status, ZODEVICE_STATUS_INPUT_QUEUE_ALREADY_ENABLED);
    EXPECT_FALSE(transport.Held());
}

// Takes the next record from the session's queue (polling).
bool TakeEvent(CDeviceSession& session, EventRecord* record)
{
    std::uint32_t status = 0;
    session.GetQueue()->Wait(false, &status);
    if (status != 0) {
        return false;
    }
    session.GetQueue()->Take(record, &status);
    return status == 0;
}

TEST(engine_session, WriteArrivesInChunksOfThePostedBuffer)
{
    FakeTransport transport;
    std::uint32_t status = 1;
    CDeviceSession session(&transport, &status);
    session.SetEventHandler(0, NoHandler, nullptr, &status);
    session.Open(nullptr, &status);
    ASSERT_EQ(status, 0u);
    alignas(4) std::uint8_t buffer[4] = {};
    session.SetInputBuffer(buffer, 4, &status);
    ASSERT_EQ(status, 0u);

    std::vector<std::pair<std::uint32_t, std::string>> received;
    std::thread host([&] { EXPECT_TRUE(transport.HostWrite("0123456789", true)); });
    while (received.size() < 3) {
        EventRecord record{};
        if (!TakeEvent(session, &record)) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(record.descriptor, buffer);
        received.emplace_back(record.code,
                              std::string(reinterpret_cast<char*>(buffer), record.argument));
        session.SetInputBuffer(buffer, 4, &status);
        ASSERT_EQ(status, 0u);
    }
    host.join();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0], std::make_pair(1u, std::string("0123")));
    EXPECT_EQ(received[1], std::make_pair(1u, std::string("4567")));
    EXPECT_EQ(received[2], std::make_pair(0u, std::string("89")));
    EXPECT_FALSE(transport.Held());
    EXPECT_EQ(transport.Violations(), 0u);
}

} // namespace
