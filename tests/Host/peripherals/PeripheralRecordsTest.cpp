// Decoding of the memory records, with records composed independently by the simulator.
#include <gtest/gtest.h>

#include "Host/peripherals/PeripheralRecords.h"
#include "Host/peripherals/PwPhysicalInformation.h"
#include "sim/peripheral_devices/PeripheralDevices.h"

namespace {

using namespace Korvex;
using Bytes = std::vector<std::uint8_t>;
namespace sp = sim::periph;

// A record with the given curve counts (values i + 1).
Bytes Record(std::initializer_list<std::uint16_t> counts) {
    Bytes r;
    sp::PutU16(r, 1);
    for (double v : {1.5e6, 2.5e6, 1e3, 2e3, 2.0, 42.5e6, 0.01, 0.003, 0.002}) sp::PutDouble(r, v);
    r.push_back(33);
    for (std::uint16_t n : counts) {
        sp::PutU16(r, n);
        for (std::uint16_t i = 0; i < n; ++i) sp::PutU16(r, static_cast<std::uint16_t>(i + 1));
    }
    return r;
}

TEST(PeripheralRecords, CurveCountsAndBigEndianDoubles) {
    PwPhysicalInformation info;
    PwSetDefaults(info);
    Bytes r = Record({0, 128, 1, 0, 2});
    const std::uint8_t* end = nullptr;
    ASSERT_TRUE(ReadPwPhysicalInformationRecord(r.data(), r.size(), info, &end));
    EXPECT_EQ(end, r.data() + r.size());
    EXPECT_EQ(info.MinFreq, 1.5e6);
    EXPECT_EQ(info.GyroRatio, 42.5e6);
    EXPECT_EQ(info.SampleLength, 0.002);
    EXPECT_EQ(info.DeadTime, 33);
    EXPECT_EQ(info.NoiseLevelCurve.count, 0);
    EXPECT_EQ(info.TuningCurve.count, 128);
    EXPECT_EQ(info.TuningCurve.value[127], 128);
    EXPECT_EQ(info.MatchingCurve.value[0], 1);  // follows the empty curve at once
    EXPECT_EQ(info.FreqStepCurve.count, 2);
    // The bytes on the wire are big-endian whatever the host's order.
    EXPECT_EQ(r[2], 0x41);  // 1.5e6 = 0x4136E36000000000
    EXPECT_EQ(r[3], 0x36);

    Bytes tooMany = Record({1, 129, 0, 0, 0});
    EXPECT_FALSE(ReadPwPhysicalInformationRecord(tooMany.data(), tooMany.size(), info, nullptr));
    EXPECT_EQ(info.TuningCurve.count, 128);  // the rejected curve keeps its values

    Bytes other = Record({0, 0, 0, 0, 0});
    other[1] = 2;
    EXPECT_FALSE(ReadPwPhysicalInformationRecord(other.data(), other.size(), info, nullptr));
}

TEST(PeripheralRecords, TruncatedRecordsAreRejected) {
    PwPhysicalInformation info;
    PwSetDefaults(info);
    Bytes r = Record({4, 4, 4, 4, 4});
    for (std::size_t cut : {std::size_t(0), std::size_t(10), std::size_t(75), std::size_t(77),
                            r.size() - 1})
        EXPECT_FALSE(ReadPwPhysicalInformationRecord(r.data(), cut, info, nullptr)) << cut;

    HallSensorData hall;
    const Bytes h = sp::HallRecord();
    EXPECT_FALSE(ReadHallSensorRecord(h.data(), h.size() - 1, hall));
    ASSERT_TRUE(ReadHallSensorRecord(h.data(), h.size(), hall));
    EXPECT_EQ(hall.flags, 3);
    EXPECT_EQ(hall.setupWord, 0x5A01);
    EXPECT_EQ(hall.offset[2], 0x8000);
    EXPECT_FLOAT_EQ(hall.gain[1], 1e-4f);
    EXPECT_EQ(hall.reference, 0x8000);

    std::uint16_t words[4];
    const Bytes reading = sp::HallReading({0.1, 0, 0});
    EXPECT_FALSE(ReadHallReading(reading.data(), 9, words));
    ASSERT_TRUE(ReadHallReading(reading.data(), reading.size(), words));
    EXPECT_EQ(words[0], 0x8000 + 1000);

    std::string first, second;
    const Bytes id = sp::IdentityStrings("Korvex", "P-17");
    ASSERT_TRUE(ReadIdentityStrings(id.data(), id.size(), first, second));
    EXPECT_EQ(second, "P-17");
    for (std::size_t cut = 0; cut < id.size(); ++cut)
        EXPECT_FALSE(ReadIdentityStrings(id.data(), cut, first, second)) << cut;

    PulsedCameraRecord camera;
    Bytes c;
    sp::PutU16(c, 1);
    for (double v : {1.0, 2.0, 3.0, 4.0, 5.0}) sp::PutDouble(c, v);
    sp::PutU16(c, 7);
    EXPECT_FALSE(ReadPulsedCameraRecord(c.data(), 43, camera));
    ASSERT_TRUE(ReadPulsedCameraRecord(c.data(), c.size(), camera));
    EXPECT_EQ(camera.factor, 5.0);
    EXPECT_EQ(camera.word, 7);
}

TEST(PeripheralRecords, DirectoryCheckByteAndEntries) {
    sp::DeviceDescription d;
    d.memory = sp::MemoryLayout::Directory;
    sp::SimDevice device(d, "1");
    Bytes block(device.Memory().begin(), device.Memory().begin() + 512);
    DirectoryHeader header;
    std::vector<DirectoryEntry> entries;
    ASSERT_TRUE(ReadProbeDirectory(block, header, entries));
    EXPECT_EQ(header.version, 2);
    EXPECT_EQ(header.wordB, 512);
    EXPECT_EQ(entries.size(), 3u);

    Bytes bad = block;
    bad[8] ^= 1;  // the version is still 2, the XOR of bytes 0-16 is not 0
    EXPECT_FALSE(ReadProbeDirectory(bad, header, entries));
    bad = block;
    bad[20] = 0x02;  // entry 0 points past the block
    bad[21] = 0x00;
    EXPECT_FALSE(ReadProbeDirectory(bad, header, entries));
    bad = block;
    bad[18] = 2;  // fewer than three entries
    EXPECT_FALSE(ReadProbeDirectory(bad, header, entries));
    bad = block;
    bad[17] = 0xFF;  // a table longer than the block
    EXPECT_FALSE(ReadProbeDirectory(bad, header, entries));
    EXPECT_FALSE(ReadProbeDirectory(Bytes(block.begin(), block.begin() + 18), header, entries));

    Bytes field{3, 'a', 'b', 'c', 9};
    const std::uint8_t* cursor = field.data();
    Bytes out;
    ASSERT_TRUE(ReadLengthPrefixedBytes(out, cursor, field.data() + field.size()));
    EXPECT_EQ(out, (Bytes{'a', 'b', 'c'}));
    EXPECT_FALSE(ReadLengthPrefixedBytes(out, cursor, field.data() + field.size()));  // 9 > 0 left
}

}  // namespace
