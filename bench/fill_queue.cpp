// Fills an outbound queue directory with request files for the link
// benchmark: every message has its own recipient and text, and every file
// appears under its final name only when complete (written under a dot name,
// then renamed).
//
//   fill_queue <queue dir> <count> [first id (hex), default 10000000]
//
// Files are named "%08X.req" from the first id on; an existing name stops
// the run rather than being replaced.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/text.h"
#include "store/request_codec.h"

namespace {

bool write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: fill_queue <queue dir> <count> [first id (hex)]\n");
        return 2;
    }
    std::string dir = argv[1];
    if (dir.empty()) {
        std::fprintf(stderr, "fill_queue: empty queue dir\n");
        return 2;
    }
    if (dir.back() != '/') dir += '/';
    char* end = nullptr;
    unsigned long count = std::strtoul(argv[2], &end, 10);
    if (*end != '\0' || count == 0 || count > 10'000'000) {
        std::fprintf(stderr, "fill_queue: count must be 1..10000000\n");
        return 2;
    }
    unsigned long first = 0x10000000;
    if (argc == 4) {
        first = std::strtoul(argv[3], &end, 16);
        if (*end != '\0' || first > 0xFFFFFFFFul - count) {
            std::fprintf(stderr, "fill_queue: bad first id\n");
            return 2;
        }
    }
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "fill_queue: cannot create %s: %s\n", dir.c_str(),
                     std::strerror(errno));
        return 1;
    }

    auto t0 = std::chrono::steady_clock::now();
    char name[32], tmp[40];
    store::SmsMessage msg;
    msg.sender = "12345";
    for (unsigned long i = 0; i < count; ++i) {
        unsigned long id = first + i;
        std::snprintf(name, sizeof name, "%08lX.req", id);
        std::snprintf(tmp, sizeof tmp, ".%08lX.tmp", id);
        msg.phone_number = platform::strprintf("+4477%08lu", i);
        msg.data = platform::strprintf("Benchmark message %lu of %lu, id %08lX.", i + 1, count, id);
        const std::string body = store::format_request(msg);
        std::string final_path = dir + name, tmp_path = dir + tmp;
        struct stat sb;
        if (::stat(final_path.c_str(), &sb) == 0) {
            std::fprintf(stderr, "fill_queue: %s exists\n", final_path.c_str());
            return 1;
        }
        int fd = ::open(tmp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || !write_all(fd, body.data(), body.size()) || ::close(fd) != 0 ||
            ::rename(tmp_path.c_str(), final_path.c_str()) != 0) {
            std::fprintf(stderr, "fill_queue: writing %s: %s\n", final_path.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("fill_queue: %lu files in %s in %.2f s\n", count, dir.c_str(), s);
    return 0;
}
