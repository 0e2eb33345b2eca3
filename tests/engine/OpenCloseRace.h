// Opens and closes a device session through the engine's API again and again while another
// thread sends device events to the transport's interfaces from outside, as a manager's
// thread does. The pause between open and close is drawn from a seeded generator; the seed
// is printed and KORVEX_RACE_SEED replays it. Meant for the sanitizer builds: a session freed
// while an event is inside it is a heap-use-after-free (ASan) or a race (TSan).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <thread>

#include "engine/api/ZoDeviceApi.h"
#include "engine/api/ZoDeviceInterface.h"
#include "support/TestSeed.h"

namespace racetest {

// Returns the number of events sent meanwhile.
inline std::uint32_t OpenCloseWhileNotified(int cycles, const Korvex::ZoOpenDescriptor& descriptor,
                                            std::uint32_t interfaceArgument, const void* settings,
                                            const std::function<void()>& notify)
{
    std::mt19937 random(testsupport::TestSeed("KORVEX_RACE_SEED"));
    std::atomic<bool> stop{false};
    std::atomic<std::uint32_t> sent{0};
    std::thread notifier([&] {
        while (!stop.load()) {
            notify();
            ++sent;
        }
    });
    for (int i = 0; i < cycles; ++i) {
        std::uint32_t handle = 0;
        std::uint32_t status = 1;
        Korvex::zo_device_open_session(&handle, &descriptor, interfaceArgument, &status);
        if (status != 0) {
            ADD_FAILURE() << "open, cycle " << i << ": " << std::hex << status;
            break;
        }
        Korvex::zo_device_session_open_interface(handle, settings, &status);
        EXPECT_EQ(status, 0u) << "cycle " << i;
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
        Korvex::zo_device_close_session(handle, &status);
        EXPECT_EQ(status, 0u) << "cycle " << i;
    }
    stop = true;
    notifier.join();
    return sent.load();
}

} // namespace racetest
