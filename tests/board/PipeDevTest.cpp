// Message pipes through the device table: blocking, flushing, select, broken waits and
// whole messages from several writers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "board/dsp_devices.h"
#include "board/pipe_dev.h"
#include "platform/devio/DevIo.h"
#include "platform/kernel/Kernel.h"

namespace {

using namespace devio;

class PipeDevFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(board_register_dsp_devices());
        msg = devio_open("/dev/pipeHostAcqMsg", OPEN_READ_WRITE);
        abort = devio_open("/dev/pipeHostAcqAbort", OPEN_READ_WRITE);
        ASSERT_GE(msg, 0);
        ASSERT_GE(abort, 0);
        Flush(msg);
        Flush(abort);
    }
    void TearDown() override {
        Flush(msg);
        Flush(abort);
        devio_close(msg);
        devio_close(abort);
    }
    static void Flush(int fd) {
        std::uint32_t length = 0;
        EXPECT_EQ(devio_get_config(fd, 259, nullptr, &length), 0);
    }
    // Selects for reading on one descriptor; returns select's result.
    static int SelectRead(int fd, std::int64_t ticks) {
        FdSet set;
        devio_fd_set(fd, &set);
        return devio_select(fd + 1, &set, nullptr, ticks);
    }

    int msg = -1;
    int abort = -1;
};

using PipeDevEdge = PipeDevFixture;

TEST_F(PipeDevEdge, AWriteLongerThanThePipeBlocksAfter256UntilAReaderTakesBytes) {
    std::vector<std::uint8_t> data(300);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    std::atomic<int> written{-1};
    std::thread writer([&] { written = devio_write(msg, data.data(), 300); });

    // The first 256 bytes arrive; the writer stays blocked.
    std::vector<std::uint8_t> got(300);
    while (SelectRead(msg, 1) == 0) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(written.load(), -1);
    ASSERT_EQ(devio_read(msg, got.data(), 100), 100);
    std::uint32_t total = 100;
    while (total < 300) {
        const int n = devio_read(msg, got.data() + total, 300 - total);
        ASSERT_GT(n, 0);
        total += static_cast<std::uint32_t>(n);
    }
    writer.join();
    EXPECT_EQ(written.load(), 300);
    EXPECT_EQ(got, data);
}

