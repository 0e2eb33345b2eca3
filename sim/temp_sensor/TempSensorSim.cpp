#include "sim/temp_sensor/TempSensorSim.h"

#include <cmath>
#include <utility>

#include "platform/gpio/Gpio.h"

namespace sim {

namespace {

constexpr std::int16_t kPowerOnTemperature = 25 * 256;
constexpr std::int16_t kPowerOnHysteresis = 75 * 256;
constexpr std::int16_t kPowerOnShutdown = 80 * 256;
constexpr std::uint8_t kConfigMask = 0x1F;
constexpr std::uint8_t kConfigOsActiveHigh = 1u << 2;
constexpr std::uint16_t kResolutionMask = 0xFF80;  // 0.5 degree steps
constexpr long kMinHalfDegrees = -55 * 2;
constexpr long kMaxHalfDegrees = 125 * 2;

}  // namespace

TempSensorSim::TempSensorSim()
    : temperature_(kPowerOnTemperature),
      config_(0),
      t_hyst_(kPowerOnHysteresis),
      t_os_(kPowerOnShutdown) {}

void TempSensorSim::SetCelsius(double celsius) {
    long halves = std::lround(celsius * 2.0);
    if (halves < kMinHalfDegrees) halves = kMinHalfDegrees;
    if (halves > kMaxHalfDegrees) halves = kMaxHalfDegrees;
    std::unique_lock<std::mutex> lock(mutex_);
    temperature_ = static_cast<std::int16_t>(halves * 128);
    UpdateComparator(lock);
}

double TempSensorSim::Celsius() const {
    std::lock_guard<std::mutex> g(mutex_);
    return temperature_ / 256.0;
}

std::uint16_t TempSensorSim::Register(unsigned index) const {
    std::lock_guard<std::mutex> g(mutex_);
    switch (index) {
        case 0: return static_cast<std::uint16_t>(temperature_);
        case 1: return config_;
        case 2: return static_cast<std::uint16_t>(t_hyst_);
        case 3: return static_cast<std::uint16_t>(t_os_);
        default: return 0;
    }
}

bool TempSensorSim::OsAsserted() const {
    std::lock_guard<std::mutex> g(mutex_);
    return os_asserted_;
}

bool TempSensorSim::OsPinLevel() const {
    std::lock_guard<std::mutex> g(mutex_);
    return pin_level_;
}

void TempSensorSim::SetOsHook(OsHook hook) {
    std::unique_lock<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
    OsHook call = hook_;
    const bool level = pin_level_;
    lock.unlock();
    if (call) call(level);
}

void TempSensorSim::PowerOn() {
    std::unique_lock<std::mutex> lock(mutex_);
    temperature_ = kPowerOnTemperature;
    config_ = 0;
    t_hyst_ = kPowerOnHysteresis;
    t_os_ = kPowerOnShutdown;
    pointer_ = 0;
    pointer_phase_ = false;
    byte_index_ = 0;
    os_asserted_ = false;
    temperature_reads_ = 0;
    UpdateComparator(lock);
}

bool TempSensorSim::Start(std::uint8_t /*address7*/, bool read) {
    std::lock_guard<std::mutex> g(mutex_);
    pointer_phase_ = !read;
    byte_index_ = 0;
    if (read && pointer_ == 0) ++temperature_reads_;
    return true;
}

unsigned TempSensorSim::TemperatureReads() const {
    std::lock_guard<std::mutex> g(mutex_);
    return temperature_reads_;
}

bool TempSensorSim::Write(std::uint8_t byte) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (pointer_phase_) {
        pointer_ = byte & 3;
        pointer_phase_ = false;
        byte_index_ = 0;
        return true;
    }
    const unsigned index = byte_index_++;
    switch (pointer_) {
        case 1:
            config_ = byte & kConfigMask;
            break;
        case 2:
        case 3: {
            std::int16_t& reg = pointer_ == 2 ? t_hyst_ : t_os_;
            std::uint16_t value = static_cast<std::uint16_t>(reg);
            if (index == 0)
                value = static_cast<std::uint16_t>((byte << 8) | (value & 0xFF));
            else if (index == 1)
                value = static_cast<std::uint16_t>((value & 0xFF00) | byte);
            reg = static_cast<std::int16_t>(value & kResolutionMask);
            break;
        }
        default:
            break;  // the temperature register is read-only
    }
    UpdateComparator(lock);
    return true;
}

std::uint8_t TempSensorSim::Read(bool /*ack*/) {
    std::lock_guard<std::mutex> g(mutex_);
    const unsigned index = byte_index_++;
    if (pointer_ == 1) return config_;
    const std::int16_t reg = pointer_ == 0 ? temperature_ : pointer_ == 2 ? t_hyst_ : t_os_;
    const std::uint16_t value = static_cast<std::uint16_t>(reg);
    return static_cast<std::uint8_t>(index % 2 == 0 ? value >> 8 : value);
}

void TempSensorSim::Stop() {
    std::lock_guard<std::mutex> g(mutex_);
    pointer_phase_ = false;
}

void TempSensorSim::UpdateComparator(std::unique_lock<std::mutex>& lock) {
    if (temperature_ > t_os_)
        os_asserted_ = true;
    else if (temperature_ < t_hyst_)
        os_asserted_ = false;
    const bool activeHigh = (config_ & kConfigOsActiveHigh) != 0;
    const bool level = os_asserted_ == activeHigh;
    if (level == pin_level_) return;
    pin_level_ = level;
    OsHook call = hook_;
    lock.unlock();
    if (call) call(level);
}

TempSensorSim& BoardTempSensor() {
    static TempSensorSim* sensor = [] {
        auto* s = new TempSensorSim;
        s->SetOsHook([](bool level) {
            platform::gpio::set_input(platform::gpio::Port::F, platform::gpio::kTempAlarmPin,
                                      level);
        });
        platform::soc::i2c_attach(0, TempSensorSim::kAddress, s);
        return s;
    }();
    return *sensor;
}

}  // namespace sim
