// The records a real peripheral keeps in its memory (big-endian, doubles included) and the
// readers that decode them. Every reader takes the bytes it may use and rejects a record
// that would need more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "Host/peripherals/PeripheralCommands.h"

namespace Korvex {

// Memory selectors.
enum ePeripheralSelector : std::uint8_t {
    kSelectorPhysicalInformation = 1,  // probe: physical information; camera: camera record
    kSelectorIdentity = 2,             // identity strings
    kSelectorPortTable = 3,            // multiplexer port table
    kSelectorWords = 7,                // write: two u32 (the sample window)
    kSelectorHallRecord = 8,
    kSelectorHallReading = 9,
    kSelectorMapWord = 11,             // memory-map word
    kSelectorBlock = 12,               // block window
    kSelectorHeadMap = 13,             // write: camera head map
    kSelectorHallSetup = 15,           // write: Hall set-up word
};

// A memory-map word from this value on means a directory in the first 512 bytes.
constexpr std::uint16_t kDirectoryMapWord = 512;
constexpr std::uint16_t kDirectoryBlockSize = 512;

inline double BEDouble(const std::uint8_t* p) {
    const std::uint64_t bits = std::uint64_t(BE32(p)) << 32 | BE32(p + 4);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}
inline float BEFloat(const std::uint8_t* p) {
    const std::uint32_t bits = BE32(p);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// Two strings [u16 length][bytes], one after the other.
bool ReadIdentityStrings(const std::uint8_t* record, std::size_t available, std::string& first,
                         std::string& second);

// The three-axis Hall sensor's data: flags (bit 1 set up on activation, bit 0 sensor on),
// set-up word, Hall byte (tolerance in %), offsets O1-O3, gains G1-G3, reference R,
// temperature offsets T1-T3 and gains K1-K3.
struct HallSensorData {
    std::uint8_t flags = 0;
    std::uint16_t setupWord = 0;
    std::uint8_t hallByte = 0;
    std::uint16_t offset[3] = {0x8000, 0x8000, 0x8000};
    float gain[3] = {1.0f, 1.0f, 1.0f};
    std::uint16_t reference = 0;
    float tempOffset[3] = {0.0f, 0.0f, 0.0f};
    float tempGain[3] = {0.0f, 0.0f, 0.0f};
};
constexpr std::size_t kHallRecordSize = 50;
// Version 2, 50 bytes.
bool ReadHallSensorRecord(const std::uint8_t* record, std::size_t available, HallSensorData& hall);

// Selector-9 reading: version 1 and the four words W1-W4.
bool ReadHallReading(const std::uint8_t* reading, std::size_t available, std::uint16_t (&words)[4]);

// A camera's own bounds: lowest and highest frequency, lowest and highest IF, frequency
// multiplier factor, and a word.
struct PulsedCameraRecord {
    double lowFreq = 0.0;
    double highFreq = 0.0;
    double lowIF = 0.0;
    double highIF = 0.0;
    double factor = 1.0;
    std::uint16_t word = 0;
};
// Version 1, 44 bytes.
bool ReadPulsedCameraRecord(const std::uint8_t* record, std::size_t available,
                            PulsedCameraRecord& camera);

// Header of a directory: version, words A and B, ten bytes and the check byte.
struct DirectoryHeader {
    std::uint16_t version = 0;
    std::uint16_t wordA = 0;
    std::uint16_t wordB = 0;
    std::uint8_t bytes[10] = {};
    std::uint8_t check = 0;
};
struct DirectoryEntry {
    std::uint8_t kind = 0;
    std::uint8_t spare = 0;
    std::uint16_t offset = 0;  // from the block's first byte
};
void ReadDirectoryHeader(const std::uint8_t* block, DirectoryHeader& header);
// The entries [u16 N][N x {u8 kind, u16 offset}] at `at`; false when the table or an offset
// lies outside the block.
bool ReadDirectoryEntries(const std::vector<std::uint8_t>& block, std::size_t at,
                          std::vector<DirectoryEntry>& entries);
// A pulsed probe's version-2 directory (bytes 0-16 XOR to 0, entries from byte 17), with at
// least the three entries it reads (identity, physical information, Hall record).
bool ReadProbeDirectory(const std::vector<std::uint8_t>& block, DirectoryHeader& header,
                        std::vector<DirectoryEntry>& entries);

}  // namespace Korvex
