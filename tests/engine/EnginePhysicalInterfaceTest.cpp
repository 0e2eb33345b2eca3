// The physical interface base with a session: entry points without a session, the
// remote/local and serial-poll entry points, completion reports, and the effects of
// device events 48, 49, 52 and 53.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <string>
#include <vector>

#include "FakeTransport.h"
#include "engine/session/DeviceSession.h"
#include "engine/session/MessageDescriptor.h"
#include "engine/status/EngineStatus.h"

using namespace Korvex;

namespace {

struct Seen {
    std::vector<std::uint32_t> codes;
    std::vector<std::uint32_t> arguments;
};

std::uint32_t Collect(std::uint32_t code, std::uint32_t argument, void* context, void*)
{
    auto* seen = static_cast<Seen*>(context);
    seen->codes.push_back(code);
    seen->arguments.push_back(argument);
    return 0;
}

// A session over a fake with every event slot collecting, opened.
struct Bench {
    FakeTransport transport;
    std::uint32_t status = 1;
    CDeviceSession session{&transport, &status};
    Seen seen;
    alignas(4) std::uint8_t input[64] = {};

    Bench()
    {
        for (std::uint32_t index = 0; index < 8; ++index) {
            session.SetEventHandler(index, &Collect, &seen, &status);
        }
        session.Open(&status, &status);
    }

    // Takes every queued record (as the observer does, without running handlers).
    std::vector<std::uint32_t> Drain()
    {
        std::vector<std::uint32_t> codes;
        EventRecord record{};
        for (;;) {
            std::uint32_t s = 0;
            session.GetEvent(false, &record, &s);
            if (s != 0) {
                return codes;
            }
            codes.push_back(record.code);
        }
    }
};

TEST(engine_physical_interface, EntryPointsWithoutASessionDoNothing)
{
    FakeTransport transport;
    transport.StartInput();
    transport.OnInputReceived(4, 1);
    transport.StartOutput();
    transport.OnOutputSent(4);
    transport.DeviceClear();
    transport.Trigger();
    transport.ReportRemoteLocalState(2);
    transport.BeginSerialPoll();
    transport.EndSerialPoll();
    transport.NotifyDeviceEvent(49);
    transport.NotifyDeviceEventOutside(52);
    EXPECT_EQ(transport.Closes(), 0u);
    EXPECT_EQ(transport.SrqAssertions(), 0u);
}

TEST(engine_physical_interface, BindingASecondSessionIsRefused)
{
    FakeTransport transport;
    std::uint32_t status = 1;
    CDeviceSession first(&transport, &status);
    ASSERT_EQ(status, 0u);
    CDeviceSession second(&transport, &status);
    EXPECT_EQ(status, 0x54311u);
    EXPECT_EQ(transport.GetSession(), &first);
}

TEST(engine_physical_interface, RemoteLocalValuesBecomeCodes)
{
    Bench b;
    ASSERT_EQ(b.status, 0u);
    std::vector<std::uint32_t> codes;
    for (std::uint32_t value : {1u, 2u, 3u, 4u, 5u, 0u}) {
        b.transport.HostRemoteLocal(value);
        for (std::uint32_t code : b.Drain()) {
            codes.push_back(code);
        }
    }
    EXPECT_EQ(codes, (std::vector<std::uint32_t>{40, 41, 42, 43, 127, 127}));
}

TEST(engine_physical_interface, FailingSerialPollEventIsDeviceEvent53)
{
    Bench b;
    std::uint32_t status = 0;
    b.session.RequestService(&status);
    ASSERT_EQ(status, 0u);
    b.Drain();
    b.transport.failSrqReports = true;   // ReleaseSrq at the poll's start fails
    b.transport.HostSerialPoll(50);
    const auto codes = b.Drain();
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes.front(), 53u);
    EXPECT_FALSE(b.transport.IsActive());
}

TEST(engine_physical_interface, CompletedTransfersReportCompletion)
{
    Bench b;
    std::uint32_t status = 0;
    b.session.SetInputBuffer(b.input, 8, &status);
    ASSERT_EQ(status, 0u);
    // A chunk that fills the buffer exactly completes it: buffer full (1), no failure.
    ASSERT_TRUE(b.transport.HostWrite("12345678", false));
    // A chunk that ends the message completes it with END (0).
    b.session.SetInputBuffer(b.input, 8, &status);
    ASSERT_TRUE(b.transport.HostWrite("AB?", true));
    b.session.QueryDetected(&status);
    alignas(4) static const std::uint8_t answer[4] = {'x', 'y', 'z', '\n'};
    b.session.SendOutput(answer, 4, 1, &status);
    ASSERT_EQ(status, 0u);
    std::uint32_t reason = 0;
    EXPECT_EQ(b.transport.HostRead(4, &reason), "xyz\n");
    EXPECT_NE(reason & FakeTransport::kReasonEnd, 0u);
    const auto codes = b.Drain();
    EXPECT_EQ(codes, (std::vector<std::uint32_t>{1, 0, 8}));
    EXPECT_EQ(b.seen.codes.size(), 0u);
}

TEST(engine_physical_interface, DeviceEventEffects)
{
    struct Row {
        std::uint32_t code;
        bool closed;
        bool forgotten;
    };
    for (const Row& row : {Row{48, false, true}, Row{49, true, false}, Row{52, true, true},
                           Row{53, true, false}}) {
        Bench b;
        std::uint32_t status = 0;
        b.session.SetInputBuffer(b.input, 8, &status);
        ASSERT_EQ(status, 0u);
        b.transport.HostDeviceEvent(row.code);
        EXPECT_EQ(b.transport.Closes() == 1, row.closed) << row.code;
        EXPECT_EQ(b.session.GetInterface() == nullptr, row.forgotten) << row.code;
        EXPECT_FALSE(b.session.InputPosted()) << row.code;
        EXPECT_EQ(b.Drain(), (std::vector<std::uint32_t>{row.code})) << row.code;
        // Operations afterwards: no interface (0x54300) or closed (0x54303).
        b.session.InputProcessed(&status);
        EXPECT_EQ(status, row.forgotten ? 0x54300u : 0x54303u) << row.code;
    }
}

TEST(engine_physical_interface, DeviceEventFromAManagerThreadHoldsTheTransport)
{
    Bench b;
    std::uint32_t status = 0;
    b.session.SetInputBuffer(b.input, 8, &status);
    b.transport.ManagerDeviceEvent(53);
    EXPECT_EQ(b.transport.Closes(), 1u);
    EXPECT_FALSE(b.transport.Held());
    EXPECT_EQ(b.transport.Violations(), 0u);
    EXPECT_EQ(b.Drain(), (std::vector<std::uint32_t>{53}));
}

TEST(engine_physical_interface, StatusByteRequestOnlyWhenTheDeviceAnswers)
{
    Bench b;
    std::uint32_t status = 0;
    b.session.SetStatusByte(0x21, &status);
    ASSERT_EQ(status, 0u);
    // Slot 7 is installed by the bench: the poll waits for the device's byte.
    std::thread poll([&] { EXPECT_EQ(b.transport.HostSerialPoll(), 0x08); });
    for (int i = 0; i < 30000 && b.session.GetQueue()->Count() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(b.Drain(), (std::vector<std::uint32_t>{36}));
    b.session.SetStatusByte(0x48, &status);
    poll.join();
    // Without the handler the stored byte answers at once.
    b.session.ClearEventHandler(7, &status);
    EXPECT_EQ(b.transport.HostSerialPoll(), 0x08);
    EXPECT_TRUE(b.Drain().empty());
}

} // namespace
