// "/dev/adc0" for the path-sense tests: each read of two bytes gives the next scripted
// sample, then the steady level. Install takes the device name over (putting back whatever
// held it at Remove); Remove leaves no ADC at all when asked.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>

#include "platform/devio/DevIo.h"

namespace korvex_test {

class ScriptedAdc {
public:
    static void Install() {
        std::lock_guard<std::mutex> hold(Mutex());
        devio::Device* existing = devio::devio_lookup("/dev/adc0");
        if (existing != nullptr && existing != &device) {
            previous = existing;
            devio::devio_unregister(existing);
        }
        if (devio::devio_lookup("/dev/adc0") == nullptr) devio::devio_register(&device);
    }
    // Unregisters the scripted device; with restore the previous one comes back.
    static void Remove(bool restore = true) {
        std::lock_guard<std::mutex> hold(Mutex());
        devio::devio_unregister(&device);
        if (restore && previous != nullptr) devio::devio_register(previous);
        if (restore) previous = nullptr;
    }
    static void Script(std::deque<std::uint16_t> samples, std::uint16_t steady) {
        std::lock_guard<std::mutex> hold(Mutex());
        script = std::move(samples);
        level = steady;
        failAfter = -1;
    }
    static void Level(std::uint16_t steady) { Script({}, steady); }
    // Reads answered so far.
    static unsigned Reads() {
        std::lock_guard<std::mutex> hold(Mutex());
        return reads;
    }
    // The read after n more reads fails.
    static void FailAfter(int n) {
        std::lock_guard<std::mutex> hold(Mutex());
        failAfter = n;
    }

private:
    static int Read(devio::Device*, void* buffer, std::uint32_t* length) {
        std::lock_guard<std::mutex> hold(Mutex());
        if (*length != 2) return -22;
        if (failAfter == 0) {
            *length = 0;
            return -5;
        }
        if (failAfter > 0) --failAfter;
        ++reads;
        std::uint16_t sample = level;
        if (!script.empty()) {
            sample = script.front();
            script.pop_front();
        }
        *static_cast<std::uint16_t*>(buffer) = sample;
        return 0;
    }
    static std::mutex& Mutex() {
        static std::mutex m;
        return m;
    }

    static inline const devio::DeviceHandlers handlers{nullptr, &Read, nullptr, nullptr,
                                                       nullptr, nullptr, nullptr};
    static inline devio::Device device{"/dev/adc0", &handlers, nullptr, 0x1000};
    static inline devio::Device* previous = nullptr;
    static inline std::deque<std::uint16_t> script;
    static inline std::uint16_t level = 1023;
    static inline int failAfter = -1;
    static inline unsigned reads = 0;
};

}  // namespace korvex_test
