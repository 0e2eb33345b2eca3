// The threads of this process, as /proc lists them. A joined thread can still be listed for
// a moment: the join returns once the thread has released its stack, before the kernel has
// reaped it. So a count that must come back to a value is awaited, not read once.
#pragma once

#include <dirent.h>

#include <chrono>
#include <cstddef>
#include <thread>

namespace testsupport {

inline std::size_t ThreadCount()
{
    std::size_t count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        closedir(dir);
    }
    return count;
}

// The count once it equals expected, or the last one read when it has not within 20 s.
inline std::size_t ThreadCountOnceAt(std::size_t expected)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::size_t count = ThreadCount();
    while (count != expected && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        count = ThreadCount();
    }
    return count;
}

} // namespace testsupport
