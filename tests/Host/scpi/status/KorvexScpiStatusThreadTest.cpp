#include "Host/scpi/status/KorvexScpiStatus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "FakeServiceRequester.h"

using Korvex::CKorvexScpiStatus;
using S = Korvex::CKorvexScpiStatus;

namespace {

// Blocks come and go while other threads walk the session list and set instrument bits.
TEST(ScpiStatusThreads, CreateDestroyWhileWalking) {
    KorvexTest::CFakeServiceRequester device;
    std::atomic<bool> done{false};
    std::atomic<int> walks{0};
    std::atomic<int> sets{0};

    std::thread walker([&] {
        while (!done) {
            S::UpdateAllSessions();
            ++walks;
        }
    });
    std::thread setter([&] {
        for (std::uint8_t on = 1; !done; on ^= 1) {
            S::SetInstrumentStatusBit(18, on, 0);  // all sessions
            S::SetInstrumentStatusBit(16, on, 0);  // instrument block only
            S::SetInstrumentStatusBit(49, 1, 1);   // all sessions, deferred pulse
            ++sets;
        }
        S::SetInstrumentStatusBit(18, 0, 0);
    });

    // On a loaded machine the walker may only meet a live block after many rounds.
    for (int i = 0; i < 2000 || walks < 10 || sets < 10 || (device.calls == 0 && i < 400000); ++i) {
        S::MavSource pending{nullptr};
        auto block = std::make_unique<CKorvexScpiStatus>(&device, &pending, &Korvex::GlobalBlock());
        std::uint16_t value = 0xBF;
        S::SetEnable(block.get(), Korvex::eRegStatusByte, value, 0);
        value = 0x7FFF;
        S::SetEnable(block.get(), Korvex::eRegOperation, value, 0);
        S::PostError(block.get(), 12, 1);
        block.reset();
    }
    done = true;
    walker.join();
    setter.join();
    EXPECT_GT(device.calls, 0);
    EXPECT_EQ(device.callsWithoutLock, 0);
}

// Bits set on another thread, each once, are read and cleared while they arrive: every
// rising edge shows up in exactly one read.
TEST(ScpiStatusThreads, ReadAndClearSeesEveryEdgeOnce) {
    const std::uint32_t rows[] = {29, 30, 31, 32, 33, 35, 36, 37, 42, 43};  // QUEStionable
    std::uint16_t all = 0;
    for (std::uint32_t row : rows) all |= Korvex::StatusBitTable[row].mask;

    constexpr int Rounds = 300;
    std::vector<std::unique_ptr<CKorvexScpiStatus>> blocks;
    for (int i = 0; i < Rounds; ++i) {
        blocks.push_back(std::make_unique<CKorvexScpiStatus>(nullptr, nullptr, nullptr));
    }
    std::atomic<int> finished{0};  // rounds whose bits are all set

    std::thread writer([&] {
        for (int i = 0; i < Rounds; ++i) {
            for (std::uint32_t row : rows) {
                S::SetStatusBit(blocks[i].get(), row, 1, 0);
                std::this_thread::yield();
            }
            finished = i + 1;
        }
    });

    int duplicated = 0;
    int incomplete = 0;
    for (int i = 0; i < Rounds; ++i) {
        std::uint16_t seen = 0;
        for (;;) {
            const bool last = finished.load() > i;
            const std::uint16_t value = S::ReadAndClearEvent(blocks[i].get(), Korvex::eRegQuestionable);
            if (seen & value) ++duplicated;
            seen |= value;
            if (last) break;
        }
        if (seen != all) ++incomplete;
    }
    writer.join();
    EXPECT_EQ(duplicated, 0);
    EXPECT_EQ(incomplete, 0);
}

// The pending-response pointer changes on a host thread while the parser thread evaluates.
TEST(ScpiStatusThreads, MessageAvailableReadWithoutHostMutex) {
    KorvexTest::CFakeServiceRequester device;
    S::MavSource pending{nullptr};
    CKorvexScpiStatus block(&device, &pending, &Korvex::GlobalBlock());
    std::uint16_t value = 0x10;
    S::SetEnable(&block, Korvex::eRegStatusByte, value, 0);
    int responses[2] = {0, 0};
    std::atomic<bool> done{false};

    std::thread host([&] {
        for (int i = 0; i < 20000; ++i) pending.store(i % 3 ? &responses[i & 1] : nullptr);
        pending.store(nullptr);
        done = true;
    });
    while (!done) {
        S::UpdateAllSessions();
        (void)S::ReadStatusByte(&block, 1);
    }
    host.join();
    S::UpdateAllSessions();
    EXPECT_EQ(S::ReadStatusByte(&block, 0) & 0x10, 0);
    pending.store(&responses[0]);
    S::UpdateAllSessions();
    EXPECT_EQ(S::ReadStatusByte(&block, 0), 0x10 | 0x40);
    EXPECT_EQ(device.callsWithoutLock, 0);
}

}  // namespace
