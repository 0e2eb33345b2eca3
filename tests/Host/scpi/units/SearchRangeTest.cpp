#include <atomic>
#include <thread>
#include <vector>

#include "Host/parameters/RecursiveMutex.h"
#include "Host/scpi/units/SearchRange.h"
#include "UnitsFixture.h"
#include "platform/kernel/Kernel.h"

namespace Korvex::test {
namespace {

struct Event {
    CParameterNode* node;
    int event;
    bool insideOuterHold;  // the caller's hold on the tree lock was still there
};

class ScpiUnitsSearchRange : public UnitsFixture {
protected:
    void Record()
    {
        for (CParameterNode* node : {g_pSearchLow, g_pSearchHigh, g_pSearchValue}) {
            CParameterNode::Subscribe(node, &ScpiUnitsSearchRange::OnChange, this);
        }
    }
    static void OnChange(CParameterNode* node, int event, void* user)
    {
        const bool held = ParameterTreeLock().Owner() == kernel::thread_self() &&
                          ParameterTreeLock().Depth() > 0;
        static_cast<ScpiUnitsSearchRange*>(user)->events.push_back({node, event, held});
    }
    void Limits(double low, double high, double value)
    {
        SetValue(g_pSearchLow, low);
        SetValue(g_pSearchHigh, high);
        SetValue(g_pSearchValue, value);
    }
    std::vector<Event> events;
};

TEST_F(ScpiUnitsSearchRange, RescaleRewritesBothLimitsAndClampsTheValue)
{
    SetValue(g_pSearchValue, 0.5);
    KorvexRescaleSearchNodes(1.0, 3.0);
    EXPECT_EQ(Value(g_pSearchLow, eAttrMinimum), 1.0);
    EXPECT_EQ(Value(g_pSearchLow, eAttrMaximum), 3.0);
    EXPECT_EQ(Value(g_pSearchLow, eAttrDefault), 1.0);
    EXPECT_EQ(Value(g_pSearchLow), 1.0);
    EXPECT_EQ(Value(g_pSearchHigh, eAttrMinimum), 1.0);
    EXPECT_EQ(Value(g_pSearchHigh, eAttrMaximum), 3.0);
    EXPECT_EQ(Value(g_pSearchHigh, eAttrDefault), 3.0);
    EXPECT_EQ(Value(g_pSearchHigh), 3.0);
    EXPECT_EQ(Value(g_pSearchValue, eAttrMinimum), 1.0);
    EXPECT_EQ(Value(g_pSearchValue, eAttrMaximum), 3.0);
    EXPECT_EQ(Value(g_pSearchValue), 1.0);  // raised to the minimum

    SetValue(g_pSearchValue, 9.0);
    KorvexRescaleSearchNodes(0.5, 2.0);
    EXPECT_EQ(Value(g_pSearchValue), 2.0);  // lowered to the maximum

    SetValue(g_pSearchValue, 1.25);
    KorvexRescaleSearchNodes(1.0, 1.5);
    EXPECT_EQ(Value(g_pSearchValue), 1.25);  // inside: kept
}

TEST_F(ScpiUnitsSearchRange, RescaleNotifiesEachChangedAttributeInsideItsHold)
{
    Limits(0.0, 0.0, 2.0);
    Record();
    KorvexRescaleSearchNodes(1.0, 3.0);
    const std::vector<std::pair<CParameterNode*, int>> expected = {
        {g_pSearchLow, eEventMinimumChanged},   {g_pSearchLow, eEventMaximumChanged},
        {g_pSearchLow, eEventDefaultChanged},   {g_pSearchLow, eEventValueChanged},
        {g_pSearchHigh, eEventMinimumChanged},  {g_pSearchHigh, eEventMaximumChanged},
        {g_pSearchHigh, eEventDefaultChanged},  {g_pSearchHigh, eEventValueChanged},
        {g_pSearchValue, eEventMinimumChanged}, {g_pSearchValue, eEventMaximumChanged},
    };
    ASSERT_EQ(events.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(events[i].node, expected[i].first) << i;
        EXPECT_EQ(events[i].event, expected[i].second) << i;
        EXPECT_TRUE(events[i].insideOuterHold) << i;
    }
    events.clear();
    KorvexRescaleSearchNodes(1.0, 3.0);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(ParameterTreeLock().Depth(), 0);
}

TEST_F(ScpiUnitsSearchRange, LowAboveHighMovesDownToHigh)
{
    Limits(5.0, 3.0, 4.0);
    KorvexUpdateSearchRange();
    EXPECT_EQ(Value(g_pSearchLow), 3.0);
    EXPECT_EQ(Value(g_pSearchHigh), 3.0);
    EXPECT_EQ(Value(g_pSearchValue, eAttrMinimum), 3.0);
    EXPECT_EQ(Value(g_pSearchValue, eAttrMaximum), 3.0);
    EXPECT_EQ(Value(g_pSearchValue), 3.0);

    Limits(1.0, 3.0, 0.5);
    KorvexUpdateSearchRange();
    EXPECT_EQ(Value(g_pSearchLow), 1.0);
    EXPECT_EQ(Value(g_pSearchHigh), 3.0);
    EXPECT_EQ(Value(g_pSearchValue, eAttrMinimum), 1.0);
    EXPECT_EQ(Value(g_pSearchValue, eAttrMaximum), 3.0);
    EXPECT_EQ(Value(g_pSearchValue), 1.0);
}

TEST_F(ScpiUnitsSearchRange, HighBelowLowMovesUpToLow)
{
    Limits(5.0, 3.0, 4.0);
    KorvexUpdateSearchRange2();
    EXPECT_EQ(Value(g_pSearchLow), 5.0);
    EXPECT_EQ(Value(g_pSearchHigh), 5.0);
    EXPECT_EQ(Value(g_pSearchValue, eAttrMinimum), 5.0);
    EXPECT_EQ(Value(g_pSearchValue, eAttrMaximum), 5.0);
    EXPECT_EQ(Value(g_pSearchValue), 5.0);

    Limits(1.0, 3.0, 7.0);
    KorvexUpdateSearchRange2();
    EXPECT_EQ(Value(g_pSearchHigh), 3.0);
    EXPECT_EQ(Value(g_pSearchValue), 3.0);
}

TEST_F(ScpiUnitsSearchRange, UpdateNotifiesOnlyChanges)
{
    Limits(1.0, 3.0, 2.0);
    KorvexUpdateSearchRange();
    Record();
    KorvexUpdateSearchRange();
    KorvexUpdateSearchRange2();
    EXPECT_TRUE(events.empty());

    SetValue(g_pSearchHigh, 1.5);
    events.clear();
    KorvexUpdateSearchRange();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].node, g_pSearchValue);
    EXPECT_EQ(events[0].event, eEventMaximumChanged);
    EXPECT_EQ(events[1].node, g_pSearchValue);
    EXPECT_EQ(events[1].event, eEventValueChanged);
    EXPECT_TRUE(events[0].insideOuterHold);
    EXPECT_EQ(Value(g_pSearchValue), 1.5);
}

