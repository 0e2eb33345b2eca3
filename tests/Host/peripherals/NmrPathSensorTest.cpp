// The NMR path sense: the bands of the averaged reading, every boundary, the running
// average that follows the last samples, and the failures that read as state 0.
#include <gtest/gtest.h>

#include "Host/peripherals/NmrPathSensor.h"
#include "ScriptedAdc.h"

namespace korvex_test {
namespace {

class NmrPathSensor : public ::testing::Test {
protected:
    void SetUp() override { ScriptedAdc::Install(); }
    void TearDown() override { ScriptedAdc::Remove(); }

    static std::uint32_t StateAt(std::uint16_t level) {
        ScriptedAdc::Level(level);
        std::uint32_t state = 99;
        EXPECT_EQ(Korvex::ReadNmrPathState(state), 0);
        return state;
    }
};

TEST_F(NmrPathSensor, BandsAndEveryBoundary) {
    const struct {
        std::uint16_t level;
        std::uint32_t state;
    } rows[] = {{1023, 0}, {700, 1}, {500, 2}, {300, 3}, {100, 0},  {901, 1}, {902, 0},
                {674, 2},  {675, 1}, {454, 3}, {455, 2}, {188, 0}, {189, 3}, {0, 0}, {2000, 0}};
    for (const auto& row : rows) EXPECT_EQ(StateAt(row.level), row.state) << row.level;
}

TEST_F(NmrPathSensor, RunningAverageFollowsTheLastSamples) {
    // Nineteen samples of 1000 and one of 0 average to 500.
    ScriptedAdc::Script(std::deque<std::uint16_t>(19, 1000), 0);
    std::uint32_t state = 99;
    EXPECT_EQ(Korvex::ReadNmrPathState(state), 0);
    EXPECT_EQ(state, 2u);
    // The first sample starts the average: one 0 then nineteen of 700 stay in band 1.
    std::deque<std::uint16_t> samples(1, 0);
    ScriptedAdc::Script(samples, 700);
    EXPECT_EQ(Korvex::ReadNmrPathState(state), 0);
    EXPECT_EQ(state, 1u);
}

TEST_F(NmrPathSensor, FailuresReadAsStateZero) {
    ScriptedAdc::Level(700);
    ScriptedAdc::FailAfter(5);
    std::uint32_t state = 99;
    EXPECT_EQ(Korvex::ReadNmrPathState(state), 12);
    EXPECT_EQ(state, 0u);

    ScriptedAdc::Remove(false);
    for (int i = 0; i < 2; ++i) {
        state = 99;
        EXPECT_EQ(Korvex::ReadNmrPathState(state), 9);
        EXPECT_EQ(state, 0u);
    }
    ScriptedAdc::Install();
}

}  // namespace
}  // namespace korvex_test
