// The simulated peripheral controller driven directly through its I2C slave side.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sim/board/AnalogInputs.h"
#include "sim/peripheral_controller/PeripheralControllerSim.h"
#include "sim/topology_file/TopologyFile.h"

using namespace sim::periph;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Builds [address byte][length][payload][check].
Bytes MakeFrame(std::uint8_t addressByte, const Bytes& payload) {
    // Sized once, then filled (GCC 12 -O3 warns about an insert behind three bytes).
    Bytes f(payload.size() + 4);
    f[0] = addressByte;
    f[2] = static_cast<std::uint8_t>(payload.size() + 4);
    std::copy(payload.begin(), payload.end(), f.begin() + 3);
    std::uint8_t x = 0;
    for (std::size_t i = 0; i + 1 < f.size(); ++i) x ^= f[i];
    f.back() = x;
    return f;
}

class ControllerSim : public ::testing::Test {
protected:
    void SetUp() override {
        sim::analog_reset();
        c.Reset();
    }
    void TearDown() override { sim::analog_reset(); }

    bool Send(const Bytes& frame) {
        if (!c.Start(frame[0] >> 1, false)) return false;
        for (std::size_t i = 1; i < frame.size(); ++i)
            if (!c.Write(frame[i])) return false;
        c.Stop();
        return true;
    }
    // The whole frame read at the address byte (byte 0 rebuilt), empty when NACKed.
    Bytes Receive(std::uint8_t addressByte) {
        if (!c.Start(addressByte >> 1, true)) return {};
        Bytes f{addressByte, c.Read(true), c.Read(true)};
        const unsigned length = f[1] << 8 | f[2];
        for (unsigned i = 3; i < length; ++i) f.push_back(c.Read(i + 1 < length));
        c.Stop();
        return f;
    }
    std::uint8_t Status() {
        Bytes f = Receive(0x21);
        return f.size() == 5 ? f[3] : 0xEE;
    }
    static bool CheckOk(const Bytes& f) {
        std::uint8_t x = 0;
        for (auto b : f) x ^= b;
        return x == 0;
    }
    Bytes MemoryRequest(std::uint8_t request, const Bytes& levels, std::uint16_t word,
                        std::uint32_t number, std::uint8_t selector, const Bytes& data = {}) {
        Bytes p{static_cast<std::uint8_t>(levels.size())};
        p.insert(p.end(), levels.begin(), levels.end());
        p.insert(p.end(), {static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word),
                           static_cast<std::uint8_t>(number >> 16),
                           static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number),
                           selector});
        p.insert(p.end(), data.begin(), data.end());
        return MakeFrame(request, p);
    }
    Bytes ReadSelector(const Bytes& levels, std::uint8_t selector, std::uint16_t word = 0,
                       std::uint32_t number = 0) {
        Send(MemoryRequest(0x2C, levels, word, number, selector));
        if ((Status() & 0x0E) != 0) return {0xFF};
        Bytes f = Receive(0x2D);
        return Bytes(f.begin() + 9, f.end() - 1);
    }

    PeripheralControllerSim c;
};

TEST_F(ControllerSim, StatusCarriesReadinessAndTheLastCode) {
    EXPECT_EQ(Status(), 0x01);
    ASSERT_TRUE(Send(MakeFrame(0x20, {})));
    EXPECT_EQ(Status(), 0x00);  // busy for one read
    EXPECT_EQ(Status(), 0x01);
    ASSERT_TRUE(Send(MakeFrame(0x24, {})));
    EXPECT_EQ(Status(), 0x00);
    EXPECT_EQ(Status(), 0x00);
    EXPECT_EQ(Status(), 0x01);
    Bytes bad = MakeFrame(0x20, {});
    bad.back() ^= 1;
    ASSERT_TRUE(Send(bad));
    EXPECT_EQ(Status(), 0x04);
    EXPECT_EQ(Status(), 0x05);  // the code stays until the next request
    Bytes longer = MakeFrame(0x20, {});
    longer[2] = 5;  // announces a byte that never comes
    ASSERT_TRUE(Send(longer));
    EXPECT_EQ(Status() & 0x0E, 4);
    EXPECT_FALSE(c.Start(0x17, false));
    EXPECT_TRUE(CheckOk(Receive(0x21)));
}

