#include "Host/parameters/Thread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/KernelTestSupport.h"

using namespace Korvex;
using namespace kernel::test;

namespace {

// Blocks at once on a semaphore nobody posts, until told to go.
class CBlockingThread : public CThread {
public:
    CBlockingThread() : CThread(15, "Topology Monitor Thread", 9920) {
        kernel::semaphore_init(&go, 0);
    }
    ~CBlockingThread() override {
        kernel::thread_delete(GetHandle());  // no body may run on a half-destroyed object
        kernel::semaphore_destroy(&go);
    }
    kernel::Semaphore go;
    std::atomic<bool> entered{false};
    std::atomic<bool> passed{false};

protected:
    void ThreadMain() override {
        entered = true;
        kernel::semaphore_wait(&go);
        passed = true;
    }
};

class CShortThread : public CThread {
public:
    CShortThread() : CThread(5, "KeepAlive Thread", 8192) {}
    std::atomic<int> runs{0};

protected:
    void ThreadMain() override { ++runs; }
};

}  // namespace

TEST(Thread, StartReturnsEvenWhenTheBodyBlocksAtOnce) {
    CBlockingThread t;
    kernel::ThreadInfo info = kernel::thread_info(t.GetHandle());
    EXPECT_EQ(info.suspend_count, 1);
    EXPECT_EQ(info.stack_size, 9920u);
    EXPECT_STREQ(info.name, "Topology Monitor Thread");
    EXPECT_FALSE(t.entered);
    t.Start();
    ASSERT_TRUE(WaitBlocked(t.GetHandle()));
    EXPECT_TRUE(t.entered);
    EXPECT_FALSE(t.passed);
    kernel::semaphore_post(&t.go);
    ASSERT_TRUE(WaitExited(t.GetHandle()));
    EXPECT_TRUE(t.passed);
}

TEST(Thread, BodyReturningEndsTheThreadOnce) {
    CShortThread t;
    t.Start();
    ASSERT_TRUE(WaitExited(t.GetHandle()));
    EXPECT_EQ(t.runs, 1);
    EXPECT_FALSE(kernel::thread_info(t.GetHandle()).killed);
}

TEST(Thread, DestroyingARunningThreadKillsIt) {
    kernel::handle_t handle = 0;
    {
        CBlockingThread t;
        handle = t.GetHandle();
        t.Start();
        ASSERT_TRUE(WaitBlocked(handle));
    }  // thread killed, stack and semaphores freed (the sanitizers check the rest)
    EXPECT_FALSE(kernel::thread_info(handle).exists);
}

TEST(Thread, DestroyingANeverStartedThreadRunsNothing) {
    kernel::handle_t handle = 0;
    {
        CShortThread t;
        handle = t.GetHandle();
    }
    EXPECT_FALSE(kernel::thread_info(handle).exists);
}
