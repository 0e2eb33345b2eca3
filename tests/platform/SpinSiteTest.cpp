#include "platform/kernel/WakeSemaphore.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

// A thread kept on one CPU is told not to spin (its waker could only run once it stops); on
// two CPUs, to spin.
TEST(SpinSite, SpinsOnlyWhenTheAffinityHasSeveralCpus) {
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
    }
    const struct {
        std::size_t cpus;
        bool spins;
    } cases[] = {{1, false}, {2, true}};
    for (const auto& c : cases) {
        if (cpus.size() < c.cpus) continue;  // a host that lets this process run on one CPU only
        bool spins = !c.spins;
        std::thread([&] {
            cpu_set_t mask;
            CPU_ZERO(&mask);
            for (std::size_t i = 0; i < c.cpus; ++i) CPU_SET(cpus[i], &mask);
            ASSERT_EQ(pthread_setaffinity_np(pthread_self(), sizeof mask, &mask), 0);
            spins = kernel::AffinityAllowsSeveralCpus();
        }).join();
        EXPECT_EQ(spins, c.spins) << c.cpus << " CPUs";
    }
}

// A place whose waker comes at once spins no longer than a short floor, down from its bound.
TEST(SpinSite, TheBoundFollowsAWakerThatComesAtOnce) {
    if (!kernel::SpinningPays()) GTEST_SKIP() << "this process may run on one CPU only";
    kernel::SpinSite site(std::chrono::microseconds(50));
    for (int i = 0; i < 200; ++i) {
        int looks = 0;
        EXPECT_TRUE(site.Spin([&] { return ++looks == 3; }));
    }
    EXPECT_LE(site.Bound().count(), 5000);  // ns
}

}  // namespace
