#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "engine/buffer/ByteBuffer.h"
#include "engine/os/Allocator.h"

namespace Korvex {
namespace {

constexpr std::uint32_t Unset = 0x543FF;

TEST(engine_buffer, OwnedStorageStartsWithFullWindow)
{
    CByteBuffer buffer(16);
    ASSERT_EQ(buffer.ConstructionFailed(), 0u);
    EXPECT_EQ(buffer.BytesInWindow(), 16u);
    EXPECT_EQ(buffer.GetCursor(), 0u);
    ASSERT_NE(buffer.GetBlockDescriptor(), nullptr);
    EXPECT_NE(buffer.GetStorage(), nullptr);
    EXPECT_EQ(buffer.GetBlockDescriptor()->storage, buffer.GetStorage());
    EXPECT_EQ(buffer.GetBlockDescriptor()->length, 16u);
}

TEST(engine_buffer, ZeroCapacityIsAValidEmptyWindow)
{
    CByteBuffer buffer(0);
    ASSERT_EQ(buffer.ConstructionFailed(), 0u);
    EXPECT_EQ(buffer.GetLength(), 0u);
    EXPECT_EQ(buffer.BytesInWindow(), 0u);
    EXPECT_EQ(buffer.BytesLeft(), 0u);
    ASSERT_NE(buffer.GetBlockDescriptor(), nullptr);
    EXPECT_EQ(buffer.GetBlockDescriptor()->length, 0u);
    std::uint32_t status = Unset;
    buffer.SetWindow(0, 0, &status);
    EXPECT_EQ(status, 0u);
    std::uint32_t index = 99;
    EXPECT_FALSE(buffer.Find(0, 0, 10, &index));
    EXPECT_EQ(index, 99u);
}

TEST(engine_buffer, EmptyBufferTakesOutsideStorageAndLeavesItUntouched)
{
    std::uint8_t storage[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    {
        CByteBuffer buffer;
        ASSERT_EQ(buffer.ConstructionFailed(), 0u);
        EXPECT_EQ(buffer.GetStorage(), nullptr);
        EXPECT_EQ(buffer.GetLength(), 0u);

        std::uint32_t status = Unset;
        buffer.AttachStorage(storage, sizeof storage, &status);
        EXPECT_EQ(status, 0u);
        EXPECT_EQ(buffer.HasOutsideStorage(), 1u);
        EXPECT_EQ(buffer.GetStorage(), storage);
        EXPECT_EQ(buffer.GetBlockDescriptor()->length, 8u);
        EXPECT_EQ(buffer.GetLength(), 8u);
        EXPECT_EQ(buffer.GetEnd(), 0u); // the user sets the window
        buffer.SetWindow(2, 6, &status);
        EXPECT_EQ(status, 0u);
        EXPECT_EQ(buffer.BytesInWindow(), 4u);
    }
    const std::uint8_t expected[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(std::memcmp(storage, expected, sizeof storage), 0);
}

TEST(engine_buffer, DetachResetsOutsideStorage)
{
    std::uint8_t storage[4] = {};
    CByteBuffer buffer;
    std::uint32_t status = Unset;
    buffer.AttachStorage(storage, sizeof storage, &status);
    buffer.SetWindow(1, 3, &status);
    buffer.Detach();
    EXPECT_EQ(buffer.GetStorage(), nullptr);
    EXPECT_EQ(buffer.GetBlockDescriptor()->length, 0u);
    EXPECT_EQ(buffer.GetLength(), 0u);
    EXPECT_EQ(buffer.GetEnd(), 0u);
    EXPECT_EQ(buffer.HasOutsideStorage(), 0u);
}

TEST(engine_buffer, AttachOverOwnedStorageIsRefused)
{
    std::uint8_t storage[4] = {};
    CByteBuffer buffer(8);
    std::uint8_t* owned = buffer.GetStorage();
    std::uint32_t status = Unset;
    buffer.AttachStorage(storage, sizeof storage, &status);
    EXPECT_EQ(status, 0x54342u);
    EXPECT_EQ(buffer.GetStorage(), owned);
    EXPECT_EQ(buffer.GetLength(), 8u);
    EXPECT_EQ(buffer.GetEnd(), 8u);
    EXPECT_EQ(buffer.HasOutsideStorage(), 0u);
    // Detach keeps owned storage too.
    buffer.Detach();
    EXPECT_EQ(buffer.GetStorage(), owned);
    EXPECT_EQ(buffer.GetLength(), 8u);
}

TEST(engine_buffer, AttachOfNullStorageWithLengthIsRefused)
{
    CByteBuffer buffer;
    std::uint32_t status = Unset;
    buffer.AttachStorage(nullptr, 4, &status);
    EXPECT_EQ(status, 0x54342u);
    EXPECT_EQ(buffer.GetLength(), 0u);
    buffer.AttachStorage(nullptr, 0, &status);
    EXPECT_EQ(status, 0u);
}

TEST(engine_buffer, WindowSettersKeepStartCursorEndInsideTheStorage)
{
    CByteBuffer buffer(10);
    std::uint32_t status = Unset;

    buffer.SetWindow(2, 8, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(buffer.GetCursor(), 2u);

    status = Unset;
    buffer.SetWindow(0, 11, &status); // end beyond the storage
    EXPECT_EQ(status, 0x54344u);
    status = Unset;
    buffer.SetWindow(5, 4, &status); // start beyond end
    EXPECT_EQ(status, 0x54344u);
    EXPECT_EQ(buffer.GetStart(), 2u);
    EXPECT_EQ(buffer.GetEnd(), 8u);

    buffer.SetCursor(8, &status); // the end itself: nothing left
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(buffer.BytesLeft(), 0u);
    status = Unset;
    buffer.SetCursor(9, &status);
    EXPECT_EQ(status, 0x54344u);
    status = Unset;
    buffer.SetCursor(1, &status);
    EXPECT_EQ(status, 0x54344u);
    EXPECT_EQ(buffer.GetCursor(), 8u);

    status = Unset;
    buffer.SetEnd(7, &status); // would leave the cursor behind the end
    EXPECT_EQ(status, 0x54344u);
    buffer.Rewind();
    EXPECT_EQ(buffer.GetCursor(), 2u);
    buffer.SetEnd(10, &status);
    EXPECT_EQ(status, 0u);
    status = Unset;
    buffer.SetEnd(11, &status);
    EXPECT_EQ(status, 0x54344u);
    buffer.SetEnd(2, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(buffer.BytesInWindow(), 0u);
}

TEST(engine_buffer, FindStaysInsideRangeAndStorage)
{
    CByteBuffer buffer(8);
    std::memcpy(buffer.GetStorage(), "ab\ncd\nef", 8);
    std::uint32_t index = 99;

    EXPECT_TRUE(buffer.Find('\n', 2, 4, &index));
    EXPECT_EQ(index, 0u); // first position of the range
    EXPECT_TRUE(buffer.Find('\n', 3, 3, &index));
    EXPECT_EQ(index, 2u); // relative to from
    index = 99;
    EXPECT_FALSE(buffer.Find('\n', 3, 2, &index)); // only beyond from + count
    EXPECT_FALSE(buffer.Find('\n', 0, 0, &index)); // count 0
    EXPECT_FALSE(buffer.Find('a', 1, 0xFFFFFFFFu, &index)); // no wrap to the front
    EXPECT_FALSE(buffer.Find('f', 8, 4, &index)); // from at the length
    EXPECT_FALSE(buffer.Find('f', 0xFFFFFFF0u, 0x20, &index)); // from + count overflows
    EXPECT_EQ(index, 99u);
    EXPECT_TRUE(buffer.Find('f', 6, 0xFFFFFFFFu, &index)); // count clipped to the storage
    EXPECT_EQ(index, 1u);

    CByteBuffer empty;
    EXPECT_FALSE(empty.Find(0, 0, 4, &index));
}

TEST(engine_buffer, FailedConstructionStaysFailedAndFreesWhatItGot)
{
    const std::int64_t live = EngineLiveBlocks();
    {
        EngineFailAllocation(1); // the storage
        CByteBuffer buffer(32);
        EngineResetAllocatorHooks();
        EXPECT_EQ(buffer.ConstructionFailed(), 1u);
        EXPECT_EQ(buffer.GetBlockDescriptor(), nullptr);
        EXPECT_EQ(buffer.GetStorage(), nullptr);
        std::uint8_t outside[4];
        std::uint32_t status = Unset;
        buffer.AttachStorage(outside, sizeof outside, &status);
        EXPECT_EQ(status, 0x54342u);
        buffer.Detach();
        std::uint32_t index = 0;
        EXPECT_FALSE(buffer.Find(0, 0, 4, &index));
    }
    {
        EngineFailAllocation(2); // the descriptor, after the storage was allocated
        CByteBuffer buffer(32);
        EngineResetAllocatorHooks();
        EXPECT_EQ(buffer.ConstructionFailed(), 1u);
        EXPECT_EQ(buffer.GetBlockDescriptor(), nullptr);
    }
    {
        EngineFailAllocation(1);
        CByteBuffer buffer;
        EngineResetAllocatorHooks();
        EXPECT_EQ(buffer.ConstructionFailed(), 1u);
    }
    EXPECT_EQ(EngineLiveBlocks(), live);
}

struct Tracked : CByteBuffer::AttachedObject {
    explicit Tracked(int* destroyed) : m_destroyed(destroyed) {}
    ~Tracked() override { ++*m_destroyed; }
    int* m_destroyed;
};

TEST(engine_buffer, AttachedObjectDiesWithTheBuffer)
{
    int destroyed = 0;
    {
        CByteBuffer buffer(4);
        buffer.SetAttachedObject(new Tracked(&destroyed));
        buffer.SetAttachedObject(new Tracked(&destroyed)); // the first one goes now
        EXPECT_EQ(destroyed, 1);
    }
    EXPECT_EQ(destroyed, 2);
}

} // namespace
} // namespace Korvex
