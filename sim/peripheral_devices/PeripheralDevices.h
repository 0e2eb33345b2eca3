// The devices behind the simulated peripheral controller: pulsed probes, pulsed cameras and
// multiplexers, each with the memory the controller reads and writes for the instrument.
//
// A device is built from a description (kind, identifier, designation, frequency range,
// gyromagnetic ratio, Hall field, memory layout, heads or ports) and composes its records
// from it:
//  - probe: memory-map word 0x0100 with single records on selectors 1 (physical
//    information), 2 (identity strings) and 8 (Hall record); memory "directory" makes the
//    word 0x0200 and the same records are found through the version-2 directory at address
//    0; memory "blank" makes the word 0x0200 over a zeroed memory. With a Hall field the
//    capability bit 0 is set and selector 9 answers the reading of that field.
//  - camera: the camera record on selector 1, a version-1 camera directory at address 0 with
//    one head record per head, each limited to the camera's range.
//  - multiplexer: its port table on selector 3.
// Every device answers its memory-map word on selector 11 and its identity strings on
// selector 2, keeps a 2048-byte memory behind the block window (selector 12) and records what
// the instrument writes with selectors 7, 13 and 15.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {
namespace periph {

constexpr std::size_t kMemorySize = 2048;
constexpr std::uint8_t kTypeProbe = 2;
constexpr std::uint8_t kTypeMultiplexer = 3;
constexpr std::uint8_t kTypeCamera = 6;
constexpr double kDefaultGyroRatio = 42.57747892e6;  // Hz/T, the simulated DSP's nucleus
constexpr double kDefaultMinHz = 21.29e6;             // 0.5 T
constexpr double kDefaultMaxHz = 127.73e6;            // 3 T
constexpr double kHallTeslaPerCount = 1e-4;

enum class Kind { Probe, Camera, Multiplexer };
enum class MemoryLayout { Single, Directory, Blank };

struct DeviceDescription {
    Kind kind = Kind::Probe;
    int typeCode = -1;          // -1: the kind's own code
    int word = -1;              // -1: the kind's default
    long number = -1;           // -1: derived from the device's path
    std::string designation;    // empty: the kind's default
    double minHz = kDefaultMinHz;
    double maxHz = kDefaultMaxHz;
    double gyro = kDefaultGyroRatio;
    bool hall = false;
    std::array<double, 3> hallTesla{};
    MemoryLayout memory = MemoryLayout::Single;
    unsigned heads = 2;  // camera
    unsigned ports = 4;  // multiplexer
};

class SimDevice {
public:
    // path: the device's channel levels below the instrument, the socket first ("1/3").
    SimDevice(const DeviceDescription& description, const std::string& path);

    const DeviceDescription& Description() const { return description_; }
    std::uint8_t TypeCode() const { return typeCode_; }
    std::uint16_t Word() const { return word_; }
    std::uint32_t Number() const { return number_; }
    std::uint32_t Capability() const { return capability_; }

    // The 12-byte identifier as a port table or topology entry carries it:
    // presence(2) type(1) word(2) number(3) capability(4).
    std::vector<std::uint8_t> IdentifierBytes() const;

    // Multiplexer ports (1-based); null for an empty port or a port out of range.
    SimDevice* Port(unsigned port) const;
    // Puts a device on a port (replacing one); false when the port does not exist.
    bool SetPort(unsigned port, std::unique_ptr<SimDevice> device);
    unsigned PortCount() const { return static_cast<unsigned>(ports_.size()); }
    unsigned HeadCount() const;

    // A memory read of selector: true and the data, or false (refused).
    bool ReadSelector(std::uint8_t selector, std::vector<std::uint8_t>& data);
    // A memory write of selector; false (refused) for an unknown selector or a bad range.
    // stored is set when the write put bytes into the memory (a block-window store).
    bool WriteSelector(std::uint8_t selector, const std::vector<std::uint8_t>& data, bool& stored);

    // Test access.
    std::vector<std::uint8_t>& Memory() { return memory_; }
    void SetMapWord(std::uint16_t word) { mapWord_ = word; }
    // Replaces the answer of a read selector (1, 2, 3, 8, 9).
    void SetRecord(std::uint8_t selector, const std::vector<std::uint8_t>& bytes);
    void SetHallTesla(const std::array<double, 3>& tesla);
    // The last data written with selector 7, 13 or 15 (empty when none).
    std::vector<std::uint8_t> Written(std::uint8_t selector) const;
    void SetWindowChunk(std::uint16_t bytes) { windowChunk_ = bytes; }

private:
    void Compose(const std::string& path);

    DeviceDescription description_;
    std::uint8_t typeCode_;
    std::uint16_t word_;
    std::uint32_t number_;
    std::uint32_t capability_ = 0;
    std::uint16_t mapWord_ = 0x0100;
    std::vector<std::uint8_t> memory_;
    std::map<std::uint8_t, std::vector<std::uint8_t>> records_;
    std::map<std::uint8_t, std::vector<std::uint8_t>> written_;
    std::vector<std::unique_ptr<SimDevice>> ports_;
    std::uint16_t windowAddress_ = 0;
    std::uint16_t windowRest_ = 0;
    std::uint16_t windowChunk_ = 64;
};

// ---- record builders (big-endian, as the devices hold them) ----
void PutU16(std::vector<std::uint8_t>& out, std::uint16_t v);
void PutU24(std::vector<std::uint8_t>& out, std::uint32_t v);
void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v);
void PutDouble(std::vector<std::uint8_t>& out, double v);
void PutFloat(std::vector<std::uint8_t>& out, float v);
std::vector<std::uint8_t> IdentityStrings(const std::string& first, const std::string& second);
// Version-1 physical information with four values per curve.
std::vector<std::uint8_t> PhysicalInformationRecord(double minHz, double maxHz, double gyro);
// Version-2 Hall record: flags 0x03, offsets and reference 0x8000, gains 1e-4 T per count.
std::vector<std::uint8_t> HallRecord();
// Version-1 reading of a field: 0x8000 + round(B / 1e-4) per axis, reference 0x8000.
std::vector<std::uint8_t> HallReading(const std::array<double, 3>& tesla);

}  // namespace periph
}  // namespace sim
