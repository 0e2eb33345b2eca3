#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/containers/LinkedList.h"
#include "engine/containers/OrderedList.h"
#include "engine/containers/SortedArray.h"
#include "engine/os/Allocator.h"

namespace Korvex {
namespace {

template <typename T>
std::vector<T> Contents(const CLinkedList<T>& list)
{
    std::vector<T> values;
    typename CLinkedList<T>::Iterator it;
    CLinkedList<T>::ResetIterator(&it);
    T value{};
    while (list.Next(&it, &value)) {
        values.push_back(value);
    }
    return values;
}

TEST(engine_containers, LinkedListPushPopKeepsHeadAndTail)
{
    CLinkedList<int> list;
    EXPECT_TRUE(list.IsEmpty());
    int value = 0;
    EXPECT_FALSE(list.PopFront(&value));

    ASSERT_TRUE(list.PushBack(2));
    ASSERT_TRUE(list.PushFront(1));
    ASSERT_TRUE(list.PushBack(3));
    EXPECT_EQ(Contents(list), (std::vector<int>{1, 2, 3}));

    ASSERT_TRUE(list.PopFront(&value));
    EXPECT_EQ(value, 1);
    ASSERT_TRUE(list.PopFront(&value));
    ASSERT_TRUE(list.PopFront(&value));
    EXPECT_EQ(value, 3);
    EXPECT_TRUE(list.IsEmpty());
    // The tail was cleared with the last node: a new PushBack becomes the head too.
    ASSERT_TRUE(list.PushBack(7));
    EXPECT_EQ(Contents(list), (std::vector<int>{7}));
    ASSERT_TRUE(list.PopFront(&value));
    ASSERT_TRUE(list.PushFront(8));
    ASSERT_TRUE(list.PushBack(9));
    EXPECT_EQ(Contents(list), (std::vector<int>{8, 9}));
}

TEST(engine_containers, LinkedListInsertAfter)
{
    CLinkedList<int> list;
    ASSERT_TRUE(list.InsertAfter(nullptr, 2)); // as PushFront, also the tail
    ASSERT_TRUE(list.InsertAfter(nullptr, 1));
    CLinkedList<int>::Iterator it = nullptr;
    int value = 0;
    ASSERT_TRUE(list.Next(&it, &value));
    ASSERT_TRUE(list.Next(&it, &value));
    ASSERT_EQ(value, 2);
    ASSERT_TRUE(list.InsertAfter(it, 4)); // after the tail: the new tail
    ASSERT_TRUE(list.InsertAfter(it, 3));
    ASSERT_TRUE(list.PushBack(5));
    EXPECT_EQ(Contents(list), (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST(engine_containers, LinkedListRemoveFixesHeadAndTail)
{
    CLinkedList<int> list;
    for (int v : {1, 2, 3, 2}) {
        ASSERT_TRUE(list.PushBack(v));
    }
    EXPECT_FALSE(list.Remove(9));
    EXPECT_TRUE(list.Remove(2)); // the first equal value only
    EXPECT_EQ(Contents(list), (std::vector<int>{1, 3, 2}));
    EXPECT_TRUE(list.Remove(2)); // the tail: its predecessor becomes the tail
    ASSERT_TRUE(list.PushBack(4));
    EXPECT_EQ(Contents(list), (std::vector<int>{1, 3, 4}));
    EXPECT_TRUE(list.Remove(1)); // the head
    EXPECT_TRUE(list.Remove(3));
    EXPECT_TRUE(list.Remove(4));
    EXPECT_TRUE(list.IsEmpty());
    ASSERT_TRUE(list.PushBack(5));
    EXPECT_EQ(Contents(list), (std::vector<int>{5}));
}

// Padding between a and b holds whatever the stack held: equal records must still match.
struct Padded {
    std::uint8_t a;
    std::uint32_t b;
    bool operator==(const Padded& other) const { return a == other.a && b == other.b; }
};

TEST(engine_containers, LinkedListRemoveComparesValuesNotBytes)
{
    CLinkedList<Padded> list;
    Padded stored;
    std::memset(&stored, 0xAA, sizeof stored);
    stored.a = 1;
    stored.b = 2;
    ASSERT_TRUE(list.PushBack(stored));
    Padded probe;
    std::memset(&probe, 0x55, sizeof probe);
    probe.a = 1;
    probe.b = 2;
    EXPECT_TRUE(list.Remove(probe));
    EXPECT_TRUE(list.IsEmpty());
}

TEST(engine_containers, LinkedListDestroyFreesNodesNotValues)
{
    int a = 1;
    int b = 2;
    CLinkedList<int*> list;
    ASSERT_TRUE(list.PushBack(&a));
    ASSERT_TRUE(list.PushBack(&b));
    list.Destroy(); // LSan reports the nodes if they stay
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(a + b, 3);
    ASSERT_TRUE(list.PushBack(&a));
    // The destructor frees the rest.
}

TEST(engine_containers, LinkedListOutOfMemoryLeavesListUnchanged)
{
    const std::int64_t live = EngineLiveBlocks();
    {
        CLinkedList<int> list;
        ASSERT_TRUE(list.PushBack(1));
        ASSERT_TRUE(list.PushBack(3));
        CLinkedList<int>::Iterator first = nullptr;
        int value = 0;
        ASSERT_TRUE(list.Next(&first, &value));

        EngineFailAllocation(1);
        EXPECT_FALSE(list.PushBack(9));
        EngineFailAllocation(1);
        EXPECT_FALSE(list.PushFront(9));
        EngineFailAllocation(1);
        EXPECT_FALSE(list.InsertAfter(first, 9));
        EngineResetAllocatorHooks();
        EXPECT_EQ(Contents(list), (std::vector<int>{1, 3}));
        ASSERT_TRUE(list.PushBack(4)); // the tail is still right
        EXPECT_EQ(Contents(list), (std::vector<int>{1, 3, 4}));
    }
    EXPECT_EQ(EngineLiveBlocks(), live);
}

TEST(engine_containers, SortedArrayAllocationFailure)
{
    EngineFailAllocation(1);
    std::uint32_t status = 0x543FF;
    CSortedArray<int> array(4, &status);
    EngineResetAllocatorHooks();
    EXPECT_EQ(status, 0x543F0u);
    EXPECT_EQ(array.GetCapacity(), 0u);
    status = 0;
    array.Insert(1, 1, &status);
    EXPECT_EQ(status, 0x543F1u);
    EXPECT_EQ(array.GetCount(), 0u);

    CSortedArray<int> none(0, &status); // capacity 0 allocates nothing
    EXPECT_EQ(status, 0u);
    none.Insert(1, 1, &status);
    EXPECT_EQ(status, 0x543F1u);
}

TEST(engine_containers, SortedArrayKeepsEqualKeysInArrivalOrder)
{
    std::uint32_t status = 0x543FF;
    CSortedArray<char> array(4, &status);
    ASSERT_EQ(status, 0u);
    array.Insert('a', 5, &status);
    array.Insert('b', 3, &status);
    array.Insert('c', 5, &status);
    array.Insert('d', 1, &status);
    ASSERT_EQ(status, 0u);
    ASSERT_EQ(array.GetCount(), 4u);
    const char expectedValues[] = {'d', 'b', 'a', 'c'};
    const std::uint32_t expectedKeys[] = {1, 3, 5, 5};
    for (std::uint32_t i = 0; i < 4; ++i) {
        ASSERT_NE(array.At(i), nullptr);
        EXPECT_EQ(array.At(i)->value, expectedValues[i]);
        EXPECT_EQ(array.At(i)->key, expectedKeys[i]);
    }
}

TEST(engine_containers, SortedArrayBounds)
{
    std::uint32_t status = 0;
    CSortedArray<int> array(2, &status);
    array.Insert(10, 1, &status);
    array.Insert(20, 2, &status);
    ASSERT_EQ(status, 0u);
    array.Insert(5, 0, &status); // full: refused, unchanged
    EXPECT_EQ(status, 0x543F1u);
    EXPECT_EQ(array.GetCount(), 2u);
    EXPECT_EQ(array.At(0)->value, 10);
    EXPECT_EQ(array.At(1)->value, 20);

    array.RemoveAt(0); // a held failure does not stop removal
    EXPECT_EQ(array.GetCount(), 1u);
    array.Insert(30, 3, &status); // a held failure makes Insert do nothing
    EXPECT_EQ(array.GetCount(), 1u);

    EXPECT_EQ(array.At(1), nullptr);
    array.RemoveAt(1); // past the count: nothing
    array.RemoveAt(0xFFFFFFFFu);
    EXPECT_EQ(array.GetCount(), 1u);
    EXPECT_EQ(array.At(0)->value, 20);

    array.Clear();
    EXPECT_EQ(array.GetCount(), 0u);
    EXPECT_EQ(array.At(0), nullptr);
}

struct Record {
    std::uint32_t key;
    std::int32_t priority;
    Record* next;
};

std::vector<std::uint32_t> Keys(const COrderedList<Record>& list)
{
    std::vector<std::uint32_t> keys;
    for (Record* r = list.GetHead(); r != nullptr; r = r->next) {
        keys.push_back(r->key);
    }
    return keys;
}

TEST(engine_containers, OrderedListReorderMovesBehindTheHead)
{
    Record r1{1, 0, nullptr};
    Record r2{2, 0, nullptr};
    Record r3{3, 0, nullptr};
    COrderedList<Record> list;
    list.PushBack(&r1);
    list.PushBack(&r2);
    list.PushBack(&r3);

    list.Reorder(3, 1);
    EXPECT_EQ(Keys(list), (std::vector<std::uint32_t>{1, 3, 2}));
    EXPECT_EQ(r3.priority, 1);
    EXPECT_EQ(list.GetTail(), &r2); // the moved tail left its place to its predecessor

    list.Reorder(1, 1); // the head: only its priority changes
    EXPECT_EQ(r1.priority, 1);
    EXPECT_EQ(Keys(list), (std::vector<std::uint32_t>{1, 3, 2}));

    Record r4{4, 0, nullptr};
    list.PushBack(&r4);
    EXPECT_EQ(list.GetTail(), &r4);
    list.Reorder(4, 1); // behind r3 (equal priority keeps arrival order)
    EXPECT_EQ(Keys(list), (std::vector<std::uint32_t>{1, 3, 4, 2}));
    EXPECT_EQ(list.GetTail(), &r2);

    list.Reorder(2, 1); // the record in front is as high: stays
    EXPECT_EQ(Keys(list), (std::vector<std::uint32_t>{1, 3, 4, 2}));
    list.Reorder(9, 5); // absent: nothing
    EXPECT_EQ(Keys(list), (std::vector<std::uint32_t>{1, 3, 4, 2}));
}

TEST(engine_containers, OrderedListUnlink)
{
    Record r1{1, 0, nullptr};
    Record r2{2, 0, nullptr};
    Record r3{3, 0, nullptr};
    COrderedList<Record> list;
    list.PushBack(&r1);
    list.PushBack(&r2);
    list.PushBack(&r3);

    EXPECT_EQ(list.Unlink(7), nullptr);
    EXPECT_EQ(list.Find(2), &r2);
    EXPECT_EQ(list.Unlink(3), &r3);
    EXPECT_EQ(r3.next, nullptr);
    EXPECT_EQ(list.GetTail(), &r2);
    EXPECT_EQ(list.Unlink(1), &r1);
    EXPECT_EQ(r1.next, nullptr);
    EXPECT_EQ(list.GetHead(), &r2);
    EXPECT_EQ(list.Unlink(2), &r2);
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(list.GetTail(), nullptr);
    list.PushBack(&r3);
    EXPECT_EQ(Keys(list), (std::vector<std::uint32_t>{3}));
}

} // namespace
} // namespace Korvex
