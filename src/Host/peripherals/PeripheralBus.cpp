#include "Host/peripherals/PeripheralBus.h"

#include "board/periph_i2c.h"
#include "board/s3c2410_i2c.h"
#include "platform/kernel/Kernel.h"
#include "platform/soc/SocBus.h"

namespace Korvex {

namespace {

constexpr platform::soc::addr_t GPBCON = 0x56000010;
constexpr platform::soc::addr_t GPBDAT = 0x56000014;
constexpr std::uint32_t kGpb7ConMask = 3u << 14;
constexpr std::uint32_t kGpb7Output = 1u << 14;
constexpr std::uint32_t kGpb7Bit = 1u << 7;
constexpr unsigned kReads = 5;
constexpr unsigned kPolls = 50;
constexpr unsigned kAttempts = 5;
constexpr std::uint8_t kGoodFramesBeforeStep = 20;

// The bus mutex, built during static construction and never destroyed (threads still
// running at exit may hold it).
kernel::Mutex& BusMutex() {
    static kernel::Mutex* const mutex = [] {
        auto* m = new kernel::Mutex;
        kernel::mutex_init(m);
        return m;
    }();
    return *mutex;
}
[[maybe_unused]] const bool busMutexBuilt = (BusMutex(), true);

// Link-layer state; only with the bus lock held.
struct LinkState {
    std::uint8_t tolerant = 0;
    std::uint8_t morePending = 0;
    std::uint8_t goodFrames = 0;
    std::uint32_t clock = kPeripheralClockHigh;
};
LinkState link;

// GPB registers through the SoC bus; a board without a port-B model has no start-up line.
void ModifyGpb(platform::soc::addr_t reg, std::uint32_t mask, std::uint32_t value) {
    if (platform::soc::owner(reg) == nullptr) return;
    platform::soc::write32(reg, (platform::soc::read32(reg) & ~mask) | value);
}

void SetClock(std::uint32_t hz) {
    if (hz == link.clock) return;
    link.clock = hz;
    periph_i2c_set_clock(hz);
}

// One frame's effect on the clock: 21 good frames in a row step it up, a bad one down.
void AdaptClock(bool good) {
    if (good) {
        if (link.goodFrames < kGoodFramesBeforeStep) {
            ++link.goodFrames;
        } else if (link.clock == kPeripheralClockLow) {
            SetClock(kPeripheralClockMid);
        } else if (link.clock == kPeripheralClockMid) {
            SetClock(kPeripheralClockHigh);
        }
    } else {
        link.goodFrames = 0;
        SetClock(link.clock == kPeripheralClockHigh ? kPeripheralClockMid : kPeripheralClockLow);
    }
}

// Up to 5 reads of the status frame; S is left unchanged when none is good.
ePeripheralErrorType StatusPoll(std::uint8_t& status) {
    for (unsigned i = 0; i < kReads; ++i) {
        std::uint8_t buffer[5];
        std::uint8_t* frame = nullptr;
        std::uint32_t length = 0;
        const bool good = periph_i2c_receive_frame(kPeripheralStatusAddress, &frame, buffer,
                                                   sizeof buffer, &length) &&
                          length == sizeof buffer && PeripheralFrameCheck(buffer, sizeof buffer);
        AdaptClock(good);
        if (good) {
            status = buffer[3];
            return (status & 0xF0) ? ePeripheralMorePending : ePeripheralOk;
        }
    }
    return ePeripheralTimeout;
}

bool Succeeded(ePeripheralErrorType result) {
    return result == ePeripheralOk || result == ePeripheralMorePending;
}

}  // namespace

void PeripheralBusLock() { kernel::mutex_lock(&BusMutex()); }

void PeripheralBusUnlock() { kernel::mutex_unlock(&BusMutex()); }

bool PeripheralFrameCheck(const std::uint8_t* buffer, std::uint16_t length) {
    std::uint8_t x = 0;
    for (std::uint16_t i = 0; i < length; ++i) x ^= buffer[i];
    return x == 0;
}

void PeripheralBusInit() {
    CPeripheralBusLock lock;
    ModifyGpb(GPBCON, kGpb7ConMask, 0);
    periph_i2c_set_bus(&s3c2410_i2c_bus);
}

void SetPeripheralTolerantPolling(std::uint8_t on) {
    CPeripheralBusLock lock;
    link.tolerant = on;
}

ePeripheralErrorType PeripheralWaitReadyLocked(std::uint8_t& status, unsigned pollTicks) {
    status = 0;
    ePeripheralErrorType result = ePeripheralOk;
    for (unsigned poll = 0; poll < kPolls; ++poll) {
        if (!link.tolerant && result == ePeripheralTimeout) break;
        result = StatusPoll(status);
        kernel::thread_delay(pollTicks);
        if (status & 1) break;
    }
    if (!(status & 1)) result = ePeripheralTimeout;
    link.morePending = result == ePeripheralMorePending;
    return result;
}

ePeripheralErrorType PeripheralBusTransaction(const std::uint8_t* frame, std::uint32_t& ackCode) {
    std::uint8_t status = 0;
    ePeripheralErrorType result = PeripheralWaitReadyLocked(status);
    if (!Succeeded(result)) return result;
    for (unsigned attempt = 0; attempt < kAttempts; ++attempt) {
        if (!periph_i2c_send_frame(frame)) {
            result = ePeripheralWriteFailure;
        } else {
            std::uint8_t ack = 0;
            if (!link.tolerant) {
                result = StatusPoll(ack);
            } else {
                for (unsigned poll = 0; poll < kReads; ++poll) {
                    result = StatusPoll(ack);
                    kernel::thread_delay(10);
                    if (result != ePeripheralTimeout) break;
                }
            }
            link.morePending = result == ePeripheralMorePending;
            if (result != ePeripheralTimeout) {
                ackCode = ack & 0x0E;
                if (ackCode == 4) result = ePeripheralWriteFailure;
            }
        }
        AdaptClock(Succeeded(result));
        if (Succeeded(result)) break;
    }
    return result;
}

bool PeripheralReadFrameLocked(std::uint8_t addressByte, std::vector<std::uint8_t>& frame,
                               std::uint32_t expected) {
    for (unsigned i = 0; i < kReads; ++i) {
        std::uint8_t* received = nullptr;
        std::uint32_t length = 0;
        const bool good = periph_i2c_receive_frame(addressByte, &received, nullptr, 0, &length) &&
                          length <= 0xFFFF && (expected == 0 || length == expected) &&
                          PeripheralFrameCheck(received, static_cast<std::uint16_t>(length));
        AdaptClock(good);
        if (good) {
            // The module buffer is overwritten by the next read: the caller gets a copy.
            frame.assign(received, received + length);
            return true;
        }
    }
    frame.clear();
    return false;
}

int PeripheralErrorToCode(ePeripheralErrorType result) {
    switch (result) {
    case ePeripheralOk:
    case ePeripheralMorePending:
        return 0;
    case ePeripheralTimeout:
        return 12;
    case ePeripheralWriteFailure:
        return 11;
    default:
        return 47;
    }
}

int PeripheralWaitReady(std::uint8_t* status) {
    CPeripheralBusLock lock;
    std::uint8_t s = 0;
    const ePeripheralErrorType result = PeripheralWaitReadyLocked(s);
    if (status) *status = s;
    return PeripheralErrorToCode(result);
}

int PeripheralTransact(const std::uint8_t* frame) {
    CPeripheralBusLock lock;
    std::uint32_t ack = 0;
    return PeripheralErrorToCode(PeripheralBusTransaction(frame, ack));
}

int PeripheralReadReply(std::uint8_t addressByte, std::vector<std::uint8_t>& frame) {
    CPeripheralBusLock lock;
    return PeripheralReadFrameLocked(addressByte, frame) ? 0 : 12;
}

void PeripheralStartup(bool waitReady) {
    static const std::uint8_t kStartupFrame[] = {0x20, 0x00, 0x04, 0x24};
    CPeripheralBusLock lock;
    std::uint32_t ack = 0;
    PeripheralBusTransaction(kStartupFrame, ack);
    ModifyGpb(GPBDAT, kGpb7Bit, 0);
    ModifyGpb(GPBCON, kGpb7ConMask, kGpb7Output);
    kernel::thread_delay(20);
    ModifyGpb(GPBCON, kGpb7ConMask, 0);
    kernel::thread_delay(5);
    if (!waitReady) return;
    std::uint8_t status = 0;
    PeripheralWaitReadyLocked(status);
    link.morePending = 1;
    link.clock = kPeripheralClockHigh;
    periph_i2c_set_clock(kPeripheralClockHigh);
}

std::uint32_t PeripheralBusClock() {
    CPeripheralBusLock lock;
    return link.clock;
}

bool PeripheralMorePending() {
    CPeripheralBusLock lock;
    return link.morePending != 0;
}

}  // namespace Korvex