TEST_F(ControllerSim, SocketEntryAndChangeIndicator) {
    Bytes e = Receive(0x25);
    ASSERT_EQ(e.size(), 16u);
    EXPECT_TRUE(CheckOk(e));
    EXPECT_EQ(e[3] << 8 | e[4], 1);
    EXPECT_EQ(e[5], kTypeProbe);
    EXPECT_EQ(sim::analog_get(0), kAinPlugged);

    Send(MakeFrame(0x22, {}));
    EXPECT_EQ(Receive(0x23)[3], 0);
    std::string error;
    ASSERT_TRUE(c.Unplug("1", error));
    EXPECT_EQ(sim::analog_get(0), kAinEmpty);
    Send(MakeFrame(0x22, {}));
    EXPECT_EQ(Receive(0x23)[3], 0x11);
    e = Receive(0x25);  // an empty socket: present, type 0
    EXPECT_EQ(e[3] << 8 | e[4], 1);
    EXPECT_EQ(e[5], 0);
    Send(MakeFrame(0x22, {}));
    EXPECT_EQ(Receive(0x23)[3], 0);
    c.StartPulse();
    Send(MakeFrame(0x22, {}));
    EXPECT_EQ(Receive(0x23)[3], 0x11);
}

TEST_F(ControllerSim, RoutesAcceptKnownDevicesAndTheReset) {
    std::string error;
    DeviceDescription mux;
    mux.kind = Kind::Multiplexer;
    ASSERT_TRUE(c.Plug("1", mux, error));
    DeviceDescription cam;
    cam.kind = Kind::Camera;
    cam.word = 0x0606;
    cam.number = 4242;
    ASSERT_TRUE(c.Plug("1/2", cam, error));
    auto route = [&](Bytes levels, std::uint16_t word, std::uint32_t number) {
        Bytes p{static_cast<std::uint8_t>(levels.size())};
        p.insert(p.end(), levels.begin(), levels.end());
        p.insert(p.end(), {static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word),
                           static_cast<std::uint8_t>(number >> 16),
                           static_cast<std::uint8_t>(number >> 8),
                           static_cast<std::uint8_t>(number)});
        Send(MakeFrame(0x26, p));
        return Status() & 0x0E;
    };
    EXPECT_EQ(route({2}, 0x0606, 4242), 0);
    EXPECT_EQ(route({2, 2}, 0x0606, 4242), 0);  // a head of the camera
    EXPECT_EQ(route({2, 3}, 0x0606, 4242), 4);  // beyond its two heads
    Send(MakeFrame(0x28, {}));
    Status();
    Bytes r = Receive(0x29);
    EXPECT_EQ(Bytes(r.begin() + 3, r.end() - 1), (Bytes{2, 2, 2, 0x06, 0x06, 0, 0x10, 0x92}));
    EXPECT_EQ(route({2}, 0x0606, 4243), 4);
    EXPECT_EQ(route({3}, 0x0606, 4242), 4);
    EXPECT_EQ(route({}, 0, 0), 2);
    EXPECT_EQ(c.CurrentRoute(), (Bytes{0, 0, 0, 0, 0, 0}));
}

TEST_F(ControllerSim, MemorySelectorsOfAProbe) {
    EXPECT_EQ(ReadSelector({}, 11), (Bytes{0x01, 0x00}));
    Bytes id = ReadSelector({}, 2);
    EXPECT_EQ(std::string(id.begin() + 2, id.begin() + 8), "Korvex");
    Bytes rec = ReadSelector({}, 1);
    EXPECT_EQ(rec.size(), 85u + 2 * 20);
    EXPECT_EQ(rec[1], 1);
    EXPECT_EQ(ReadSelector({}, 9), Bytes{0xFF});  // no Hall sensor
    EXPECT_EQ(ReadSelector({}, 1, 0x0102, 100001).size(), rec.size());
    EXPECT_EQ(ReadSelector({}, 1, 0x0102, 100002), Bytes{0xFF});  // not its identifier
    EXPECT_EQ(ReadSelector({1}, 1), Bytes{0xFF});                 // nothing below a probe

    // Writes of 7 and 15 are kept, odd sizes refused.
    Send(MemoryRequest(0x2A, {}, 0, 0, 7, {0, 0, 0, 110, 0, 0, 9, 6}));
    EXPECT_EQ(Status() & 0x0E, 0);
    EXPECT_EQ(c.Device("1")->Written(7), (Bytes{0, 0, 0, 110, 0, 0, 9, 6}));
    Send(MemoryRequest(0x2A, {}, 0, 0, 15, {1}));
    EXPECT_EQ(Status() & 0x0E, 4);
    Send(MemoryRequest(0x2A, {}, 0, 0, 99, {1, 2}));
    EXPECT_EQ(Status() & 0x0E, 4);
}