// A probe selection on one thread and limit updates on others: every state another
// thread can see under the tree lock is the whole result of one function.
TEST_F(ScpiUnitsSearchRange, ConcurrentRescaleAndUpdatesDoNotInterleave)
{
    KorvexRescaleSearchNodes(1.0, 2.0);
    std::atomic<bool> stop{false};
    std::atomic<int> violations{0};
    auto consistent = [] {
        const double low = Value(g_pSearchLow);
        const double high = Value(g_pSearchHigh);
        const double minimum = Value(g_pSearchValue, eAttrMinimum);
        const double maximum = Value(g_pSearchValue, eAttrMaximum);
        const double value = Value(g_pSearchValue);
        return low <= high && minimum == low && maximum == high && value >= minimum &&
               value <= maximum;
    };

    std::thread selector([&] {
        for (int i = 0; i < 3000; ++i) {
            const double low = 0.1 * (i % 17);
            KorvexRescaleSearchNodes(low, low + 0.05 * (1 + i % 5));
        }
        stop = true;
    });
    std::thread updater([&] {
        for (unsigned i = 0; !stop; ++i) {
            if (i % 2 == 0) {
                KorvexUpdateSearchRange();
            } else {
                KorvexUpdateSearchRange2();
            }
        }
    });
    std::thread checker([&] {
        while (!stop) {
            CRecursiveLock lock(ParameterTreeLock());
            if (!consistent()) ++violations;
        }
    });
    selector.join();
    updater.join();
    checker.join();
    EXPECT_EQ(violations.load(), 0);
    EXPECT_TRUE(consistent());
}

}  // namespace
}  // namespace Korvex::test
