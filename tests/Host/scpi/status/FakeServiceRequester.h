// A stand-in for the engine's device: counts service requests, answers a programmed
// status, and notes whether each call came with the status lock held.
#pragma once

#include <atomic>
#include <cstdint>

#include "Host/scpi/status/KorvexScpiStatus.h"
#include "platform/kernel/Kernel.h"

namespace KorvexTest {

class CFakeServiceRequester : public Korvex::IServiceRequester {
public:
    std::uint32_t RequestService() override {
        ++calls;
        if (Korvex::CKorvexScpiStatus::StatusLock().Owner() != kernel::thread_self()) {
            ++callsWithoutLock;
        }
        return result.load();
    }

    std::atomic<int> calls{0};
    std::atomic<int> callsWithoutLock{0};
    std::atomic<std::uint32_t> result{0};
};

}  // namespace KorvexTest