TEST_F(ControllerSim, BlockWindowChunksAndStores) {
    std::string error;
    DeviceDescription d;
    d.memory = MemoryLayout::Directory;
    ASSERT_TRUE(c.Plug("1", d, error));
    EXPECT_EQ(ReadSelector({}, 11), (Bytes{0x02, 0x00}));
    Send(MemoryRequest(0x2A, {}, 0, 0, 12, {0, 0, 0x02, 0x00}));
    EXPECT_EQ(Status() & 0x0E, 0);
    Bytes all;
    unsigned reads = 0;
    for (;;) {
        Bytes chunk = ReadSelector({}, 12);
        if (chunk.empty()) break;
        ++reads;
        all.insert(all.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(reads, 8u);
    ASSERT_EQ(all.size(), 512u);
    EXPECT_EQ(all[1], 2);  // version-2 directory
    std::uint8_t x = 0;
    for (int i = 0; i <= 16; ++i) x ^= all[i];
    EXPECT_EQ(x, 0);

    // A store: the next ten status reads go unanswered.
    Send(MemoryRequest(0x2A, {}, 0, 0, 12, {0x07, 0xFE, 0, 2, 0xAB, 0xCD}));
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(c.Start(0x10, true));
    EXPECT_EQ(Status(), 0x00);
    EXPECT_EQ(c.Device("1")->Memory()[0x7FE], 0xAB);
    EXPECT_EQ(c.Device("1")->Memory()[0x7FF], 0xCD);
    Send(MemoryRequest(0x2A, {}, 0, 0, 12, {0x07, 0xFF, 0, 2, 1, 2}));  // past the end
    EXPECT_EQ(Status() & 0x0E, 4);
    Send(MemoryRequest(0x2A, {}, 0, 0, 12, {0x07, 0x00, 0x01, 0x01}));  // window past the end
    EXPECT_EQ(Status() & 0x0E, 4);
}

TEST_F(ControllerSim, MultiplexerPortTableAndHallReading) {
    std::string error;
    ASSERT_TRUE(LoadTopologyFile("/dev/null", error, c));
    DeviceDescription d;
    std::string path;
    ASSERT_TRUE(ParseDescription("1 mux ports=3", path, d, error));
    ASSERT_TRUE(c.Plug(path, d, error));
    ASSERT_TRUE(ParseDescription("1/3 probe hall=0.5,-0.25,0 word=0x77 number=9", path, d, error));
    ASSERT_TRUE(c.Plug(path, d, error));
    Bytes t = ReadSelector({}, 3);
    ASSERT_EQ(t.size(), 2u + 3 * 12);
    EXPECT_EQ(t[1], 3);
    EXPECT_EQ(Bytes(t.begin() + 2, t.begin() + 14), Bytes(12, 0));
    EXPECT_EQ(Bytes(t.begin() + 26, t.end()),
              (Bytes{0, 1, 2, 0, 0x77, 0, 0, 9, 0, 0, 0, 1}));
    EXPECT_EQ(ReadSelector({3}, 9, 0x77, 9),
              (Bytes{0, 1, 0x93, 0x88, 0x76, 0x3C, 0x80, 0, 0x80, 0}));
    EXPECT_EQ(ReadSelector({3}, 8, 0x77, 9).size(), 50u);
}

TEST_F(ControllerSim, FaultsAreCountedDown) {
    c.ArmFault(Fault::BadCheck, 1);
    EXPECT_FALSE(CheckOk(Receive(0x21)));
    EXPECT_TRUE(CheckOk(Receive(0x21)));
    c.ArmFault(Fault::Nack, 2);
    EXPECT_FALSE(c.Start(0x10, true));
    EXPECT_FALSE(c.Start(0x11, false));
    EXPECT_TRUE(c.Start(0x10, true));
    c.Stop();
    c.ArmFault(Fault::Refuse, 1);
    Send(MakeFrame(0x20, {}));
    EXPECT_EQ(Status() & 0x0E, 4);
    c.ArmFault(Fault::Pending, 1);
    EXPECT_EQ(Status() & 0xF0, 0x10);
    c.ArmFault(Fault::ShortEntry, 1);
    EXPECT_EQ(Receive(0x25).size(), 15u);
    c.ArmFault(Fault::ZeroData, 1);
    EXPECT_TRUE(ReadSelector({}, 11).empty());
    c.ArmFault(Fault::Route6, 1);
    Send(MakeFrame(0x28, {}));
    Status();
    Bytes r = Receive(0x29);
    EXPECT_EQ(r[3], 6);
    EXPECT_EQ(r.size(), 16u);
    c.ArmFault(Fault::NeverReady, 3);
    EXPECT_EQ(Status() & 1, 0);
    EXPECT_EQ(Status() & 1, 0);
    EXPECT_EQ(Status() & 1, 0);
    EXPECT_EQ(Status() & 1, 1);
}

TEST(TopologyDescriptions, ParseFileAndSocketCommands) {
    std::string path, error;
    DeviceDescription d;
    ASSERT_TRUE(ParseDescription(
        "1/2 probe word=513 number=0x10 designation=P1 range=1e6,2e6 gyro=4e7 memory=blank", path,
        d, error));
    EXPECT_EQ(path, "1/2");
    EXPECT_EQ(d.word, 513);
    EXPECT_EQ(d.number, 16);
    EXPECT_EQ(d.designation, "P1");
    EXPECT_EQ(d.maxHz, 2e6);
    EXPECT_EQ(d.gyro, 4e7);
    EXPECT_EQ(d.memory, MemoryLayout::Blank);
    EXPECT_FALSE(ParseDescription("1 toaster", path, d, error));
    EXPECT_FALSE(ParseDescription("1 probe range=2e6,1e6", path, d, error));
    EXPECT_FALSE(ParseDescription("1 probe colour=red", path, d, error));
    EXPECT_FALSE(ParseDescription("1 camera heads=99", path, d, error));

    PeripheralControllerSim c;
    const std::string file = ::testing::TempDir() + "topology.txt";
    {
        std::ofstream out(file);
        out << "# two probes behind a multiplexer\n1 mux ports=2\n\n1/1 probe\n1/2 camera heads=3\n";
    }
    ASSERT_TRUE(LoadTopologyFile(file, error, c)) << error;
    ASSERT_NE(c.Device("1/2"), nullptr);
    EXPECT_EQ(c.Device("1/2")->HeadCount(), 3u);
    {
        std::ofstream out(file);
        out << "1 probe\n1/1 probe\n";
    }
    EXPECT_FALSE(LoadTopologyFile(file, error, c));
    EXPECT_NE(error.find(":2:"), std::string::npos);
    {
        std::ofstream out(file);
        out << "1 mux ports=2\n1/1 probe\n# again\n1/1 camera\n";
    }
    EXPECT_FALSE(LoadTopologyFile(file, error, c));
    EXPECT_EQ(error, file + ":4: path 1/1 is already described on line 2");
    std::remove(file.c_str());

    std::string reply;
    EXPECT_TRUE(HandleCommand("unplug 1", reply, c));
    EXPECT_EQ(reply, "OK");
    EXPECT_EQ(c.Device("1"), nullptr);
    EXPECT_TRUE(HandleCommand("plug 1 mux", reply, c));
    EXPECT_TRUE(HandleCommand("plug 1/9 probe", reply, c));
    EXPECT_EQ(reply.rfind("ERR ", 0), 0u);
    EXPECT_TRUE(HandleCommand("nmr 2", reply, c));
    EXPECT_EQ(sim::analog_get(0), 565);
    EXPECT_TRUE(HandleCommand("adc 17", reply, c));
    EXPECT_EQ(sim::analog_get(0), 17);
    EXPECT_TRUE(HandleCommand("fault refuse 2", reply, c));
    EXPECT_EQ(reply, "OK");
    EXPECT_TRUE(HandleCommand("fault gremlins 2", reply, c));
    EXPECT_NE(reply, "OK");
    EXPECT_FALSE(HandleCommand("launch", reply, c));
    sim::analog_reset();
}

}  // namespace
