#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "Host/parameters/Error.h"
#include "Host/parameters/FileServices.h"
#include "Host/parameters/Logger.h"
#include "support/BoardFixture.h"

using namespace Korvex;
using korvex_test::PanicCalled;
namespace fs = platform::fs;

namespace {

class FileSystem : public korvex_test::BoardFixture {
protected:
    void SetUp() override {
        BoardFixture::SetUp();
        Mount();
    }
    std::string ReadAll(const std::string& path) {
        std::ifstream in(Host(path), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST_F(FileSystem, MountsBothFileSystemsAndUnmounts) {
    EXPECT_TRUE(fs::mounted("/romfs"));
    EXPECT_TRUE(fs::mounted("/yaffs"));
    EXPECT_EQ(KorvexWriteTextFile("/yaffs/note.txt", "hello"), 0);
    EXPECT_EQ(ReadAll("/yaffs/note.txt"), "hello");
    EXPECT_EQ(KorvexUnmountFileSystems(), 0);
    EXPECT_EQ(fs::getcwd(), "/");
    EXPECT_FALSE(fs::mounted("/yaffs"));
    std::uint32_t size = 0;
    EXPECT_EQ(KorvexStatFile("/yaffs/note.txt", size), eCannotOpenFile);
    // The flash keeps its files across a power cycle.
    Mount();
    EXPECT_EQ(KorvexStatFile("/yaffs/note.txt", size), 0);
    EXPECT_EQ(size, 5u);
}

TEST_F(FileSystem, UnreadableFlashIsErasedAndRemountedEmpty) {
    ASSERT_EQ(KorvexMakePath("/yaffs/user/deep", KorvexDirectoryMode), 0);
    ASSERT_EQ(KorvexWriteTextFile("/yaffs/user/deep/probe.xml", "<x/>"), 0);
    ASSERT_EQ(KorvexWriteTextFile("/yaffs/keep.txt", "k"), 0);
    KorvexUnmountFileSystems();
    fs::faults().damagedEntry = "/yaffs/user/deep/probe.xml";

    EXPECT_EQ(KorvexMountFileSystems(), 0);
    EXPECT_EQ(fs::erase_count(), 4096u);  // every block of partition 0, once
    std::uint32_t size = 0;
    EXPECT_EQ(KorvexStatFile("/yaffs/keep.txt", size), eCannotOpenFile);
    EXPECT_EQ(KorvexStatFile("/yaffs/user", size), eCannotOpenFile);
    EXPECT_EQ(KorvexCheckDirectoryReadable("/yaffs"), 0);
    EXPECT_EQ(fs::getcwd(), "/");
}

TEST_F(FileSystem, EveryMountFailureIsFatal) {
    KorvexUnmountFileSystems();
    platform::bootmon::set_romfs_block_missing(true);
    EXPECT_THROW(KorvexMountFileSystems(), PanicCalled);
    platform::bootmon::set_romfs_block_missing(false);
    KorvexUnmountFileSystems();

    fs::faults().failYaffsMounts = 1;
    EXPECT_THROW(KorvexMountFileSystems(), PanicCalled);
    KorvexUnmountFileSystems();

    fs::faults().damagedEntry = "/yaffs";
    fs::faults().failYaffsRemount = true;
    EXPECT_THROW(KorvexMountFileSystems(), PanicCalled);
    EXPECT_EQ(fs::erase_count(), 4096u);
}

TEST_F(FileSystem, DefaultPanicSavesTheLogAndAsksForUpdateMode) {
    // The built-in fatal path, run on a thread of its own since it ends by suspending it.
    SetPanicHandler(nullptr);
    Logger().Printf("before the fatal stop\n");
    kernel::Semaphore done;
    kernel::semaphore_init(&done, 0);
    struct Ctx {
        kernel::Semaphore* done;
    } ctx{&done};
    kernel::handle_t t = kernel::thread_create(
        10, [](kernel::addrword_t d) {
            auto* c = reinterpret_cast<Ctx*>(d);
            kernel::semaphore_post(c->done);  // posted before: KorvexPanic never returns
            KorvexPanic();
        },
        reinterpret_cast<kernel::addrword_t>(&ctx), "panic test", 8192);
    kernel::thread_resume(t);
    ASSERT_TRUE(kernel::semaphore_wait(&done));
    for (int i = 0; i < 500 && platform::bootmon::record().updateModeRequests == 0; ++i)
        kernel::thread_delay(1);
    EXPECT_EQ(platform::bootmon::record().updateModeRequests, 1u);
    EXPECT_FALSE(fs::mounted("/yaffs"));
    kernel::thread_delete(t);
    kernel::semaphore_destroy(&done);
    Mount();
    std::string log = ReadAll("/yaffs/user/DebugLog.txt");
    EXPECT_NE(log.find("before the fatal stop\n"), std::string::npos);
    EXPECT_NE(log.find("CKorvexPower::Panic !!!\n"), std::string::npos);
}

TEST_F(FileSystem, RomfsIsReadOnly) {
    std::uint8_t buf[4];
    EXPECT_EQ(KorvexWriteTextFile("/romfs/x.txt", "a"), eCannotOpenFile);
    EXPECT_EQ(KorvexMakePath("/romfs/dir", KorvexDirectoryMode), -1);
    EXPECT_EQ(KorvexRemoveFile("/romfs/factory.xml"), eCannotOpenFile);
    EXPECT_EQ(KorvexReadFile("/romfs/factory.xml", buf, sizeof buf, 1, 4), 0);
}

TEST_F(FileSystem, PathsNeverLeaveTheNamespace) {
    std::uint32_t size = 0;
    EXPECT_EQ(KorvexWriteTextFile("/yaffs/user/../../etc/korvex-escape", "x"), eCannotOpenFile);
    EXPECT_EQ(KorvexStatFile("/yaffs/../../../etc/hostname", size), eCannotOpenFile);
    EXPECT_EQ(KorvexStatFile("/etc/hostname", size), eCannotOpenFile);
    // ".." never climbs above "/": this is /yaffs/a.txt.
    EXPECT_EQ(KorvexWriteTextFile("/../../yaffs/./a.txt", "x"), 0);
    EXPECT_EQ(KorvexStatFile("/yaffs//a.txt", size), 0);
    // Relative paths use the board's current directory.
    ASSERT_EQ(fs::chdir("/yaffs"), 0);
    EXPECT_EQ(KorvexStatFile("a.txt", size), 0);
    EXPECT_EQ(KorvexWriteTextFile("../../tmp-escape.txt", "x"), eCannotOpenFile);
    fs::chdir("/");
}

TEST_F(FileSystem, ReadFileChecksTheBufferBeforeOpening) {
    ASSERT_EQ(KorvexWriteTextFile("/yaffs/d.bin", "0123456789"), 0);
    char buf[10];
    EXPECT_EQ(KorvexReadFile("/yaffs/d.bin", buf, 10, 1, 10), 0);
    EXPECT_EQ(std::string(buf, 10), "0123456789");
    EXPECT_EQ(KorvexReadFile("/yaffs/d.bin", buf, 9, 1, 10), eBufferTooSmall);
    EXPECT_EQ(KorvexReadFile("/yaffs/missing.bin", buf, 9, 1, 10), eBufferTooSmall);  // opens nothing
    EXPECT_EQ(KorvexReadFile("/yaffs/missing.bin", buf, 10, 1, 10), eCannotOpenFile);
    EXPECT_EQ(KorvexReadFile("/yaffs/d.bin", buf, 10, 5, 2), 0);
    EXPECT_EQ(KorvexReadFile("/yaffs/d.bin", buf, 10, 1, 5), 0);
    // 0x10000 * 0x10000 wraps to 0 in 32 bits: still far too big for the buffer.
    EXPECT_EQ(KorvexReadFile("/yaffs/d.bin", buf, 10, 0x10000, 0x10000), eBufferTooSmall);
    ASSERT_EQ(KorvexWriteTextFile("/yaffs/short.bin", "abc"), 0);
    EXPECT_EQ(KorvexReadFile("/yaffs/short.bin", buf, 10, 1, 4), eShortRead);
}

TEST_F(FileSystem, WriteFileAndRemove) {
    const std::uint8_t data[] = {0, 1, 2, 0xff};
    EXPECT_EQ(KorvexWriteFile("/yaffs/b.bin", data, 1, 4), 0);
    EXPECT_EQ(ReadAll("/yaffs/b.bin"), std::string("\x00\x01\x02\xff", 4));
    EXPECT_EQ(KorvexWriteFile("/yaffs/nodir/b.bin", data, 1, 4), eCannotOpenFile);
    EXPECT_EQ(KorvexRemoveFile("/yaffs/b.bin"), 0);
    EXPECT_EQ(KorvexRemoveFile("/yaffs/b.bin"), eCannotOpenFile);
}

TEST_F(FileSystem, FullFlashIsAFailedWriteNotASuccess) {
    fs::faults().fullDisk = true;
    EXPECT_EQ(KorvexWriteTextFile("/yaffs/full.txt", "some text that does not fit"), eWriteFailed);
    const char data[64] = {};
    EXPECT_EQ(KorvexWriteFile("/yaffs/full.bin", data, 1, sizeof data), eWriteFailed);
    fs::faults().fullDisk = false;
    fs::arm_close_fault();
    EXPECT_EQ(KorvexWriteTextFile("/yaffs/close.txt", "x"), eWriteFailed);
    fs::arm_write_fault_after(3);
    EXPECT_EQ(KorvexWriteTextFile("/yaffs/eio.txt", "0123456789"), eWriteFailed);
    EXPECT_EQ(KorvexWriteTextFile("/yaffs/ok.txt", "0123456789"), 0);
}

TEST_F(FileSystem, MakePath) {
    EXPECT_EQ(KorvexMakePath("/yaffs/settings/", KorvexDirectoryMode), 0);
    fs::Stat st{};
    ASSERT_EQ(fs::stat("/yaffs/settings", &st), 0);
    EXPECT_TRUE(st.mode & fs::StatDirectory);
    EXPECT_EQ(KorvexMakePath("/yaffs/settings", KorvexDirectoryMode), 0);  // already there
    EXPECT_EQ(KorvexMakePath("/yaffs/a/b/c", 0x1FF0000), 0);             // any mode word
    EXPECT_EQ(fs::stat("/yaffs/a/b/c", &st), 0);
    EXPECT_EQ(KorvexMakePath("", KorvexDirectoryMode), -1);
    ASSERT_EQ(KorvexWriteTextFile("/yaffs/file", "x"), 0);
    EXPECT_EQ(KorvexMakePath("/yaffs/file/sub", KorvexDirectoryMode), -1);

    // A path over 255 characters is cut to its first 255 before anything is created.
    std::string longName = "/yaffs/" + std::string(300, 'n');
    EXPECT_EQ(KorvexMakePath(longName, KorvexDirectoryMode), 0);
    EXPECT_EQ(fs::stat(longName.substr(0, 255).c_str(), &st), 0);
}

TEST_F(FileSystem, ListsFilesWithFullPathsAndNoDirectories) {
    ASSERT_EQ(KorvexMakePath("/yaffs/user/sub", KorvexDirectoryMode), 0);
    ASSERT_EQ(KorvexWriteTextFile("/yaffs/user/probe.xml", "12345"), 0);
    ASSERT_EQ(KorvexWriteTextFile("/yaffs/user/sub/x.txt", "1"), 0);
    ASSERT_EQ(KorvexWriteTextFile("/yaffs/top.txt", "12"), 0);
    std::vector<DirListEntry> list{{"stale", "", 1}};
    ASSERT_EQ(KorvexListDirectory("/yaffs", list, true), 0);
    std::vector<std::string> paths;
    for (const auto& e : list) {
        paths.push_back(e.path);
        EXPECT_TRUE(e.type.empty());
    }
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"/yaffs/top.txt", "/yaffs/user/probe.xml",
                                               "/yaffs/user/sub/x.txt"}));
    for (const auto& e : list) {
        if (e.path == "/yaffs/user/probe.xml") {
            EXPECT_EQ(e.size, 5u);
        }
    }
    // Without the clear flag the vector grows.
    ASSERT_EQ(KorvexListDirectory("/yaffs/user/sub", list, false), 0);
    EXPECT_EQ(list.size(), 4u);
    EXPECT_EQ(KorvexListDirectory("/yaffs/none", list, true), eCannotOpenFile);
}

TEST_F(FileSystem, FlashUsage) {
    std::uint64_t used = 0, freeBytes = 0;
    std::uint8_t pct = 0;
    // 1000 blocks of 16 bytes: the root directory and a 664-block file use 665, 335 free.
    fs::set_flash_geometry(1000, 16);
    std::string data(664 * 16, 'x');
    ASSERT_EQ(KorvexWriteTextFile("/yaffs/big", data.c_str()), 0);
    ASSERT_EQ(KorvexGetFlashUsage(used, freeBytes, pct), 0);
    EXPECT_EQ(pct, 66);
    EXPECT_EQ(used, 665u * 16);
    EXPECT_EQ(freeBytes, 335u * 16);

    fs::set_flash_geometry(0, 16);  // a file system with no blocks reports 0 %
    ASSERT_EQ(KorvexGetFlashUsage(used, freeBytes, pct), 0);
    EXPECT_EQ(pct, 0);

    KorvexUnmountFileSystems();
    used = 7;
    EXPECT_EQ(KorvexGetFlashUsage(used, freeBytes, pct), eCannotOpenFile);
    EXPECT_EQ(used, 7u);
}

}  // namespace
