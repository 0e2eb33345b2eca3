#include "board/adc.h"

#include <cstring>
#include <mutex>

#include "platform/soc/AdcModel.h"
#include "platform/soc/SocBus.h"

namespace {

namespace soc = platform::soc;

constexpr int kEINVAL = 22;

constexpr std::uint32_t kStart = 1u << 0;
constexpr std::uint32_t kReadStart = 1u << 1;
constexpr std::uint32_t kStandby = 1u << 2;
constexpr std::uint32_t kChannelShift = 3;
constexpr std::uint32_t kChannelMask = 7u << kChannelShift;
constexpr std::uint32_t kPrescalerShift = 6;
constexpr std::uint32_t kPrescalerMask = 0xFFu << kPrescalerShift;
constexpr std::uint32_t kPrescalerValue = 0x31;
constexpr std::uint32_t kPrescalerEnable = 1u << 14;
constexpr std::uint32_t kEndOfConversion = 1u << 15;
constexpr std::uint32_t kTouchScreenModeMask = 7;

AdcRecord adc0Record(0);

std::once_flag converterOnce;
kernel::Mutex converterMutex;

AdcRecord* RecordOf(devio::Device* device) { return static_cast<AdcRecord*>(device->priv); }

int adc_get_config(devio::Device*, std::uint32_t, void*, std::uint32_t*) { return -kEINVAL; }
int adc_set_config(devio::Device*, std::uint32_t, const void*, std::uint32_t*) { return -kEINVAL; }

void LockRetrying(kernel::Mutex* mutex) {
    while (!kernel::mutex_lock(mutex)) {
    }
}

std::uint16_t Convert(std::uint32_t channel) {
    std::uint32_t con = soc::read32(soc::ADCCON);
    soc::write32(soc::ADCCON, (con & ~kChannelMask) | ((channel << kChannelShift) & kChannelMask));
    soc::write32(soc::ADCTSC, soc::read32(soc::ADCTSC) & ~kTouchScreenModeMask);
    soc::write32(soc::ADCCON, soc::read32(soc::ADCCON) | kStart);
    while ((soc::read32(soc::ADCCON) & kEndOfConversion) == 0) {
    }
    return static_cast<std::uint16_t>(soc::read32(soc::ADCDAT0) & 0x3FF);
}

}  // namespace

const devio::DeviceHandlers AdcDevHandlers = {
    nullptr, &adc_dev_read, &adc_dev_select, &adc_get_config, &adc_set_config, &adc_dev_init,
    nullptr,
};

devio::Device Adc0Device = {"/dev/adc0", &AdcDevHandlers, &adc0Record, 0x1000};

bool adc_dev_init(devio::Device* device) {
    AdcRecord* record = RecordOf(device);
    kernel::mutex_init(&record->mutex);
    devio::devio_selinit(&record->select_info);
    record->select_armed = 0;
    std::call_once(converterOnce, [] {
        std::uint32_t con = soc::read32(soc::ADCCON);
        con &= ~(kPrescalerMask | kStandby | kReadStart | kStart);
        con |= (kPrescalerValue << kPrescalerShift) | kPrescalerEnable;
        soc::write32(soc::ADCCON, con);
        kernel::mutex_init(&converterMutex);
    });
    return true;
}

int adc_dev_read(devio::Device* device, void* buffer, std::uint32_t* length) {
    if (!length) return -kEINVAL;
    if (!buffer || *length != 2) {
        *length = 0;
        return -kEINVAL;
    }
    AdcRecord* record = RecordOf(device);
    LockRetrying(&converterMutex);
    std::uint16_t sample = Convert(record->channel);
    kernel::mutex_unlock(&converterMutex);
    std::memcpy(buffer, &sample, sizeof sample);
    LockRetrying(&record->mutex);
    if (record->select_armed != 0) {
        record->select_armed = 0;
        devio::devio_selwakeup(&record->select_info);
    }
    kernel::mutex_unlock(&record->mutex);
    return 0;
}

int adc_dev_select(devio::Device* device, int which) {
    if (which != devio::SELECT_READ) return 0;
    AdcRecord* record = RecordOf(device);
    // Recorded before the converter is tried: a read that ends after the try finds the
    // selector armed and wakes it, so no wake-up is lost.
    LockRetrying(&record->mutex);
    devio::devio_selrecord(&record->select_info);
    record->select_armed = 1;
    int ready = 0;
    if (kernel::mutex_trylock(&converterMutex)) {
        kernel::mutex_unlock(&converterMutex);
        record->select_armed = 0;
        ready = 1;
    }
    kernel::mutex_unlock(&record->mutex);
    return ready;
}
