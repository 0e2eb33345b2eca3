// The link layer and the controller commands against the simulated controller.
#include <gtest/gtest.h>

#include <thread>

#include "Host/peripherals/CKorvexPeripheral.h"
#include "Host/peripherals/PeripheralBus.h"
#include "Host/peripherals/PeripheralCommands.h"
#include "PeripheralFixture.h"
#include "board/periph_i2c.h"

namespace {

using namespace Korvex;
using korvex_test::Bytes;
using sim::periph::Fault;

CKorvexChannel Route(std::initializer_list<std::uint8_t> levels) {
    CKorvexChannel c;
    for (auto l : levels) c.AddLevel(l);
    return c;
}

// A controller that answers every status read with a fixed status byte.
class FixedStatusSlave : public platform::soc::I2cSlave {
public:
    explicit FixedStatusSlave(std::uint8_t s) : status(s) {}
    bool Start(std::uint8_t address7, bool read) override {
        pos = 1;
        return !read || address7 == 0x10;
    }
    bool Write(std::uint8_t) override { return true; }
    std::uint8_t Read(bool) override {
        const std::uint8_t f[5] = {0x21, 0, 5, status, static_cast<std::uint8_t>(0x21 ^ 5 ^ status)};
        return pos < 5 ? f[pos++] : 0xFF;
    }
    void Stop() override {}
    std::uint8_t status;
    unsigned pos = 1;
};

class PeripheralLink : public korvex_test::PeripheralFixture {};

TEST_F(PeripheralLink, ClockLadderStepsDownOnBadFramesAndUpAfterTwentyGood) {
    EXPECT_TRUE(PeripheralFrameCheck(nullptr, 0));
    EXPECT_EQ(PeripheralBusClock(), kPeripheralClockHigh);
    Controller().ArmFault(Fault::BadCheck, 2);
    ASSERT_EQ(PeripheralWaitReady(nullptr), 0);  // bad, bad, then one good frame
    EXPECT_EQ(PeripheralBusClock(), kPeripheralClockLow);
    EXPECT_EQ(periph_i2c_bit_delay_ns(), 100000u);
    for (int i = 0; i < 19; ++i) ASSERT_EQ(PeripheralWaitReady(nullptr), 0);
    EXPECT_EQ(PeripheralBusClock(), kPeripheralClockLow);  // 20 good frames
    ASSERT_EQ(PeripheralWaitReady(nullptr), 0);
    EXPECT_EQ(PeripheralBusClock(), kPeripheralClockMid);  // the 21st
    ASSERT_EQ(PeripheralWaitReady(nullptr), 0);
    EXPECT_EQ(PeripheralBusClock(), kPeripheralClockHigh);  // the 22nd
    EXPECT_EQ(periph_i2c_bit_delay_ns(), 10000u);
    Controller().ArmFault(Fault::BadCheck, 1);
    ASSERT_EQ(PeripheralWaitReady(nullptr), 0);
    EXPECT_EQ(PeripheralBusClock(), kPeripheralClockMid);
}

TEST_F(PeripheralLink, SilentControllerEndsAPlainWaitAfterOnePoll) {
    Controller().ArmFault(Fault::Nack, 1000);
    Controller().ClearRequests();
    EXPECT_EQ(PeripheralWaitReady(nullptr), 12);
    EXPECT_EQ(Controller().StatusReads(), 5u);
    SetPeripheralTolerantPolling(1);
    EXPECT_EQ(PeripheralWaitReady(nullptr), 12);
    SetPeripheralTolerantPolling(0);
    EXPECT_EQ(Controller().StatusReads(), 5u + 250u);
}

TEST_F(PeripheralLink, PendingBitsSucceedWithMorePending) {
    Controller().ArmFault(Fault::Pending, 1);
    std::uint8_t status = 0;
    EXPECT_EQ(PeripheralWaitReady(&status), 0);
    EXPECT_EQ(status, 0x11);
    EXPECT_TRUE(PeripheralMorePending());
    EXPECT_EQ(PeripheralWaitReady(&status), 0);
    EXPECT_FALSE(PeripheralMorePending());
}

TEST_F(PeripheralLink, RefusedRequestIsSentFiveTimesThenAWriteFailure) {
    Controller().ArmFault(Fault::Refuse, 100);
    const std::uint8_t frame[] = {0x20, 0x00, 0x04, 0x24};
    EXPECT_EQ(PeripheralTransact(frame), 11);
    EXPECT_EQ(Frames(0x20).size(), 5u);
}

TEST_F(PeripheralLink, AStoreNeedsTolerantPolling) {
    PeripheralMemoryBlock block;
    block.selector = 12;
    block.data = {0x01, 0x00, 0x00, 0x02, 0xAA, 0xBB};
    std::uint32_t code = 0;
    // Plain polling gives up on the silent store and sends the request again and again.
    EXPECT_EQ(PeripheralWriteMemory(CKorvexChannel{}, 0, 0, block, code), 12);
    EXPECT_EQ(Frames(0x2A).size(), 5u);
    Controller().ClearRequests();
    SetPeripheralTolerantPolling(1);
    EXPECT_EQ(PeripheralWriteMemory(CKorvexChannel{}, 0, 0, block, code), 0);
    SetPeripheralTolerantPolling(0);
    EXPECT_EQ(Frames(0x2A).size(), 1u);
    EXPECT_EQ(Controller().Device("1")->Memory()[0x100], 0xAA);
}

TEST_F(PeripheralLink, RawExchangeChecksTheRequestLength) {
    std::uint8_t status = 0xEE;
    Bytes frame{0x28, 0x00, 0x04, 0x2C};
    EXPECT_EQ(CKorvexPeripheral::ReadMemory(frame, status), 0);
    EXPECT_TRUE(frame.empty());
    EXPECT_EQ(status, 0x01);
    frame = {0x29};  // odd: the whole reply frame comes back
    EXPECT_EQ(CKorvexPeripheral::ReadMemory(frame, status), 0);
    EXPECT_EQ(frame, (Bytes{0x29, 0, 10, 0, 0, 0, 0, 0, 0, 0x23}));
    Controller().ClearRequests();
    Bytes shortBlock{0x2C, 0x00, 0x20, 0x00};  // announces 32 bytes, holds 4
    EXPECT_EQ(CKorvexPeripheral::ReadMemory(shortBlock, status), 47);
    Bytes tiny{0x20, 0x00, 0x03};
    EXPECT_EQ(CKorvexPeripheral::ReadMemory(tiny, status), 47);
    Bytes none;
    EXPECT_EQ(CKorvexPeripheral::ReadMemory(none, status), 47);
    EXPECT_TRUE(Controller().Requests().empty());
}

class PeripheralCommands : public korvex_test::PeripheralFixture {};

TEST_F(PeripheralCommands, RequestBytesOfRouteAndMemoryCommands) {
    Plug("1", "mux ports=4");
    Plug("1/2", "mux ports=4");
    Plug("1/2/3", "probe word=0x0102 number=0x030405");
    Controller().ClearRequests();
    EXPECT_EQ(PeripheralRoute(Route({2, 3}), 0x0102, 0x030405), 0);
    const Bytes route{0x26, 0x00, 0x0C, 0x02, 0x02, 0x03, 0x01, 0x02, 0x03, 0x04, 0x05, 0x28};
    ASSERT_EQ(Frames(0x26).size(), 1u);
    EXPECT_EQ(Frames(0x26)[0], route);

    PeripheralMemoryBlock block;
    block.selector = 7;
    block.data = {0xDE, 0xAD};
    std::uint32_t code = 9;
    EXPECT_EQ(PeripheralWriteMemory(Route({2, 3}), 0x0102, 0x030405, block, code), 11);
    EXPECT_EQ(code, 4u);  // selector 7 takes 8 bytes: refused, and the code is returned
    Bytes write{0x2A, 0x00, 0x0F, 0x02, 0x02, 0x03, 0x01, 0x02, 0x03, 0x04, 0x05, 0x07, 0xDE, 0xAD};
    std::uint8_t x = 0;
    for (auto b : write) x ^= b;
    write.push_back(x);
    EXPECT_EQ(Frames(0x2A).back(), write);

    block.selector = 11;
    EXPECT_EQ(PeripheralReadMemory(Route({2, 3}), 0x0102, 0x030405, block, code), 0);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(block.data, (Bytes{0x01, 0x00}));
    Bytes read{0x2C, 0x00, 0x0D, 0x02, 0x02, 0x03, 0x01, 0x02, 0x03, 0x04, 0x05, 0x0B};
    x = 0;
    for (auto b : read) x ^= b;
    read.push_back(x);
    EXPECT_EQ(Frames(0x2C).back(), read);

    CKorvexChannel current;
    std::uint16_t word = 0;
    std::uint32_t number = 0;
    EXPECT_EQ(PeripheralGetCurrentRoute(current, word, number), 0);
    EXPECT_EQ(current.count, 2);
    EXPECT_EQ(current.level[1], 3);
    EXPECT_EQ(word, 0x0102);
    EXPECT_EQ(number, 0x030405u);
    // Code 4 is refused by the transaction itself: a write failure, after five sends.
    Controller().ClearRequests();
    EXPECT_EQ(PeripheralRoute(Route({2, 3}), 0x0102, 0x030406), 11);
    EXPECT_EQ(Frames(0x26).size(), 5u);
}

TEST_F(PeripheralCommands, CodeTwoIsAcceptedOnlyForTheRouteReset) {
    FixedStatusSlave slave(0x03);  // ready, code 2
    for (std::uint8_t a = 0x10; a <= 0x16; ++a) platform::soc::i2c_attach(1, a, &slave);
    EXPECT_EQ(PeripheralRoute(CKorvexChannel{}, 0, 0), 0);
    try {
        PeripheralRoute(Route({1}), 1, 2);
        ADD_FAILURE() << "no throw";
    } catch (int e) {
        EXPECT_EQ(e, 30);
    }
    try {
        PeripheralRoute(CKorvexChannel{}, 1, 0);
        ADD_FAILURE() << "no throw";
    } catch (int e) {
        EXPECT_EQ(e, 30);
    }
    // The lock was released on the throw.
    EXPECT_EQ(PeripheralWaitReady(nullptr), 0);
}

std::vector<std::string> Describe(const std::vector<TopologyEntry>& list) {
    std::vector<std::string> out;
    for (const auto& e : list) {
        std::string s = "1";
        for (unsigned i = 0; i < e.channel.count; ++i) s += "/" + std::to_string(e.channel.level[i]);
        out.push_back(s + ":" + std::to_string(e.identifier.typeCode) + ":" +
                      std::to_string(e.channelCount));
    }
    return out;
}

TEST_F(PeripheralCommands, TopologyOrders) {
    std::vector<TopologyEntry> list;
    PeripheralReadTopology(list);
    EXPECT_EQ(Describe(list), (std::vector<std::string>{"1:2:0"}));
    Plug("1", "probe type=1");
    PeripheralReadTopology(list);
    EXPECT_EQ(Describe(list), (std::vector<std::string>{"1:1:0"}));
    for (const char* type : {"4", "5"}) {
        Plug("1", std::string("probe type=") + type);
        PeripheralReadTopology(list);
        EXPECT_TRUE(list.empty());
    }
    Plug("1", "mux ports=0");
    PeripheralReadTopology(list);
    EXPECT_EQ(Describe(list), (std::vector<std::string>{"1:3:0"}));

    Plug("1", "mux ports=5");
    Plug("1/1", "mux ports=2");
    Plug("1/1/2", "probe");
    Plug("1/2", "probe type=0");  // present, type 0: skipped
    Plug("1/3", "camera");
    Plug("1/4", "mux ports=1");
    Plug("1/4/1", "camera");
    Plug("1/5", "probe");
    Controller().ClearRequests();
    PeripheralReadTopology(list);
    EXPECT_EQ(Describe(list), (std::vector<std::string>{"1:3:5", "1/3:6:0", "1/5:2:0", "1/1:3:2",
                                                        "1/1/2:2:0", "1/4:3:1", "1/4/1:6:0"}));
    EXPECT_EQ(Frames(0x24).size(), 1u);

    std::string error;
    ASSERT_TRUE(Controller().Unplug("1", error));
    PeripheralReadTopology(list);  // an empty socket: nothing listed
    EXPECT_TRUE(list.empty());
}

TEST_F(PeripheralCommands, TopologyFailuresAreThrown) {
    std::vector<TopologyEntry> list;
    Controller().ArmFault(Fault::ShortEntry, 1);  // one short frame is a bad read, retried
    PeripheralReadTopology(list);
    EXPECT_EQ(list.size(), 1u);
    Controller().ArmFault(Fault::ShortEntry, 5);
    try {
        PeripheralReadTopology(list);
        ADD_FAILURE();
    } catch (int e) {
        EXPECT_EQ(e, 12);
    }
    Plug("1", "mux ports=2");
    Plug("1/1", "mux ports=2");
    Plug("1/2", "probe");
    Controller().ArmFault(Fault::ZeroData, 1);  // an empty port table
    try {
        PeripheralReadTopology(list);
        ADD_FAILURE();
    } catch (int e) {
        EXPECT_EQ(e, 48);
    }
}

TEST_F(PeripheralCommands, FiveNestedMultiplexersStopAtTheChannelDepth) {
    Plug("1", "mux ports=1");
    std::string path = "1";
    for (int depth = 0; depth < 5; ++depth) {
        path += "/1";
        Plug(path, "mux ports=1");
    }
    Plug(path + "/1", "probe");
    std::vector<TopologyEntry> list;
    PeripheralReadTopology(list);
    EXPECT_EQ(Describe(list), (std::vector<std::string>{"1:3:1", "1/1:3:1", "1/1/1:3:1",
                                                        "1/1/1/1:3:1", "1/1/1/1/1:3:1"}));
}

TEST_F(PeripheralCommands, CurrentRouteAndChangeIndicator) {
    Controller().ArmFault(Fault::Route6, 1);
    CKorvexChannel route;
    std::uint16_t word = 0;
    std::uint32_t number = 0;
    EXPECT_EQ(PeripheralGetCurrentRoute(route, word, number), 12);
    std::uint32_t changed = 5;
    EXPECT_EQ(PeripheralTopologyChanged(changed), 0);
    EXPECT_EQ(changed, 0x11u);  // the start-up pulse of the fixture
    TopologyEntry entry;
    EXPECT_EQ(PeripheralReadTopologyEntry(entry), 0);
    EXPECT_EQ(PeripheralTopologyChanged(changed), 0);
    EXPECT_EQ(changed, 0u);
    Plug("1", "probe");
    EXPECT_EQ(PeripheralTopologyChanged(changed), 0);
    EXPECT_EQ(changed, 0x11u);
}

TEST_F(PeripheralCommands, BlockReadInChunks) {
    Plug("1", "probe memory=directory");
    Controller().SetWindowChunk(60);
    Controller().ClearRequests();
    Bytes out;
    const CKorvexChannel channel = Route({1});
    EXPECT_EQ(ReadDeviceBlock(out, channel, 0x0102, 100001, 0, 512), 0);
    EXPECT_EQ(out.size(), 512u);
    EXPECT_EQ(Frames(0x2C).size(), 9u);
    EXPECT_EQ(out, Bytes(Controller().Device("1")->Memory().begin(),
                         Controller().Device("1")->Memory().begin() + 512));

    Controller().SetWindowChunk(512);
    Controller().ClearRequests();
    EXPECT_EQ(ReadDeviceBlock(out, channel, 0x0102, 100001, 0, 512), 0);
    EXPECT_EQ(Frames(0x2C).size(), 1u);

    // A device whose window runs dry before the record's length: 48, not a loop.
    auto& m = Controller().Device("1")->Memory();
    m[5] = 0x40;  // total 0x240 bytes
    m[16] ^= 0x40;
    EXPECT_EQ(ReadDeviceBlock(out, channel, 0x0102, 100001, 0, 512), 48);
    Controller().ArmFault(Fault::ZeroData, 1);
    EXPECT_EQ(ReadDeviceBlock(out, channel, 0x0102, 100001, 0, 512), 48);  // first reply empty
    Plug("1", "probe memory=blank");
    EXPECT_EQ(ReadDeviceBlock(out, channel, 0x0102, 100001, 0, 512), 48);  // version 0
}

TEST_F(PeripheralCommands, TwoThreadsReadTheirOwnDevices) {
    Plug("1", "mux ports=2");
    Plug("1/1", "probe designation=first-probe");
    Plug("1/2", "probe designation=the-second-one");
    std::vector<std::uint8_t> expected[2];
    Controller().Device("1/1")->ReadSelector(2, expected[0]);
    Controller().Device("1/2")->ReadSelector(2, expected[1]);
    int mismatches[2] = {0, 0};
    auto reader = [&](unsigned port) {
        const std::uint32_t number = 100000 + 10 + port;
        for (int i = 0; i < 200; ++i) {
            PeripheralMemoryBlock block;
            block.selector = 2;
            std::uint32_t code = 0;
            if (PeripheralReadMemory(Route({static_cast<std::uint8_t>(port)}), 0x0102, number, block,
                                     code) != 0 ||
                block.data != expected[port - 1])
                ++mismatches[port - 1];
        }
    };
    std::thread a(reader, 1u), b(reader, 2u);
    a.join();
    b.join();
    EXPECT_EQ(mismatches[0], 0);
    EXPECT_EQ(mismatches[1], 0);
}

}  // namespace
