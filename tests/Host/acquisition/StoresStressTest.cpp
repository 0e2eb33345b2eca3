// Producer, reader and resets at once, a bounded number of rounds. Run under the thread
// sanitizer, these also check that no buffer or intermediate result is written while it is
// read.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Host/acquisition/AcqBufferPool.h"
#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/acquisition/IntermediateResults.h"
#include "StoresTestSupport.h"
#include "platform/kernel/Kernel.h"

using Korvex::AcqBuffer;
using Korvex::CAcqBufferPool;

namespace {

constexpr std::uint32_t Capacity = 8;

TEST(StoresStress, ProducerReaderAndResets) {
    constexpr int Reads = 3000;
    constexpr int Resets = 300;
    constexpr int MaxCycles = 1000000;  // a bound should the reader stall
    CAcqBufferPool pool(3);
    pool.AllocateBuffers(Capacity);
    std::atomic<bool> producing{true};
    std::atomic<bool> readerDone{false};
    std::atomic<int> starved{0};
    std::atomic<int> torn{0};
    std::atomic<int> older{0};
    std::atomic<int> got{0};

    // Produces for as long as the reader reads. Every entry of one buffer carries the
    // cycle number that wrote it.
    std::thread producer([&] {
        for (int cycle = 1; cycle <= MaxCycles && !readerDone; ++cycle) {
            AcqBuffer* buffer = pool.GetCurrentBuffer(Korvex::eAcqProducerSide);
            if (buffer == nullptr) buffer = pool.TakeBuffer(Korvex::eAcqProducerSide);
            if (buffer == nullptr) {  // 3 buffers, one read at most: always one free
                ++starved;
                break;
            }
            std::uint32_t count = static_cast<std::uint32_t>(cycle) % Capacity + 1;
            for (std::uint32_t i = 0; i < count; ++i) {
                buffer->flux[i] = cycle;
                buffer->timestamp[i] = static_cast<std::uint64_t>(cycle);
                buffer->entries = i + 1;
            }
            pool.ReleaseAndTake(buffer, Korvex::eAcqProducerSide);
        }
        producing = false;
    });

    // The reader waits while the producer runs, as the getters do while a trigger is
    // active, and reads each buffer as the reply formatter does, entry by entry.
    std::thread reader([&] {
        double newest = 0;
        for (int n = 0; n < Reads; ++n) {
            AcqBuffer* buffer = pool.GetCurrentBuffer(Korvex::eAcqReaderSide);
            if (buffer == nullptr) {
                buffer = producing ? pool.WaitBuffer(Korvex::eAcqReaderSide)
                                   : pool.TakeBuffer(Korvex::eAcqReaderSide);
            }
            if (buffer != nullptr) {
                ++got;
                double first = buffer->flux[0];
                for (std::uint32_t i = 0; i < buffer->entries; ++i) {
                    std::this_thread::yield();
                    if (buffer->flux[i] != first ||
                        buffer->timestamp[i] != static_cast<std::uint64_t>(first)) {
                        ++torn;
                    }
                }
                if (first < newest) ++older;
                newest = first;
            }
            // End of the message.
            pool.ReleaseAndSignal(pool.GetCurrentBuffer(Korvex::eAcqReaderSide));
        }
        readerDone = true;
    });

    // A number of resets among the cycles; once the producer has stopped, resets also end
    // any wait the reader entered after its last check.
    std::thread resetter([&] {
        for (int n = 0; !readerDone; ++n) {
            if (n < Resets || !producing) pool.Reset();
            std::this_thread::yield();
        }
    });

    reader.join();
    producer.join();
    resetter.join();
    EXPECT_EQ(starved.load(), 0);
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(older.load(), 0);
    EXPECT_GT(got.load(), 0);
}

// Retrievals on two threads and reads on both: the data are only touched under the lock.
TEST(StoresStress, IntermediateReadersAndRetrievals) {
    constexpr int Rounds = 2000;
    Korvex::CIntermediateResults store;
    KorvexTest::CFakeAcquisition fake(store);
    KorvexTest::CSeamInstaller installed(&fake);
    std::atomic<int> mismatched{0};

    auto reader = [&] {
        for (int n = 0; n < Rounds; ++n) {
            if (store.LockForRead() != 0) continue;
            if (store.ifFrequency != store.rfFrequency ||
                store.nmrSignalLength != store.fftBufferLength) {
                ++mismatched;
            }
            if (store.LockForRead() != 0) ++mismatched;  // already the owner
            // End of the command.
            store.ClearReady();
            store.Unlock();
        }
    };
    std::thread first(reader);
    std::thread second(reader);
    first.join();
    second.join();
    EXPECT_EQ(mismatched.load(), 0);
    EXPECT_GT(fake.retrievals.load(), 0);
}

}  // namespace