TEST_F(PipeDevEdge, AReadReturnsWhatIsStoredAtOnce) {
    const std::uint8_t five[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(devio_write(msg, five, 5), 5);
    std::uint8_t buffer[16] = {};
    EXPECT_EQ(devio_read(msg, buffer, 16), 5);
    EXPECT_EQ(std::memcmp(buffer, five, 5), 0);
    EXPECT_EQ(devio_read(msg, buffer, 0), 0);
}

TEST_F(PipeDevEdge, FlushEmptiesThePipeAndUnblocksAWaitingWriter) {
    std::vector<std::uint8_t> full(256, 0xAA);
    ASSERT_EQ(devio_write(msg, full.data(), 256), 256);
    std::atomic<int> written{-1};
    const std::uint8_t message[16] = {0x10, 0x11};
    std::thread writer([&] { written = devio_write(msg, message, 16); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(written.load(), -1);
    Flush(msg);
    writer.join();
    EXPECT_EQ(written.load(), 16);
    std::uint8_t buffer[32] = {};
    EXPECT_EQ(devio_read(msg, buffer, 32), 16);
    EXPECT_EQ(std::memcmp(buffer, message, 16), 0);
}

TEST_F(PipeDevEdge, OnlyTheFlushKeysAreAccepted) {
    std::uint32_t length = 0;
    EXPECT_EQ(devio_get_config(msg, 257, nullptr, &length), -22);
    EXPECT_EQ(devio_get_config(msg, 261, nullptr, &length), -22);
    EXPECT_EQ(devio_get_config(msg, 258, nullptr, &length), 0);
    EXPECT_EQ(devio_get_config(msg, 260, nullptr, &length), 0);
    EXPECT_EQ(devio_set_config(msg, 259, nullptr, &length), -22);
}

TEST_F(PipeDevEdge, ABrokenReadWaitReturnsEintr) {
    std::atomic<kernel::handle_t> handle{0};
    std::atomic<int> result{0};
    std::thread reader([&] {
        handle = kernel::thread_self();
        std::uint8_t buffer[16];
        result = devio_read(msg, buffer, 16);
    });
    while (handle.load() == 0) std::this_thread::yield();
    while (!kernel::thread_info(handle).waiting) std::this_thread::yield();
    kernel::thread_release(handle);
    reader.join();
    EXPECT_EQ(result.load(), -4);
}

TEST_F(PipeDevEdge, UnknownNamesDoNotOpenAndClosedDescriptorsAreRefused) {
    EXPECT_EQ(devio_open("/dev/pipeHostAcq", OPEN_READ_WRITE), -1);
    const int fd = devio_open("/dev/pipeHostAcqMsg", OPEN_READ_WRITE);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(devio_close(fd), 0);
    EXPECT_EQ(devio_close(fd), -9);
    std::uint8_t byte = 0;
    EXPECT_EQ(devio_write(fd, &byte, 1), -9);
    EXPECT_EQ(SelectRead(fd, 0), -9);
}

using PipeDevSelect = PipeDevFixture;

TEST_F(PipeDevSelect, ReadableWhileAMessageIsQueued) {
    EXPECT_EQ(SelectRead(msg, 0), 0);
    const std::uint32_t message[4] = {1, 0, 0, 0};
    ASSERT_EQ(devio_write(msg, message, 16), 16);
    FdSet set;
    devio_fd_set(msg, &set);
    devio_fd_set(abort, &set);
    EXPECT_EQ(devio_select(std::max(msg, abort) + 1, &set, nullptr, 0), 1);
    EXPECT_TRUE(devio_fd_isset(msg, &set));
    EXPECT_FALSE(devio_fd_isset(abort, &set));
    std::uint32_t read[4] = {};
    ASSERT_EQ(devio_read(msg, read, 16), 16);
    EXPECT_EQ(SelectRead(msg, 0), 0);
}

TEST_F(PipeDevSelect, WritableUntilFull) {
    FdSet set;
    devio_fd_set(abort, &set);
    EXPECT_EQ(devio_select(abort + 1, nullptr, &set, 0), 1);
    std::vector<std::uint8_t> full(256);
    ASSERT_EQ(devio_write(abort, full.data(), 256), 256);
    devio_fd_set(abort, &set);
    EXPECT_EQ(devio_select(abort + 1, nullptr, &set, 0), 0);
}

TEST_F(PipeDevSelect, ATimeOutWaitsAtLeastItsTicks) {
    const kernel::tick_t start = kernel::current_time();
    EXPECT_EQ(SelectRead(msg, 5), 0);
    EXPECT_GE(kernel::current_time() - start, 5u);
}

TEST_F(PipeDevSelect, ABlockedSelectWakesWhenAnotherThreadWrites) {
    std::atomic<int> result{-100};
    FdSet set;
    std::thread selector([&] {
        devio_fd_set(msg, &set);
        devio_fd_set(abort, &set);
        result = devio_select(std::max(msg, abort) + 1, &set, nullptr, kWaitForever);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(result.load(), -100);
    const std::uint32_t abortMessage[2] = {0, 0};
    ASSERT_EQ(devio_write(abort, abortMessage, 8), 8);
    selector.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_TRUE(devio_fd_isset(abort, &set));
    EXPECT_FALSE(devio_fd_isset(msg, &set));
}

// Four writers share one pipe with 16-byte messages; every message arrives whole and each
// writer's messages in order.
void ExpectWholeMessagesFromFourWriters(int fd) {
    constexpr std::uint32_t kWriters = 4;
    constexpr std::uint32_t kMessages = 10000;
    std::vector<std::thread> writers;
    for (std::uint32_t w = 0; w < kWriters; ++w) {
        writers.emplace_back([fd, w] {
            for (std::uint32_t i = 0; i < kMessages; ++i) {
                const std::uint32_t message[4] = {w, i, ~i, w * 0x01010101u};
                ASSERT_EQ(devio_write(fd, message, 16), 16);
            }
        });
    }
    std::uint32_t next[kWriters] = {};
    std::uint32_t mixed = 0;
    for (std::uint32_t n = 0; n < kWriters * kMessages; ++n) {
        std::uint32_t message[4] = {};
        std::uint32_t got = 0;
        while (got < 16) {  // a short read only happens when a message was split
            const int r = devio_read(fd, reinterpret_cast<std::uint8_t*>(message) + got, 16 - got);
            ASSERT_GT(r, 0);
            got += static_cast<std::uint32_t>(r);
        }
        const std::uint32_t w = message[0];
        if (w >= kWriters || message[1] != next[w] || message[2] != ~message[1] ||
            message[3] != w * 0x01010101u) {
            ++mixed;
            continue;
        }
        ++next[w];
    }
    for (std::thread& writer : writers) writer.join();
    EXPECT_EQ(mixed, 0u);
    for (std::uint32_t w = 0; w < kWriters; ++w) EXPECT_EQ(next[w], kMessages);
}

TEST(PipeDevWholeMessages, FourWritersTenThousandMessagesNoneMixed) {
    ASSERT_TRUE(board_register_dsp_devices());
    const int fd = devio_open("/dev/pipeHostAcqMsg", OPEN_READ_WRITE);
    ASSERT_GE(fd, 0);
    std::uint32_t length = 0;
    ASSERT_EQ(devio_get_config(fd, 259, nullptr, &length), 0);
    ExpectWholeMessagesFromFourWriters(fd);
    devio_close(fd);
}

// A pipe whose size is no multiple of the message size: room for part of a message is
// common, and a writer must still wait until its message fits whole.
TEST(PipeDevWholeMessages, NoneMixedWhenOnlyPartOfAMessageFits) {
    std::uint8_t storage[40];
    PipeRecord record(storage, sizeof storage);
    Device device = {"/dev/pipeTest40", &PipeDevHandlers, &record, 0x1000};
    ASSERT_TRUE(devio_register(&device));
    const int fd = devio_open("/dev/pipeTest40", OPEN_READ_WRITE);
    ASSERT_GE(fd, 0);
    ExpectWholeMessagesFromFourWriters(fd);
    devio_close(fd);
    EXPECT_TRUE(devio_unregister(&device));
    kernel::cond_destroy(&record.cond);
    kernel::mutex_destroy(&record.mutex);
}

}  // namespace
