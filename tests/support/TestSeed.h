// The seed of a randomized test: the value of the environment variable name when it is set
// (to replay a run), else a fresh one. Printed as NAME=seed so that a failing run can be
// replayed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace testsupport {

inline std::uint32_t TestSeed(const char* name)
{
    const char* given = std::getenv(name);
    const std::uint32_t seed = given != nullptr
                                   ? static_cast<std::uint32_t>(std::strtoul(given, nullptr, 10))
                                   : std::random_device{}();
    std::printf("%s=%u\n", name, seed);
    std::fflush(stdout);
    return seed;
}

} // namespace testsupport
