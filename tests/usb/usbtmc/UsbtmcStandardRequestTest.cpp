// Chapter-9 requests in every device state, and what a bus reset or a deconfiguration leaves
// of the previous host session's traffic.
#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "UsbtmcFixture.h"
#include "engine/device/UsbDeviceSettings.h"
#include "usb/device/UsbDeviceManager.h"
#include "usb/transport/UsbPhysicalInterfaceManager.h"

namespace usbtmctest {
namespace {

enum class State { Default, Address, Configured };

const char* Name(State state)
{
    return state == State::Default ? "Default" : state == State::Address ? "Address" : "Configured";
}

struct RequestCase {
    sim::UsbHost::Setup setup;
    // The answer in the Default, Address and Configured states.
    Result expected[3];
};

constexpr Result Ok = Result::Ok;
constexpr Result Stall = Result::Stall;

// Valid requests and each of their fields made invalid in turn.
const RequestCase kRequests[] = {
    // GET_STATUS
    {{0x80, 0, 0, 0, 2}, {Ok, Ok, Ok}},
    {{0x81, 0, 0, 0, 2}, {Ok, Ok, Ok}},
    {{0x82, 0, 0, 0x00, 2}, {Ok, Ok, Ok}},
    {{0x82, 0, 0, 0x81, 2}, {Stall, Stall, Ok}},
    {{0x82, 0, 0, 0x05, 2}, {Stall, Stall, Stall}},
    {{0x80, 0, 1, 0, 2}, {Stall, Stall, Stall}},
    {{0x80, 0, 0, 0, 1}, {Stall, Stall, Stall}},
    {{0x83, 0, 0, 0, 2}, {Stall, Stall, Stall}},
    // CLEAR_FEATURE, SET_FEATURE
    {{0x02, 1, 0, 0x02, 0}, {Stall, Stall, Ok}},
    {{0x02, 1, 0, 0x81, 0}, {Stall, Stall, Ok}},
    {{0x02, 1, 0, 0x00, 0}, {Stall, Stall, Stall}},
    {{0x02, 1, 0, 0x07, 0}, {Stall, Stall, Stall}},
    {{0x02, 1, 1, 0x81, 0}, {Stall, Stall, Stall}},
    {{0x00, 1, 1, 0, 0}, {Stall, Stall, Stall}},
    {{0x02, 1, 0, 0x81, 2}, {Stall, Stall, Stall}},
    {{0x02, 3, 0, 0x81, 0}, {Stall, Stall, Ok}},
    {{0x02, 3, 0, 0x80, 0}, {Stall, Stall, Stall}},
    {{0x00, 3, 2, 0, 0}, {Stall, Stall, Stall}},
    // SET_ADDRESS (the host's own address)
    {{0x00, 5, 1, 0, 0}, {Ok, Ok, Ok}},
    {{0x00, 5, 128, 0, 0}, {Stall, Stall, Stall}},
    {{0x00, 5, 1, 1, 0}, {Stall, Stall, Stall}},
    {{0x00, 5, 1, 0, 1}, {Stall, Stall, Stall}},
    // GET_DESCRIPTOR
    {{0x80, 6, 0x0100, 0, 18}, {Ok, Ok, Ok}},
    {{0x80, 6, 0x0100, 0, 1}, {Ok, Ok, Ok}},
    {{0x80, 6, 0x0100, 0, 0}, {Ok, Ok, Ok}},
    {{0x80, 6, 0x0200, 0, 0xFFFF}, {Ok, Ok, Ok}},
    {{0x80, 6, 0x0300, 0, 255}, {Ok, Ok, Ok}},
    {{0x80, 6, 0x0301, 0x0409, 255}, {Ok, Ok, Ok}},
    {{0x80, 6, 0x030E, 0x0409, 255}, {Stall, Stall, Stall}},
    {{0x80, 6, 0x0201, 0, 9}, {Stall, Stall, Stall}},
    {{0x80, 6, 0x0101, 0, 18}, {Stall, Stall, Stall}},
    {{0x80, 6, 0x0100, 1, 18}, {Stall, Stall, Stall}},
    {{0x80, 6, 0x0600, 0, 10}, {Stall, Stall, Stall}},
    {{0x81, 6, 0x0100, 0, 18}, {Stall, Stall, Stall}},
    // GET_CONFIGURATION
    {{0x80, 8, 0, 0, 1}, {Ok, Ok, Ok}},
    {{0x80, 8, 1, 0, 1}, {Stall, Stall, Stall}},
    {{0x80, 8, 0, 1, 1}, {Stall, Stall, Stall}},
    {{0x80, 8, 0, 0, 2}, {Stall, Stall, Stall}},
    {{0x81, 8, 0, 0, 1}, {Stall, Stall, Stall}},
    // SET_CONFIGURATION
    {{0x00, 9, 1, 0, 0}, {Ok, Ok, Ok}},
    {{0x00, 9, 0, 0, 0}, {Ok, Ok, Ok}},
    {{0x00, 9, 2, 0, 0}, {Stall, Stall, Stall}},
    {{0x00, 9, 1, 1, 0}, {Stall, Stall, Stall}},
    {{0x00, 9, 1, 0, 1}, {Stall, Stall, Stall}},
    {{0x01, 9, 1, 0, 0}, {Stall, Stall, Stall}},
    // GET_INTERFACE
    {{0x81, 10, 0, 0, 1}, {Stall, Stall, Ok}},
    {{0x81, 10, 0, 1, 1}, {Stall, Stall, Stall}},
    {{0x81, 10, 1, 0, 1}, {Stall, Stall, Stall}},
    {{0x81, 10, 0, 0, 2}, {Stall, Stall, Stall}},
    // SET_INTERFACE: only an interface and alternate setting of the current configuration
    {{0x01, 11, 0, 0, 0}, {Stall, Stall, Ok}},
    {{0x01, 11, 1, 0, 0}, {Stall, Stall, Stall}},
    {{0x01, 11, 0, 1, 0}, {Stall, Stall, Stall}},
    {{0x01, 11, 0, 0, 1}, {Stall, Stall, Stall}},
    {{0x00, 11, 0, 0, 0}, {Stall, Stall, Stall}},
    // never supported
    {{0x00, 2, 0, 0, 0}, {Stall, Stall, Stall}},
    {{0x00, 4, 0, 0, 0}, {Stall, Stall, Stall}},
    {{0x00, 7, 0x0100, 0, 18}, {Stall, Stall, Stall}},
    {{0x82, 12, 0, 0x81, 2}, {Stall, Stall, Stall}},
    {{0x80, 13, 0, 0, 0}, {Stall, Stall, Stall}},
    {{0x80, 255, 0, 0, 0}, {Stall, Stall, Stall}},
};

class UsbtmcStandardRequests : public UsbtmcTest {
protected:
    Result EnterState(State state)
    {
        Result result = Enumerate();
        if (result != Ok || state == State::Configured) {
            return result;
        }
        if (state == State::Address) {
            Bytes none;
            return usb.control(sim::UsbHost::Setup{0x00, 9, 0, 0, 0}, &none);
        }
        result = Result::Timeout;
        for (int attempt = 0; attempt < 5 && result == Result::Timeout; ++attempt) {
            result = usb.bus_reset();
        }
        return result;
    }
};

// No standard request closes the interface: a refused one stalls and leaves the device as it
// was (configured, it answers at once); after any, a new enumeration gives a working device.
TEST_F(UsbtmcStandardRequests, EveryRequestInEveryStateLeavesTheDeviceWorking)
{
    usb.set_timeout_ms(2000);
    int step = 0;
    for (State state : {State::Default, State::Address, State::Configured}) {
        for (const RequestCase& c : kRequests) {
            const sim::UsbHost::Setup& s = c.setup;
            SCOPED_TRACE(testing::Message()
                         << Name(state) << " " << std::hex << "{" << int(s.bmRequestType) << ", "
                         << std::dec << int(s.bRequest) << ", " << s.wValue << ", " << s.wIndex
                         << ", " << s.wLength << "}");
            ASSERT_EQ(EnterState(state), Ok);
            Bytes data((s.bmRequestType & 0x80) != 0 ? 0 : s.wLength, 0);
            const Result expected = c.expected[static_cast<int>(state)];
            EXPECT_EQ(usb.control(s, &data), expected);
            ASSERT_TRUE(usb.device_present());
            const std::string query = "Q" + std::to_string(++step) + "?";
            if (state == State::Configured && expected == Stall) {
                ASSERT_EQ(host.Query(query), Answer(query));
                continue;
            }
            ASSERT_EQ(Enumerate(), Ok);
            ASSERT_EQ(host.Query(query), Answer(query));
        }
    }
    EXPECT_EQ(device->Count('E'), 0u);
}

// A new host session after the previous one left a message or a reply unfinished, whether
// the bus was reset or the configuration left: its first query answers its own message, and
// a read before any write gets nothing of the old reply.
TEST_F(UsbtmcTest, ResetOrDeconfigurationDropsWhatThePreviousSessionLeft)
{
    enum Left { HalfTransfer, MessageWithoutEnd, UnreadReply };
    for (bool reset : {true, false}) {
        for (Left left : {HalfTransfer, MessageWithoutEnd, UnreadReply}) {
            SCOPED_TRACE(testing::Message() << (reset ? "reset " : "deconfiguration ") << left);
            if (left == HalfTransfer) {
                SendPartialMessage();
            } else if (left == MessageWithoutEnd) {
                // The device keeps it until its end comes. Its Bulk-OUT FIFO holds one packet:
                // the second part is taken once the first has been read, so the device holds
                // the first when the host goes on.
                ASSERT_EQ(host.Write("*STB", false), Ok);
                ASSERT_EQ(host.Write("?", false), Ok);
            } else {
                // Its own callback: a late one of the case before (a query is answered before
                // its callback is recorded) does not count.
                const std::size_t from = device->Callbacks().size();
                ASSERT_EQ(host.Write("OLD?"), Ok);
                ASSERT_TRUE(Eventually([&] {
                    const std::vector<Korvex::TestDevice::Callback> calls = device->Callbacks();
                    return std::any_of(calls.begin() + static_cast<std::ptrdiff_t>(from), calls.end(),
                                       [](const Korvex::TestDevice::Callback& c) { return c.kind == 'M' && c.text == "OLD?"; });
                }));
            }
            EndSession(reset);
            if (left == UnreadReply) {
                ReadsNothingThenResets();
            }
            EXPECT_EQ(host.Query("*IDN?"), Answer("*IDN?"));
            EXPECT_EQ(host.Query("*IDN?"), Answer("*IDN?"));
        }
    }
}

// A complete message the device has not processed yet when the bus is reset or the
// configuration left belongs to the previous session: the device is cleared, so neither its
// reply nor an error of it reaches the next session, whose first read gets nothing and whose
// query answers its own message.
TEST_F(UsbtmcTest, ResetOrDeconfigurationDropsACompleteMessageNotYetProcessed)
{
    static std::atomic<Latch*> hold{nullptr};  // outlives the device's hook
    device->messageHook = [] {
        if (Latch* latch = hold.load()) {
            latch->Wait();
        }
    };
    for (bool reset : {true, false}) {
        SCOPED_TRACE(reset ? "reset" : "deconfiguration");
        Latch latch;
        hold = &latch;
        const std::uint32_t clears = device->Count('C');
        ASSERT_EQ(host.Write("OLD?"), Ok);
        ASSERT_TRUE(latch.WaitEntered());
        hold = nullptr;
        EndSession(reset);
        latch.Open();
        // The clear event follows the held message on the device's event thread.
        ASSERT_TRUE(device->WaitCount('C', clears + 1));
        ReadsNothingThenResets();
        EXPECT_EQ(host.Query("*IDN?"), Answer("*IDN?"));
    }
}

// A reset with nothing left over is no device clear (it would drop the device's results).
TEST_F(UsbtmcTest, ResetAfterAFinishedExchangeClearsNothing)
{
    ASSERT_EQ(host.Query("DONE?"), Answer("DONE?"));
    ASSERT_EQ(host.Write("COMMAND"), Ok);
    ASSERT_TRUE(device->WaitCount('M', 2));
    ASSERT_EQ(usb.reset_device(), Ok);
    EXPECT_EQ(host.Query("*IDN?"), Answer("*IDN?"));
    EXPECT_EQ(device->Count('C'), 0u);
}

// A second start is refused and leaves the running device's descriptors as they were.
TEST_F(UsbtmcTest, RefusedSecondStartKeepsTheDescriptors)
{
    const Bytes deviceDescriptor = usb.device_descriptor();
    const Bytes configuration = usb.configuration_descriptor();
    Korvex::UsbDeviceSettings settings;
    settings.Init();
    std::uint32_t status = 0;
    usb_server_manager()->GetDeviceManager()->Start(settings, &status);
    EXPECT_EQ(status, 0x54311u);
    ASSERT_EQ(Enumerate(), Ok);
    EXPECT_EQ(usb.device_descriptor(), deviceDescriptor);
    EXPECT_EQ(usb.configuration_descriptor(), configuration);
    EXPECT_EQ(host.Query("*IDN?"), Answer("*IDN?"));
}

} // namespace
} // namespace usbtmctest
