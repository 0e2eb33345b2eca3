// Word memory of the simulated DSP, as seen through its host port: sparse 32-bit words
// (unwritten words read 0), cleared by a reset. The external address space from 0x80000000
// only works once the eight external-memory-interface registers hold the board's values;
// before that, writes there are dropped and reads give 0.
#pragma once

#include <cstdint>
#include <unordered_map>

namespace sim {
namespace dsp {

class DspMemory {
public:
    static constexpr std::uint32_t ExternalBase = 0x80000000u;

    // Word access; the two low address bits are ignored.
    std::uint32_t read(std::uint32_t address) const;
    void write(std::uint32_t address, std::uint32_t value);

    void clear();
    // True while the interface registers hold the values that open external memory.
    bool external_ready() const { return external_ready_; }

private:
    void update_external_ready();

    std::unordered_map<std::uint32_t, std::uint32_t> words_;
    bool external_ready_ = false;
};

}  // namespace dsp
}  // namespace sim
