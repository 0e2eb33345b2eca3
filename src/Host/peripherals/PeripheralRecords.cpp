#include "Host/peripherals/PeripheralRecords.h"

#include "Host/peripherals/PeripheralBus.h"

namespace Korvex {

bool ReadIdentityStrings(const std::uint8_t* record, std::size_t available, std::string& first,
                         std::string& second) {
    if (available < 2) return false;
    const std::size_t l1 = BE16(record);
    if (available < 2 + l1 + 2) return false;
    const std::size_t l2 = BE16(record + 2 + l1);
    if (available < 4 + l1 + l2) return false;
    first.assign(reinterpret_cast<const char*>(record + 2), l1);
    second.assign(reinterpret_cast<const char*>(record + 4 + l1), l2);
    return true;
}

bool ReadHallSensorRecord(const std::uint8_t* r, std::size_t available, HallSensorData& hall) {
    if (available < kHallRecordSize || BE16(r) != 2) return false;
    hall.flags = r[2];
    hall.setupWord = BE16(r + 3);
    hall.hallByte = r[5];
    for (unsigned i = 0; i < 3; ++i) {
        hall.offset[i] = BE16(r + 6 + 2 * i);
        hall.gain[i] = BEFloat(r + 12 + 4 * i);
        hall.tempOffset[i] = BEFloat(r + 26 + 4 * i);
        hall.tempGain[i] = BEFloat(r + 38 + 4 * i);
    }
    hall.reference = BE16(r + 24);
    return true;
}

bool ReadHallReading(const std::uint8_t* reading, std::size_t available, std::uint16_t (&words)[4]) {
    if (available < 10 || BE16(reading) != 1) return false;
    for (unsigned i = 0; i < 4; ++i) words[i] = BE16(reading + 2 + 2 * i);
    return true;
}

bool ReadPulsedCameraRecord(const std::uint8_t* r, std::size_t available, PulsedCameraRecord& camera) {
    if (available < 44 || BE16(r) != 1) return false;
    camera.lowFreq = BEDouble(r + 2);
    camera.highFreq = BEDouble(r + 10);
    camera.lowIF = BEDouble(r + 18);
    camera.highIF = BEDouble(r + 26);
    camera.factor = BEDouble(r + 34);
    camera.word = BE16(r + 42);
    return true;
}

void ReadDirectoryHeader(const std::uint8_t* block, DirectoryHeader& header) {
    header.version = BE16(block);
    header.wordA = BE16(block + 2);
    header.wordB = BE16(block + 4);
    std::memcpy(header.bytes, block + 6, sizeof header.bytes);
}

bool ReadDirectoryEntries(const std::vector<std::uint8_t>& block, std::size_t at,
                          std::vector<DirectoryEntry>& entries) {
    entries.clear();
    if (block.size() < at + 2) return false;
    const std::size_t n = BE16(&block[at]);
    if (block.size() < at + 2 + 3 * n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t* e = &block[at + 2 + 3 * i];
        DirectoryEntry entry;
        entry.kind = e[0];
        entry.offset = BE16(e + 1);
        if (entry.offset >= block.size()) return false;
        entries.push_back(entry);
    }
    return true;
}

bool ReadProbeDirectory(const std::vector<std::uint8_t>& block, DirectoryHeader& header,
                        std::vector<DirectoryEntry>& entries) {
    if (block.size() < 19 || BE16(block.data()) != 2 || !PeripheralFrameCheck(block.data(), 17))
        return false;
    ReadDirectoryHeader(block.data(), header);
    header.check = block[16];
    return ReadDirectoryEntries(block, 17, entries) && entries.size() >= 3;
}

}  // namespace Korvex
