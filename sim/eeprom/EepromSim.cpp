#include "sim/eeprom/EepromSim.h"

#include <array>
#include <cstring>
#include <mutex>

namespace sim {
namespace eeprom {

namespace {

struct State {
    std::mutex lock;
    std::array<std::uint8_t, Size> bytes{};
    unsigned failures = 0;
    unsigned reads = 0;
};

void put_text(std::array<std::uint8_t, Size>& b, std::size_t at, const char* text) {
    std::memcpy(&b[at], text, std::strlen(text));
}

void put_le(std::array<std::uint8_t, Size>& b, std::size_t at, std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The identity record the simulated board ships with.
std::array<std::uint8_t, Size> default_image() {
    std::array<std::uint8_t, Size> b{};
    put_text(b, 8, "2.0");
    put_text(b, 16, "1.12.26");
    put_text(b, 24, "09:30:00");
    put_text(b, 36, "Korvex Instruments");
    put_text(b, 68, "KX2026");
    put_le(b, 76, 12345, 4);
    put_text(b, 80, "1.12.26");
    put_text(b, 88, "2.12.26");
    put_text(b, 96, "1.0");
    put_le(b, 108, 1000000, 4);
    put_le(b, 112, 300000000, 4);
    const std::uint8_t mac[6] = {0x02, 0x4b, 0x56, 0x00, 0x30, 0x39};  // locally administered
    std::memcpy(&b[116], mac, sizeof mac);
    put_le(b, 124, 0x1d6b, 2);
    put_le(b, 126, 0x4b58, 2);
    put_text(b, 128, "1.00");
    put_le(b, 136, 0x0100, 2);
    return b;
}

State& S() {
    static State* s = [] {
        auto* st = new State;
        st->bytes = default_image();
        return st;
    }();
    return *s;
}

}  // namespace

bool read(std::size_t offset, std::uint8_t* out, std::size_t len) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    ++s.reads;
    if (s.failures > 0) {
        --s.failures;
        return false;
    }
    if (!out || offset > Size || len > Size - offset) return false;
    std::memcpy(out, &s.bytes[offset], len);
    return true;
}

bool write(std::size_t offset, const std::uint8_t* data, std::size_t len) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    if (!data || offset > Size || len > Size - offset) return false;
    std::memcpy(&s.bytes[offset], data, len);
    return true;
}

void restore_default() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    s.bytes = default_image();
    s.failures = 0;
    s.reads = 0;
}

void set_bytes(std::size_t offset, const void* data, std::size_t len) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    if (offset > Size || len > Size - offset) return;
    std::memcpy(&s.bytes[offset], data, len);
}

void fail_next_reads(unsigned count) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    s.failures = count;
}

unsigned reads() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    return s.reads;
}

}  // namespace eeprom
}  // namespace sim
