#include "platform/soc/AdcModel.h"

namespace platform::soc {

namespace {

constexpr std::uint32_t kStart = 1u << 0;
constexpr std::uint32_t kEndOfConversion = 1u << 15;
constexpr std::uint16_t kFloatingInput = 1023;

}  // namespace

std::uint32_t AdcModel::read(addr_t address, unsigned /*width*/) {
    std::lock_guard<std::mutex> g(lock_);
    switch (address) {
        case ADCCON:
            if (busyReads_ > 0) {
                --busyReads_;
                return adccon_;
            }
            return converted_ ? adccon_ | kEndOfConversion : adccon_;
        case ADCTSC:
            return adctsc_;
        case ADCDLY:
            return adcdly_;
        case ADCDAT0:
            return sample_;
        default:
            return 0;
    }
}

void AdcModel::write(addr_t address, std::uint32_t value, unsigned /*width*/) {
    std::lock_guard<std::mutex> g(lock_);
    switch (address) {
        case ADCCON:
            adccon_ = value & 0x7FFE;
            if (value & kStart) {
                lastInput_ = (value >> 3) & 7;
                std::uint16_t level = source_ ? source_(lastInput_) : kFloatingInput;
                sample_ = level & 0x3FF;
                busyReads_ = kAdcBusyReads;
                converted_ = true;
                ++conversions_;
            }
            break;
        case ADCTSC:
            adctsc_ = value & 0x1FF;
            break;
        case ADCDLY:
            adcdly_ = value & 0xFFFF;
            break;
        default:
            break;
    }
}

void AdcModel::set_source(AnalogSource source) {
    std::lock_guard<std::mutex> g(lock_);
    source_ = source;
}

std::uint32_t AdcModel::conversions() {
    std::lock_guard<std::mutex> g(lock_);
    return conversions_;
}

unsigned AdcModel::last_input() {
    std::lock_guard<std::mutex> g(lock_);
    return lastInput_;
}

void AdcModel::power_on() {
    std::lock_guard<std::mutex> g(lock_);
    adccon_ = 0x3FC4;
    adctsc_ = 0x58;
    adcdly_ = 0xFF;
    sample_ = 0;
    busyReads_ = 0;
    converted_ = false;
    lastInput_ = 0;
    conversions_ = 0;
}

AdcModel& adc() {
    static AdcModel* a = new AdcModel;
    return *a;
}

}  // namespace platform::soc
