// The status block: a 512-byte file mapped shared and locked by the running
// gateway; an outside controller reads and writes its bytes in place.
#include "platform/status_block.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"

namespace platform {

StatusBlock::~StatusBlock() {
    close();
}

StatusBlock::OpenResult StatusBlock::create(const std::string& private_dir, int* err) {
    close();
    auto fail = [err](OpenResult r, int e) {
        if (err) *err = e;
        errno = e;
        return r;
    };
    std::string path = with_trailing_slash(private_dir) + kStatusBlockName;
    int fd;
    do fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(OpenResult::CreateFailed, errno);
    FileHandle h(fd);
    int r;
    do r = ::flock(fd, LOCK_EX | LOCK_NB);
    while (r != 0 && errno == EINTR);
    if (r != 0) {
        if (errno == EWOULDBLOCK) return fail(OpenResult::AlreadyActive, EWOULDBLOCK);
        return fail(OpenResult::CreateFailed, errno);
    }
    // A file left by a crashed gateway is simply reused: its lock died
    // with it.
    if (::ftruncate(fd, off_t(kStatusBlockSize)) != 0) return fail(OpenResult::CreateFailed, errno);
    void* p = ::mmap(nullptr, kStatusBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return fail(OpenResult::MapFailed, errno);
    bytes_ = static_cast<volatile uint8_t*>(p);
    for (size_t i = 0; i < kStatusBlockSize; ++i) bytes_[i] = 0;
    fd_ = h.release();
    if (err) *err = 0;
    return OpenResult::Ok;
}

void StatusBlock::close() {
    if (bytes_) {
        ::munmap(const_cast<uint8_t*>(bytes_), kStatusBlockSize);
        bytes_ = nullptr;
    }
    if (fd_ >= 0) {
        ::close(fd_);  // drops the lock: the data directory is free again
        fd_ = -1;
    }
}

uint8_t StatusBlock::get(size_t index) const {
    if (!bytes_ || index >= kStatusBlockSize) return 0;
    return bytes_[index];
}

void StatusBlock::set(size_t index, uint8_t value) {
    if (!bytes_ || index >= kStatusBlockSize) return;
    bytes_[index] = value;
}

}  // namespace platform
