// The balanced tree: order, balance and stored heights after random insertions and removals
// (checked against std::set), duplicates, the depth bound, failed allocations, move-only
// records keeping their address, and address-ordered pointers.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "engine/AvlBst.h"
#include "engine/os/Allocator.h"

namespace {

using Korvex::CAvlBst;

// A move-only record whose destruction is counted.
struct Record {
    static int live;
    explicit Record(std::uint32_t k = 0) : key(k) { ++live; }
    Record(Record&& other) noexcept : key(other.key), payload(other.payload) { other.payload = 0; ++live; }
    Record& operator=(Record&& other) noexcept
    {
        key = other.key;
        payload = other.payload;
        other.payload = 0;
        return *this;
    }
    Record(const Record&) = delete;
    ~Record() { --live; }
    std::uint32_t key;
    std::uint32_t payload = 0;
};
int Record::live = 0;
bool operator<(const Record& a, const Record& b) { return a.key < b.key; }

std::vector<std::uint32_t> Keys(const CAvlBst<Record, 32ul>& tree)
{
    std::vector<std::uint32_t> keys;
    tree.ForEach([&](const Record& record) {
        keys.push_back(record.key);
        return true;
    });
    return keys;
}

TEST(AvlBst, RandomInsertionsAndRemovalsKeepOrderAndBalance)
{
    {
        CAvlBst<Record, 32ul> tree;
        std::set<std::uint32_t> model;
        std::mt19937 random(12345);
        for (int step = 0; step < 20000; ++step) {
            const std::uint32_t key = random() % 2000 | (random() % 2 ? 0x80000000u : 0);
            if (random() % 3 != 0) {
                bool duplicate = false;
                Record record(key);
                record.payload = key + 1;
                const bool inserted = tree.Insert(std::move(record), &duplicate) != nullptr;
                EXPECT_EQ(inserted, model.insert(key).second);
                EXPECT_EQ(duplicate, !inserted);
            } else {
                Record removed;
                EXPECT_EQ(tree.Remove(Record(key), &removed), model.erase(key) == 1);
                if (removed.key == key && removed.payload != 0) {
                    EXPECT_EQ(removed.payload, key + 1);
                }
            }
            if (step % 500 == 0) {
                ASSERT_TRUE(tree.IsBalanced());
            }
        }
        ASSERT_TRUE(tree.IsBalanced());
        EXPECT_EQ(tree.Count(), model.size());
        EXPECT_EQ(Keys(tree), std::vector<std::uint32_t>(model.begin(), model.end()));
        // Unsigned order: the high keys come last.
        EXPECT_GE(Keys(tree).back(), 0x80000000u);
    }
    EXPECT_EQ(Record::live, 0);
}

TEST(AvlBst, AscendingInsertionsStayLogarithmicAndRecordsKeepTheirAddress)
{
    CAvlBst<Record, 32ul> tree;
    Record* first = tree.Insert(Record(0));
    ASSERT_NE(first, nullptr);
    for (std::uint32_t key = 1; key < 4096; ++key) {
        ASSERT_NE(tree.Insert(Record(key)), nullptr);
    }
    EXPECT_LE(tree.Height(), 13);
    for (std::uint32_t key = 1; key < 4096; key += 2) {
        ASSERT_TRUE(tree.Remove(Record(key)));
    }
    EXPECT_TRUE(tree.IsBalanced());
    EXPECT_EQ(tree.Find(Record(0)), first);
    EXPECT_EQ(tree.Find(Record(1)), nullptr);
    EXPECT_NE(tree.Find(Record(4094)), nullptr);
    EXPECT_FALSE(tree.Remove(Record(1)));
}

TEST(AvlBst, DepthBoundAndFailedAllocationRefuseTheInsertion)
{
    CAvlBst<Record, 3ul> small;  // at most 7 nodes fit three levels
    int inserted = 0;
    for (std::uint32_t key = 0; key < 20; ++key) {
        if (small.Insert(Record(key)) != nullptr) {
            ++inserted;
        }
    }
    EXPECT_GE(inserted, 4);
    EXPECT_LE(inserted, 7);
    EXPECT_LE(small.Height(), 3);
    EXPECT_TRUE(small.IsBalanced());

    CAvlBst<Record, 32ul> tree;
    Record record(5);
    record.payload = 9;
    EngineFailAllocation(1);
    EXPECT_EQ(tree.Insert(std::move(record)), nullptr);
    EngineResetAllocatorHooks();
    EXPECT_EQ(record.payload, 9u);  // untouched
    EXPECT_EQ(tree.Count(), 0u);
    EXPECT_NE(tree.Insert(std::move(record)), nullptr);
}

TEST(AvlBst, PointerRecordsAreOrderedByAddressAndStoredOnce)
{
    int objects[5];
    CAvlBst<int*, 32ul> set;
    for (int round = 0; round < 2; ++round) {
        for (int* object = objects + 4; object >= objects; --object) {
            int* entry = object;
            set.Insert(std::move(entry));
        }
    }
    EXPECT_EQ(set.Count(), 5u);
    std::vector<int*> seen;
    set.ForEach([&](int* entry) {
        seen.push_back(entry);
        return seen.size() < 3;  // stops early
    });
    EXPECT_EQ(seen, (std::vector<int*>{objects, objects + 1, objects + 2}));
    set.Clear();
    EXPECT_TRUE(set.IsEmpty());
}

} // namespace
