// Tests of the status block: one active gateway per data directory, reuse
// after a crash, and bytes shared with an outside controller.
#include "platform/status_block.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"
#include "platform/process.h"
#include "test_util.h"

using namespace platform;
using platform_test::Pipe;
using platform_test::TempDir;

namespace {

// Maps the block file the way an outside controller does.
struct ControllerView {
    int fd = -1;
    volatile uint8_t* bytes = nullptr;
    explicit ControllerView(const std::string& path) {
        fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return;
        void* p = ::mmap(nullptr, kStatusBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED) bytes = static_cast<volatile uint8_t*>(p);
    }
    ~ControllerView() {
        if (bytes) ::munmap(const_cast<uint8_t*>(bytes), kStatusBlockSize);
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

TEST(StatusBlock, CreateMakesA512ByteZeroedFile) {
    TempDir dir;
    std::string path = dir / kStatusBlockName;
    // Left over from a crashed gateway: wrong size and old bytes.
    ASSERT_TRUE(create_new_file(path, std::string(700, '\xFF')));
    StatusBlock sb;
    int err = -1;
    ASSERT_EQ(sb.create(dir.path(), &err), StatusBlock::OpenResult::Ok);
    EXPECT_EQ(err, 0);
    EXPECT_TRUE(sb.valid());
    auto fi = stat_file(path);
    ASSERT_TRUE(fi);
    EXPECT_EQ(fi->size, kStatusBlockSize);
    EXPECT_EQ(read_file(path), std::optional<std::string>(std::string(kStatusBlockSize, '\0')));
    for (size_t i = 0; i < kStatusBlockSize; ++i) ASSERT_EQ(sb.get(i), 0) << i;
}

TEST(StatusBlock, SecondCreateIsAlreadyActiveUntilClosed) {
    TempDir dir;
    StatusBlock first;
    ASSERT_EQ(first.create(dir.path()), StatusBlock::OpenResult::Ok);
    first.set(0, 0x5A);
    StatusBlock second;
    int err = 0;
    EXPECT_EQ(second.create(dir.path(), &err), StatusBlock::OpenResult::AlreadyActive);
    EXPECT_EQ(err, EWOULDBLOCK);
    EXPECT_FALSE(second.valid());
    EXPECT_EQ(first.get(0), 0x5A) << "a refused second gateway must not clear the block";

    // The directory spelled without the trailing slash is the same block.
    std::string no_slash = dir.path().substr(0, dir.path().size() - 1);
    EXPECT_EQ(second.create(no_slash), StatusBlock::OpenResult::AlreadyActive);

    first.close();
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(second.create(dir.path()), StatusBlock::OpenResult::Ok);
}

TEST(StatusBlock, ForkedSecondGatewayIsRefusedAndCrashedHolderIsNot) {
    TempDir dir;
    {
        StatusBlock sb;
        ASSERT_EQ(sb.create(dir.path()), StatusBlock::OpenResult::Ok);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // A fresh gateway process does not inherit our lock.
            StatusBlock other;
            ::_exit(other.create(dir.path()) == StatusBlock::OpenResult::AlreadyActive ? 10 : 20);
        }
        EXPECT_EQ(platform_test::reap(pid), 10);
    }
    // A holder that dies without closing leaves the file but not the lock.
    Pipe ready;
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        StatusBlock sb;
        platform_test::write_byte(ready.wr, sb.create(dir.path()) == StatusBlock::OpenResult::Ok);
        for (;;) ::pause();
    }
    ASSERT_EQ(platform_test::read_byte(ready.rd), 1);
    StatusBlock mine;
    EXPECT_EQ(mine.create(dir.path()), StatusBlock::OpenResult::AlreadyActive);
    ::kill(pid, SIGKILL);
    platform_test::reap(pid);
    EXPECT_EQ(mine.create(dir.path()), StatusBlock::OpenResult::Ok);
}

TEST(StatusBlock, BytesAreSharedWithAnOutsideController) {
    TempDir dir;
    StatusBlock sb;
    ASSERT_EQ(sb.create(dir.path()), StatusBlock::OpenResult::Ok);
    ControllerView view(dir / kStatusBlockName);
    ASSERT_NE(view.bytes, nullptr);
    view.bytes[0] = 1;
    view.bytes[511] = 0xAB;
    EXPECT_EQ(sb.get(0), 1);
    EXPECT_EQ(sb.get(511), 0xAB);
    sb.set(3, 0x42);
    EXPECT_EQ(view.bytes[3], 0x42);
    // Out-of-range indexes are ignored, never written past the block.
    sb.set(512, 9);
    sb.set(size_t(-1), 9);
    EXPECT_EQ(sb.get(512), 0);
    EXPECT_EQ(sb.get(size_t(-1)), 0);
}

TEST(StatusBlock, ChildProcessesDoNotKeepTheLock) {
    TempDir dir;
    auto child = [&] {
        StatusBlock sb;
        EXPECT_EQ(sb.create(dir.path()), StatusBlock::OpenResult::Ok);
        // A helper started while the block is held, still running after.
        return spawn_piped({"cat"}, {});
    }();
    ASSERT_TRUE(child.has_value());
    StatusBlock again;
    EXPECT_EQ(again.create(dir.path()), StatusBlock::OpenResult::Ok);
    wait_child(*child, 5000);
}

TEST(StatusBlock, Failures) {
    TempDir dir;
    StatusBlock sb;
    int err = 0;
    EXPECT_EQ(sb.create(dir / "missing/", &err), StatusBlock::OpenResult::CreateFailed);
    EXPECT_EQ(err, ENOENT);
    EXPECT_FALSE(sb.valid());
    EXPECT_EQ(sb.get(0), 0);
    sb.set(0, 1);  // harmless on a closed block
    sb.close();
}
