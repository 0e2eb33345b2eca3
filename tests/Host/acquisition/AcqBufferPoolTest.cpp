#include "Host/acquisition/AcqBufferPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>

#include "platform/KernelTestSupport.h"

using Korvex::AcqBuffer;
using Korvex::CAcqBufferPool;

namespace {

constexpr std::uint32_t Producer = Korvex::eAcqProducerSide;
constexpr std::uint32_t Reader = Korvex::eAcqReaderSide;

// One producer cycle: fill the current (or a new) buffer with one entry, hand it over.
AcqBuffer* Produce(CAcqBufferPool& pool, double flux) {
    AcqBuffer* buffer = pool.GetCurrentBuffer(Producer);
    if (buffer == nullptr) buffer = pool.TakeBuffer(Producer);
    if (buffer == nullptr) return nullptr;
    buffer->flux[0] = flux;
    buffer->entries = 1;
    pool.ReleaseAndTake(buffer, Producer);
    return buffer;
}

class StoresPool : public ::testing::Test {
protected:
    StoresPool() : pool(3) { pool.AllocateBuffers(4); }
    CAcqBufferPool pool;
};

TEST_F(StoresPool, TwoCyclesWithoutReadLeaveOnlyTheNewest) {
    AcqBuffer* first = Produce(pool, 1.0);
    AcqBuffer* second = Produce(pool, 2.0);
    ASSERT_NE(first, second);
    EXPECT_EQ(first->state, Korvex::eAcqBufferFree);
    EXPECT_EQ(second->state, Korvex::eAcqBufferFull);

    AcqBuffer* read = pool.TakeBuffer(Reader);
    ASSERT_EQ(read, second);
    EXPECT_EQ(read->state, Korvex::eAcqBufferReading);
    EXPECT_EQ(read->flux[0], 2.0);
    EXPECT_EQ(pool.GetCurrentBuffer(Reader), read);
}

TEST_F(StoresPool, ReadReturnedWithNothingNewerIsReadAgain) {
    AcqBuffer* produced = Produce(pool, 7.0);
    AcqBuffer* read = pool.TakeBuffer(Reader);
    ASSERT_EQ(read, produced);
    pool.ReleaseAndSignal(read);
    EXPECT_EQ(read->state, Korvex::eAcqBufferFull);
    EXPECT_EQ(pool.GetCurrentBuffer(Reader), nullptr);

    AcqBuffer* again = pool.TakeBuffer(Reader);
    ASSERT_EQ(again, read);
    EXPECT_EQ(again->entries, 1u);
    EXPECT_EQ(again->flux[0], 7.0);
}

TEST_F(StoresPool, ReadReturnedWhileNewerIsFullGoesToBackOfFreeQueue) {
    AcqBuffer* a = Produce(pool, 1.0);         // free: b c, filling b after the cycle
    AcqBuffer* read = pool.TakeBuffer(Reader);  // a
    ASSERT_EQ(read, a);
    AcqBuffer* b = Produce(pool, 2.0);  // b full, c filling, free empty
    pool.ReleaseAndSignal(read);
    EXPECT_EQ(a->state, Korvex::eAcqBufferFree);
    EXPECT_EQ(pool.TakeBuffer(Reader), b);

    // a is the only free buffer: the producer's next return-and-take gets it.
    AcqBuffer* c = pool.GetCurrentBuffer(Producer);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(pool.ReleaseAndTake(c, Producer), a);
}

TEST_F(StoresPool, CurrentBufferBySide) {
    EXPECT_EQ(pool.GetCurrentBuffer(Producer), nullptr);
    AcqBuffer* filling = pool.TakeBuffer(Producer);
    EXPECT_EQ(pool.GetCurrentBuffer(Producer), filling);
    EXPECT_EQ(pool.GetCurrentBuffer(Reader), nullptr);
    EXPECT_EQ(pool.GetCurrentBuffer(2), nullptr);
    EXPECT_EQ(pool.TakeBuffer(2), nullptr);
    EXPECT_EQ(pool.WaitBuffer(2), nullptr);  // no such side: no wait either
}

// A second take while a side holds a buffer hands that buffer back rather than dropping
// it from the pool: the three buffers stay in circulation.
TEST_F(StoresPool, SecondTakeHandsBackTheHeldBuffer) {
    AcqBuffer* filling = pool.TakeBuffer(Producer);
    EXPECT_EQ(pool.TakeBuffer(Producer), filling);
    Produce(pool, 1.0);
    AcqBuffer* read = pool.TakeBuffer(Reader);
    Produce(pool, 2.0);
    EXPECT_EQ(pool.TakeBuffer(Reader), read);
}

TEST_F(StoresPool, ResetFreesEveryBufferAndNothingIsReadable) {
    Produce(pool, 1.0);
    AcqBuffer* read = pool.TakeBuffer(Reader);
    Produce(pool, 2.0);
    pool.Reset();
    EXPECT_EQ(pool.GetCurrentBuffer(Producer), nullptr);
    EXPECT_EQ(pool.TakeBuffer(Reader), nullptr);
    EXPECT_EQ(read->state, Korvex::eAcqBufferFree);
    // A late return of a buffer from before the reset changes nothing.
    pool.ReleaseAndSignal(read);
    EXPECT_EQ(pool.TakeBuffer(Reader), nullptr);
}

// The buffer the reader holds at a reset stays out of the producer's reach until the reader
// comes back, so its contents never change under the reader.
TEST_F(StoresPool, ResetNeverHandsTheReadBufferToTheProducer) {
    Produce(pool, 1.0);
    AcqBuffer* read = pool.TakeBuffer(Reader);
    ASSERT_NE(read, nullptr);
    pool.Reset();
    for (int i = 0; i < 6; ++i) EXPECT_NE(Produce(pool, 10.0 + i), read);
    EXPECT_EQ(read->flux[0], 1.0);

    EXPECT_EQ(pool.GetCurrentBuffer(Reader), nullptr);  // the reader is done with it
    std::set<AcqBuffer*> seen;
    for (int i = 0; i < 6; ++i) seen.insert(Produce(pool, 20.0 + i));
    EXPECT_EQ(seen.count(read), 1u);
}

// A waiting reader is woken by the producer's return with the new buffer, and by a reset
// with nothing.
TEST_F(StoresPool, WaitingReaderWakes) {
    std::atomic<AcqBuffer*> first{nullptr};
    std::atomic<AcqBuffer*> second{reinterpret_cast<AcqBuffer*>(1)};
    kernel::test::TestThread reader([&] {
        first = pool.WaitBuffer(Reader);
        pool.ReleaseAndSignal(first);
        pool.Reset();
        second = pool.WaitBuffer(Reader);
    });
    kernel::thread_resume(reader.handle);
    ASSERT_TRUE(kernel::test::WaitBlocked(reader.handle));
    AcqBuffer* produced = Produce(pool, 3.0);
    ASSERT_TRUE(kernel::test::WaitUntil([&] { return first.load() != nullptr; }));
    EXPECT_EQ(first.load(), produced);
    ASSERT_TRUE(kernel::test::WaitBlocked(reader.handle));
    pool.Reset();
    ASSERT_TRUE(kernel::test::WaitExited(reader.handle));
    EXPECT_EQ(second.load(), nullptr);
    kernel::thread_delete(reader.handle);
}

std::atomic<bool> readerWanted{false};
bool ReaderWanted() { return readerWanted.load(); }

// A reader no longer wanted does not wait; one that waits is woken by WakeReader once it is
// no longer wanted, and takes once more.
TEST_F(StoresPool, ReaderNoLongerWantedStopsWaiting) {
    readerWanted = false;
    std::atomic<int> returned{0};
    std::atomic<AcqBuffer*> second{reinterpret_cast<AcqBuffer*>(1)};
    kernel::test::TestThread reader([&] {
        pool.WaitBuffer(Reader, -1, &ReaderWanted);
        ++returned;
        readerWanted = true;
        second = pool.WaitBuffer(Reader, -1, &ReaderWanted);
        ++returned;
    });
    kernel::thread_resume(reader.handle);
    ASSERT_TRUE(kernel::test::WaitUntil([&] { return readerWanted.load(); }));
    ASSERT_TRUE(kernel::test::WaitBlocked(reader.handle));
    EXPECT_EQ(returned.load(), 1);
    readerWanted = false;
    pool.WakeReader();
    ASSERT_TRUE(kernel::test::WaitExited(reader.handle));
    EXPECT_EQ(second.load(), nullptr);
    kernel::thread_delete(reader.handle);
}

// A broken wait leaves no stale count behind: the next wait blocks again.
TEST_F(StoresPool, BrokenWaitLeavesNoStaleWakeUp) {
    std::atomic<int> returned{0};
    kernel::test::TestThread reader([&] {
        pool.WaitBuffer(Reader);
        ++returned;
        pool.WaitBuffer(Reader);
        ++returned;
    });
    kernel::thread_resume(reader.handle);
    ASSERT_TRUE(kernel::test::WaitBlocked(reader.handle));
    kernel::thread_release(reader.handle);
    ASSERT_TRUE(kernel::test::WaitUntil([&] { return returned == 1; }));
    ASSERT_TRUE(kernel::test::WaitBlocked(reader.handle));
    EXPECT_EQ(returned.load(), 1);
    pool.Reset();
    ASSERT_TRUE(kernel::test::WaitExited(reader.handle));
    kernel::thread_delete(reader.handle);
}

TEST(StoresBuffer, SecondAllocationKeepsArraysAndCapacity) {
    AcqBuffer buffer;
    buffer.AllocateArrays(4);
    double* flux = buffer.flux;
    Korvex::CKorvexChannel* channel = buffer.channel;
    buffer.AllocateArrays(100);
    EXPECT_EQ(buffer.capacity, 4u);
    EXPECT_EQ(buffer.flux, flux);
    EXPECT_EQ(buffer.channel, channel);
    EXPECT_EQ(buffer.channel[3].count, 0u);
    EXPECT_EQ(buffer.flux[3], 0.0);

    // An array freed alone is allocated again; the capacity stays that of the flux array.
    delete[] buffer.status;
    buffer.status = nullptr;
    buffer.AllocateArrays(100);
    EXPECT_NE(buffer.status, nullptr);
    EXPECT_EQ(buffer.capacity, 4u);
}

// The pool owns its buffers and their arrays: the leak checker of the sanitizer build
// reports any that destruction leaves behind.
TEST(StoresBuffer, PoolDestructionFreesBuffersAndArrays) {
    auto* pool = new CAcqBufferPool(3);
    pool->AllocateBuffers(64);
    Produce(*pool, 1.0);
    pool->TakeBuffer(Reader);
    delete pool;
}

}  // namespace
