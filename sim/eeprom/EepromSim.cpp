#include "sim/eeprom/EepromSim.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/soc/I2cSlave.h"

namespace sim {

namespace {

using Image = std::array<std::uint8_t, EepromSim::kSize>;

void put_text(Image& b, std::size_t at, const char* text) {
    std::memcpy(&b[at], text, std::strlen(text));
}

void put_le(Image& b, std::size_t at, std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The identity record the simulated board ships with.
Image default_image() {
    Image b{};
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

}  // namespace

EepromSim::EepromSim() : bytes_(default_image()) {}

bool EepromSim::Start(std::uint8_t /*address7*/, bool read) {
    std::lock_guard<std::mutex> g(mutex_);
    if (read) ++reads_;
    if (kernel::current_time() < busyUntil_) return false;
    if (read && failures_ > 0) {
        --failures_;
        return false;
    }
    pointerPhase_ = !read;
    return true;
}

bool EepromSim::Write(std::uint8_t byte) {
    std::lock_guard<std::mutex> g(mutex_);
    if (pointerPhase_) {
        pointer_ = byte;
        pointerPhase_ = false;
    } else {
        bytes_[pointer_++] = byte;
    }
    return true;
}

std::uint8_t EepromSim::Read(bool /*ack*/) {
    std::lock_guard<std::mutex> g(mutex_);
    return bytes_[pointer_++];
}

void EepromSim::Stop() {
    std::lock_guard<std::mutex> g(mutex_);
    pointerPhase_ = false;
}

void EepromSim::RestoreDefault() {
    std::lock_guard<std::mutex> g(mutex_);
    bytes_ = default_image();
    pointer_ = 0;
    pointerPhase_ = false;
    busyUntil_ = 0;
    failures_ = 0;
    reads_ = 0;
}

bool EepromSim::LoadState(const std::string& state_dir) {
    std::ifstream in(state_dir + "/eeprom.bin", std::ios::binary);
    std::vector<char> data;
    if (in) data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const bool use = data.size() == kSize;
    std::lock_guard<std::mutex> g(mutex_);
    if (use)
        std::memcpy(bytes_.data(), data.data(), kSize);
    else
        bytes_ = default_image();
    return use;
}

void EepromSim::SetBytes(std::size_t offset, const void* data, std::size_t length) {
    std::lock_guard<std::mutex> g(mutex_);
    if (offset > kSize || length > kSize - offset) return;
    std::memcpy(&bytes_[offset], data, length);
}

std::array<std::uint8_t, EepromSim::kSize> EepromSim::Bytes() const {
    std::lock_guard<std::mutex> g(mutex_);
    return bytes_;
}

void EepromSim::BusyFor(kernel::tick_t ticks) {
    std::lock_guard<std::mutex> g(mutex_);
    busyUntil_ = kernel::current_time() + ticks;
}

void EepromSim::FailNextReads(unsigned count) {
    std::lock_guard<std::mutex> g(mutex_);
    failures_ = count;
}

unsigned EepromSim::Reads() const {
    std::lock_guard<std::mutex> g(mutex_);
    return reads_;
}

EepromSim& BoardEeprom() {
    static EepromSim* eeprom = [] {
        auto* e = new EepromSim;
        platform::soc::i2c_attach(0, EepromSim::kAddress, e);
        return e;
    }();
    return *eeprom;
}

namespace eeprom {

void restore_default() { BoardEeprom().RestoreDefault(); }
bool load_state(const std::string& state_dir) { return BoardEeprom().LoadState(state_dir); }
void set_bytes(std::size_t offset, const void* data, std::size_t len) {
    BoardEeprom().SetBytes(offset, data, len);
}
void fail_next_reads(unsigned count) { BoardEeprom().FailNextReads(count); }
unsigned reads() { return BoardEeprom().Reads(); }

}  // namespace eeprom
}  // namespace sim
