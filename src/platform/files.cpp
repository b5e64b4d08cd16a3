// File claiming, atomic creation and replacement, marker files, directory
// scans and path helpers, built on flock(2), link(2) and rename(2).
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/clock.h"
#include "platform/process.h"
#include "platform/text.h"

namespace platform {

namespace {

// Restores errno on scope exit so that clean-up calls do not hide the
// failure the caller should see.
struct ErrnoKeeper {
    int saved = errno;
    ~ErrnoKeeper() { errno = saved; }
};

bool write_all_fd(int fd, std::string_view data) {
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        p += n;
        left -= size_t(n);
    }
    return true;
}

int flock_nointr(int fd, int op) {
    int r;
    do r = ::flock(fd, op);
    while (r < 0 && errno == EINTR);
    return r;
}

// True when path currently names the very file open on fd (it was not
// unlinked or replaced since we opened it).
bool path_is_fd(const std::string& path, int fd) {
    struct stat a {
    }, b{};
    if (::fstat(fd, &a) != 0) return false;
    if (a.st_nlink == 0) return false;
    if (::stat(path.c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string dir_part(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string base_part(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A temporary name next to path that no scan lists (leading '.') and that
// no other thread or process can pick at the same time.
std::string temp_name_for(const std::string& path) {
    static std::atomic<unsigned long> counter{0};
    unsigned long n = counter.fetch_add(1, std::memory_order_relaxed);
    std::string base = base_part(path);
    // Keep the temporary name within NAME_MAX even for long targets.
    if (base.size() > 160) base.resize(160);
    return dir_part(path) +
           strprintf(".%s.%d.%d.%lu.tmp", base.c_str(), int(::getpid()), current_thread_id(), n);
}

// Creates a fresh temporary next to path holding data; returns its name, or
// empty on failure (errno set). The descriptor is returned open in *fd_out
// when fd_out is given, else closed.
std::string write_temp(const std::string& path, std::string_view data, mode_t mode, int* fd_out) {
    std::string tmp = temp_name_for(path);
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return {};
    if (!write_all_fd(fd, data)) {
        ErrnoKeeper keep;
        ::close(fd);
        ::unlink(tmp.c_str());
        return {};
    }
    if (fd_out) {
        *fd_out = fd;
    } else if (::close(fd) != 0 && errno != EINTR) {
        ErrnoKeeper keep;
        ::unlink(tmp.c_str());
        return {};
    }
    return tmp;
}

inline char lower_ascii(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

}  // namespace

// --- FileHandle -------------------------------------------------------------

FileHandle& FileHandle::operator=(FileHandle&& o) noexcept {
    if (this != &o) {
        close();
        fd_ = o.release();
    }
    return *this;
}

FileHandle::~FileHandle() {
    close();
}

void FileHandle::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

// --- claiming ---------------------------------------------------------------

FileHandle claim_file(const std::string& path, bool* busy) {
    if (busy) *busy = false;
    int fd;
    // Never through a symbolic link: the claimer writes into what it claims.
    do fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return {};
    FileHandle h(fd);
    if (flock_nointr(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK && busy) *busy = true;
        return {};
    }
    // The previous holder may have finished and deleted (or replaced) the
    // file between our open and our lock: a claim on that dead copy would
    // process the same message twice.
    if (!path_is_fd(path, fd)) {
        errno = ENOENT;
        return {};
    }
    return h;
}

// --- creation and replacement -----------------------------------------------

bool create_new_file(const std::string& path, std::string_view data) {
    std::string tmp = write_temp(path, data, 0666, nullptr);
    if (tmp.empty()) return false;
    // One step that fails with EEXIST instead of replacing; file systems
    // without it still offer hard links, which fail the same way.
    int r = ::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
    if (r == 0) return true;
    if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
        r = ::link(tmp.c_str(), path.c_str());
    }
    ErrnoKeeper keep;
    ::unlink(tmp.c_str());
    if (r == 0) keep.saved = 0;
    return r == 0;
}

bool replace_file(const std::string& path, std::string_view data, bool keep_mtime) {
    struct stat old {};
    bool existed = ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    int fd = -1;
    std::string tmp = write_temp(path, data, 0666, &fd);
    if (tmp.empty()) return false;
    FileHandle h(fd);
    if (existed) {
        ::fchmod(fd, old.st_mode & 07777);
        if (keep_mtime) {
            struct timespec ts[2];
            ts[0].tv_sec = 0;
            ts[0].tv_nsec = UTIME_OMIT;
            ts[1] = old.st_mtim;
            ::futimens(fd, ts);
        }
    }
    h.close();
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        ErrnoKeeper keep;
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool replace_file_synced(const std::string& path, std::string_view data) {
    struct stat old {};
    bool existed = ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    int fd = -1;
    std::string tmp = write_temp(path, data, 0666, &fd);
    if (tmp.empty()) return false;
    FileHandle h(fd);
    if (existed) ::fchmod(fd, old.st_mode & 07777);
    if (::fsync(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ErrnoKeeper keep;
        ::unlink(tmp.c_str());
        return false;
    }
    h.close();
    std::string dir = dir_part(path);
    FileHandle d(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // The rename is done; a directory that cannot be synced only weakens the
    // guarantee against a power loss, which the caller cannot do better on.
    if (d) ::fsync(d.fd());
    return true;
}

namespace {
// True for names made by temp_name_for: ".<base>.<digits>.<digits>.<digits>.tmp".
bool is_our_temporary(std::string_view name) {
    if (name.size() < 2 || name[0] != '.' || !name.ends_with(".tmp")) return false;
    name.remove_suffix(4);
    for (int field = 0; field < 3; ++field) {
        size_t dot = name.rfind('.');
        if (dot == std::string_view::npos || dot + 1 == name.size()) return false;
        for (char c : name.substr(dot + 1))
            if (c < '0' || c > '9') return false;
        name = name.substr(0, dot);
    }
    return name.size() > 1;  // the leading '.' and at least one character
}
}  // namespace

bool replace_private_file(const std::string& path, std::string_view data) {
    std::string tmp =
        dir_part(path) + "." + base_part(path) + "." + std::to_string(::getpid()) + ".tmp";
    ::unlink(tmp.c_str());  // a leftover could carry other permissions
    FileHandle fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) return false;
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd.fd(), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::unlink(tmp.c_str());
            return false;
        }
        done += size_t(n);
    }
    if (::fsync(fd.fd()) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

size_t remove_stale_temporaries(const std::string& dir, unsigned max_age_s) {
    std::string base = with_trailing_slash(dir.empty() ? std::string_view("./") : dir);
    DIR* d = ::opendir(base.c_str());
    if (!d) return 0;
    const time_t limit = now() - time_t(max_age_s);
    size_t removed = 0;
    while (struct dirent* e = ::readdir(d)) {
        if (!is_our_temporary(e->d_name)) continue;
        std::string full = base + e->d_name;
        struct stat st {};
        if (::lstat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (st.st_mtime >= limit) continue;  // a writer may still be at it
        if (::unlink(full.c_str()) == 0) ++removed;
    }
    ::closedir(d);
    return removed;
}

namespace {
std::atomic<bool (*)()> g_rewrite_crash_point{nullptr};
}  // namespace

void set_rewrite_crash_point_for_tests(bool (*hook)()) {
    g_rewrite_crash_point.store(hook);
}

bool rewrite_from(int fd, std::string_view data, size_t from, bool keep_mtime) {
    struct stat old {};
    if (::fstat(fd, &old) != 0) return false;
    const size_t old_size = size_t(old.st_size);
    if (from > data.size() || from > old_size) {
        errno = EINVAL;
        return false;
    }
    if (data.size() > old_size) {
        // Where the file system can, reserve the room before touching the
        // text, so that running out of space cannot leave half a rewrite.
        int e = ::posix_fallocate(fd, off_t(old_size), off_t(data.size() - old_size));
        if (e != 0 && e != EOPNOTSUPP && e != EINVAL) {
            // It may have grown the file part way (by NULs, blank to the
            // reader): back to the old size.
            int r = ::ftruncate(fd, off_t(old_size));
            (void)r;
            errno = e;
            return false;
        }
    }
    if (old_size > data.size()) {
        std::string buf(data.substr(from));
        buf += '\n';
        buf.append(old_size - data.size() - 1, ' ');
        if (!pwrite_all(fd, buf.data(), buf.size(), from)) return false;
    } else if (!pwrite_all(fd, data.data() + from, data.size() - from, from)) {
        return false;
    }
    if (bool (*hook)() = g_rewrite_crash_point.load(); hook && !hook()) return false;
    if (old_size > data.size() && ::ftruncate(fd, off_t(data.size())) != 0) return false;
    if (keep_mtime) {
        struct timespec ts[2];
        ts[0].tv_sec = 0;
        ts[0].tv_nsec = UTIME_OMIT;
        ts[1] = old.st_mtim;
        if (::futimens(fd, ts) != 0) return false;
    }
    return true;
}

bool rewrite_in_place(int fd, std::string_view data, bool keep_mtime) {
    return rewrite_from(fd, data, 0, keep_mtime);
}

std::optional<std::string> read_fd(int fd, size_t max_bytes) {
    std::string out;
    char buf[65536];
    off_t off = 0;
    while (out.size() < max_bytes) {
        size_t want = std::min(sizeof buf, max_bytes - out.size());
        ssize_t n = ::pread(fd, buf, want, off);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(buf, size_t(n));
        off += n;
    }
    return out;
}

std::optional<std::string> read_file(const std::string& path, size_t max_bytes) {
    int fd;
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::nullopt;
    FileHandle h(fd);
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return std::nullopt;
    }
    return read_fd(fd, max_bytes);
}

bool append_file(const std::string& path, std::string_view data) {
    int fd;
    do fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    FileHandle h(fd);
    return write_all_fd(fd, data);
}

// --- markers ----------------------------------------------------------------

Marker::Marker(Marker&& o) noexcept : fd_(std::move(o.fd_)), path_(std::move(o.path_)) {
    o.path_.clear();
}

Marker& Marker::operator=(Marker&& o) noexcept {
    if (this != &o) {
        release();
        fd_ = std::move(o.fd_);
        path_ = std::move(o.path_);
        o.path_.clear();
    }
    return *this;
}

Marker::~Marker() {
    release();
}

std::optional<Marker> Marker::acquire(const std::string& path) {
    // A few rounds cover the race where the file we opened was unlinked (by
    // its finishing holder or a stale sweep) before our lock was granted.
    for (int round = 0; round < 8; ++round) {
        int fd;
        do fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
        while (fd < 0 && errno == EINTR);
        if (fd < 0) return std::nullopt;
        FileHandle h(fd);
        if (flock_nointr(fd, LOCK_EX | LOCK_NB) != 0) return std::nullopt;
        if (path_is_fd(path, fd)) {
            Marker m;
            m.fd_ = std::move(h);
            m.path_ = path;
            return m;
        }
    }
    errno = EAGAIN;
    return std::nullopt;
}

void Marker::release() {
    if (!fd_.valid()) return;
    ErrnoKeeper keep;
    // Unlink while still holding the lock so nobody can take over a name
    // that is about to vanish; only our own file is removed.
    if (path_is_fd(path_, fd_.fd())) ::unlink(path_.c_str());
    fd_.close();
    path_.clear();
}

bool remove_if_stale(const std::string& path) {
    for (int round = 0; round < 8; ++round) {
        int fd;
        do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        while (fd < 0 && errno == EINTR);
        if (fd < 0) return errno == ENOENT;
        FileHandle h(fd);
        if (flock_nointr(fd, LOCK_EX | LOCK_NB) != 0) return false;
        struct stat a {
        }, b{};
        if (::fstat(fd, &a) != 0) return false;
        if (::stat(path.c_str(), &b) != 0) return errno == ENOENT;
        if (a.st_dev == b.st_dev && a.st_ino == b.st_ino) {
            // Nobody holds it and the name still refers to what we locked.
            if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
            return true;
        }
        // Someone re-created the marker meanwhile: test the new file.
    }
    return !file_exists(path);
}

bool marker_alive(const std::string& path) {
    int fd;
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // Present but unreadable: assume its holder is alive.
        return errno != ENOENT && errno != ENOTDIR;
    }
    FileHandle h(fd);
    // A shared test lock lets concurrent testers pass each other.
    if (flock_nointr(fd, LOCK_SH | LOCK_NB) != 0) return errno == EWOULDBLOCK;
    return false;
}

// --- times ------------------------------------------------------------------

std::optional<time_t> file_mtime(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return st.st_mtime;
}

bool set_file_mtime(const std::string& path, time_t t) {
    struct timespec ts[2];
    ts[0].tv_sec = 0;
    ts[0].tv_nsec = UTIME_OMIT;
    ts[1].tv_sec = t;
    ts[1].tv_nsec = 0;
    return ::utimensat(AT_FDCWD, path.c_str(), ts, 0) == 0;
}

bool set_file_mtime_now(const std::string& path) {
    struct timespec ts[2];
    ts[0].tv_sec = 0;
    ts[0].tv_nsec = UTIME_OMIT;
    ts[1].tv_sec = now();
    ts[1].tv_nsec = 0;
    return ::utimensat(AT_FDCWD, path.c_str(), ts, 0) == 0;
}

namespace {
FileInfo info_of(const struct stat& st) {
    FileInfo fi;
    fi.size = uint64_t(st.st_size);
    fi.mtime = st.st_mtime;
    fi.inode = uint64_t(st.st_ino);
    fi.device = uint64_t(st.st_dev);
    fi.is_dir = S_ISDIR(st.st_mode);
    fi.is_symlink = S_ISLNK(st.st_mode);
    fi.is_regular = S_ISREG(st.st_mode);
    return fi;
}
}  // namespace

std::optional<FileInfo> stat_file(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return info_of(st);
}

std::optional<FileInfo> stat_fd(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::nullopt;
    return info_of(st);
}

std::optional<FileInfo> lstat_file(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return info_of(st);
}

bool file_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool dir_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// --- scans ------------------------------------------------------------------

bool wildcard_match(std::string_view pattern, std::string_view name) {
    // Greedy match remembering only the last '*': each '*' retries from one
    // point, so the work is bounded by pattern length times name length.
    size_t p = 0, n = 0;
    size_t star_p = std::string_view::npos, star_n = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star_p = p++;
            star_n = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == '?' || lower_ascii(pattern[p]) == lower_ascii(name[n]))) {
            ++p;
            ++n;
        } else if (star_p != std::string_view::npos) {
            p = star_p + 1;
            n = ++star_n;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

namespace {

std::vector<DirEntry> scan_entries(const std::string& dir, std::string_view pattern, ScanKind kind,
                                   bool follow, std::vector<std::string>* links) {
    std::vector<DirEntry> out;
    std::string base = with_trailing_slash(dir.empty() ? std::string_view("./") : dir);
    DIR* d = ::opendir(base.c_str());
    if (!d) return out;
    while (struct dirent* e = ::readdir(d)) {
        const char* nm = e->d_name;
        if (nm[0] == '.') continue;
        std::string_view name(nm);
        if (!wildcard_match(pattern, name)) continue;
        bool is_dir;
        if (e->d_type == DT_DIR) {
            is_dir = true;
        } else if (e->d_type == DT_REG) {
            is_dir = false;
        } else {
            // Unknown type or a symbolic link: ask the file system.
            struct stat st {};
            std::string full = base + nm;
            if (!follow) {
                if (::lstat(full.c_str(), &st) != 0) continue;  // vanished
                if (S_ISLNK(st.st_mode)) {
                    if (links) links->emplace_back(name);
                    continue;
                }
            } else if (::stat(full.c_str(), &st) != 0) {
                continue;  // vanished or dangling
            }
            is_dir = S_ISDIR(st.st_mode);
        }
        if (kind == ScanKind::DirsOnly && !is_dir) continue;
        if (kind == ScanKind::FilesOnly && is_dir) continue;
        out.push_back(DirEntry{std::string(name), is_dir});
    }
    ::closedir(d);
    // A stable order (case-insensitive, then by spelling) keeps queue passes
    // predictable from one scan to the next.
    std::sort(out.begin(), out.end(), [](const DirEntry& a, const DirEntry& b) {
        int c = icompare(a.name, b.name);
        return c != 0 ? c < 0 : a.name < b.name;
    });
    if (links) std::sort(links->begin(), links->end());
    return out;
}

}  // namespace

std::vector<DirEntry> scan_dir(const std::string& dir, std::string_view pattern, ScanKind kind) {
    return scan_entries(dir, pattern, kind, true, nullptr);
}

std::vector<DirEntry> scan_dir_no_links(const std::string& dir, std::string_view pattern,
                                        ScanKind kind, std::vector<std::string>* links) {
    if (links) links->clear();
    return scan_entries(dir, pattern, kind, false, links);
}

void for_each_dir_item(const std::string& dir, const std::function<void(const DirItem&)>& fn) {
    std::string base = with_trailing_slash(dir.empty() ? std::string_view("./") : dir);
    DIR* d = ::opendir(base.c_str());
    if (!d) return;
    DirItem item;
    while (struct dirent* e = ::readdir(d)) {
        std::string_view name(e->d_name);
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (::lstat((base + e->d_name).c_str(), &st) != 0) continue;
        item.name.assign(name);
        item.info = info_of(st);
        fn(item);
    }
    ::closedir(d);
}

std::vector<DirItem> list_dir_items(const std::string& dir) {
    std::vector<DirItem> out;
    for_each_dir_item(dir, [&](const DirItem& e) { out.push_back(e); });
    return out;
}

bool remove_dir(const std::string& dir) {
    std::string p = dir;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return ::rmdir(p.c_str()) == 0;
}

std::optional<std::string> find_name_nocase(const std::string& dir, std::string_view name) {
    if (name.empty() || name == "." || name == "..") return std::nullopt;
    std::string base = with_trailing_slash(dir.empty() ? std::string_view("./") : dir);
    struct stat st {};
    std::string exact = base + std::string(name);
    if (name.find('/') == std::string_view::npos && ::lstat(exact.c_str(), &st) == 0)
        return std::string(name);
    DIR* d = ::opendir(base.c_str());
    if (!d) return std::nullopt;
    std::optional<std::string> found;
    while (struct dirent* e = ::readdir(d)) {
        std::string_view nm(e->d_name);
        if (nm == "." || nm == "..") continue;
        if (iequals(nm, name)) {
            found = std::string(nm);
            break;
        }
    }
    ::closedir(d);
    return found;
}

// --- paths ------------------------------------------------------------------

std::string with_trailing_slash(std::string_view dir) {
    std::string s(dir);
    if (!s.empty() && s.back() != '/') s += '/';
    return s;
}

std::string clean_path_part(std::string_view name) {
    std::string s(name);
    for (char& c : s)
        if (c == ':' || c == '/' || c == '\\') c = '-';
    return s;
}

namespace {
bool make_one_dir(const std::string& d) {
    if (::mkdir(d.c_str(), 0777) == 0) return true;
    if (errno == EEXIST) {
        if (dir_exists(d)) return true;
        errno = ENOTDIR;
    }
    return false;
}
}  // namespace

bool create_intermediate_dirs(const std::string& file_path) {
    size_t last = file_path.rfind('/');
    if (last == std::string::npos || last == 0) return true;
    // Walk from the first level below the root; levels that exist are fine.
    for (size_t pos = file_path.find('/', 1); pos != std::string::npos && pos <= last;
         pos = file_path.find('/', pos + 1)) {
        if (file_path[pos - 1] == '/') continue;  // "a//b"
        std::string level = file_path.substr(0, pos);
        if (level == "." || level == ".." ||
            (level.size() >= 2 && (level.ends_with("/.") || level.ends_with("/.."))))
            continue;
        if (!make_one_dir(level)) return false;
    }
    return true;
}

bool ensure_dir(const std::string& dir) {
    if (dir.empty()) {
        errno = ENOENT;
        return false;
    }
    std::string d = with_trailing_slash(dir);
    if (dir_exists(d)) return true;
    return create_intermediate_dirs(d);
}

FileHandle open_with_retry(const std::string& path, int flags, mode_t mode, unsigned timeout_ms) {
    const uint64_t start = monotonic_ms();
    bool dirs_made = false;
    for (;;) {
        int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
        if (fd >= 0) return FileHandle(fd);
        int e = errno;
        if (e == EINTR) continue;
        if ((flags & O_CREAT) && e == ENOENT && !dirs_made) {
            dirs_made = true;
            if (create_intermediate_dirs(path)) continue;
            errno = e;
            return {};
        }
        // Retry only while the failure may pass: resource shortages, or the
        // file is there but cannot be opened just now.
        bool definitive = e == EEXIST || e == EISDIR || e == ENOTDIR || e == ELOOP ||
                          e == ENAMETOOLONG || e == EROFS || e == EINVAL;
        bool may_pass = is_transient_errno(e) || (!definitive && file_exists(path));
        if (!may_pass || monotonic_ms() - start >= timeout_ms) {
            errno = e;
            return {};
        }
        sleep_ms(1);
    }
}

bool remove_file(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool move_file(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool move_file_noreplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

std::string program_directory() {
    static const std::string dir = [] {
        std::string buf(4096, '\0');
        ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
        if (n <= 0) return std::string("./");
        buf.resize(size_t(n));
        std::string d = dir_part(buf);
        return d.empty() ? std::string("./") : d;
    }();
    return dir;
}

FileHandle open_file(const std::string& path, int flags, mode_t mode) {
    return FileHandle(::open(path.c_str(), flags | O_CLOEXEC, mode));
}

long read_some_fd(int fd, void* buf, size_t len) {
    return long(::read(fd, buf, len));
}

long write_some_fd(int fd, const void* buf, size_t len) {
    return long(::write(fd, buf, len));
}

namespace {

constexpr int kTransientRetries = 20;

// Runs op(done) until len bytes are moved; op returns what the call did.
template <typename Op>
size_t move_all(size_t len, Op op) {
    size_t done = 0;
    int transient = 0;
    while (done < len) {
        ssize_t n = op(done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (is_transient_errno(errno) && ++transient < kTransientRetries) continue;
            break;
        }
        if (n == 0) break;
        done += size_t(n);
    }
    return done;
}

}  // namespace

bool write_all(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    return move_all(len, [&](size_t done) { return ::write(fd, p + done, len - done); }) == len;
}

bool pwrite_all(int fd, const void* data, size_t len, uint64_t offset) {
    const char* p = static_cast<const char*>(data);
    return move_all(len, [&](size_t done) {
               return ::pwrite(fd, p + done, len - done, off_t(offset + done));
           }) == len;
}

size_t pread_all(int fd, void* data, size_t len, uint64_t offset) {
    char* p = static_cast<char*>(data);
    return move_all(
        len, [&](size_t done) { return ::pread(fd, p + done, len - done, off_t(offset + done)); });
}

long pread_some_fd(int fd, void* buf, size_t len, uint64_t offset) {
    ssize_t n;
    do n = ::pread(fd, buf, len, off_t(offset));
    while (n < 0 && errno == EINTR);
    return long(n);
}

bool seek_fd(int fd, uint64_t offset) {
    return ::lseek(fd, off_t(offset), SEEK_SET) >= 0;
}

bool set_fd_mtime(int fd, time_t t) {
    struct timespec ts[2];
    ts[0].tv_sec = 0;
    ts[0].tv_nsec = UTIME_OMIT;
    ts[1].tv_sec = t;
    ts[1].tv_nsec = 0;
    return ::futimens(fd, ts) == 0;
}

bool sync_data(int fd) {
    return ::fdatasync(fd) == 0;
}

// --- stable storage ---------------------------------------------------------

namespace {
FileHandle open_for_sync(const std::string& path, int flags) {
    int fd;
    do fd = ::open(path.empty() ? "." : path.c_str(), flags | O_RDONLY | O_CLOEXEC | O_NOCTTY);
    while (fd < 0 && errno == EINTR);
    return FileHandle(fd);
}
std::mutex g_boot_lock;
std::string g_boot_override;
}  // namespace

bool sync_file_system(const std::string& path) {
    FileHandle fd = open_for_sync(path, 0);
    return fd && ::syncfs(fd.fd()) == 0;
}

bool sync_file_at(const std::string& path) {
    FileHandle fd = open_for_sync(path, O_NOFOLLOW);
    return fd && ::fdatasync(fd.fd()) == 0;
}

bool sync_dir(const std::string& dir) {
    FileHandle fd = open_for_sync(dir, O_DIRECTORY);
    return fd && ::fsync(fd.fd()) == 0;
}

std::string boot_id() {
    {
        std::lock_guard<std::mutex> lock(g_boot_lock);
        if (!g_boot_override.empty()) return g_boot_override;
    }
    static const std::string id = [] {
        std::optional<std::string> t = read_file("/proc/sys/kernel/random/boot_id", 64);
        return t ? std::string(trim(*t)) : std::string();
    }();
    return id;
}

void set_boot_id_for_tests(std::string id) {
    std::lock_guard<std::mutex> lock(g_boot_lock);
    g_boot_override = std::move(id);
}

std::optional<uint64_t> fd_size(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return std::nullopt;
    return uint64_t(st.st_size);
}

bool try_lock_exclusive(int fd) {
    return flock_nointr(fd, LOCK_EX | LOCK_NB) == 0;
}

bool fd_is_path(int fd, const std::string& path) {
    return path_is_fd(path, fd);
}

namespace {

FileStamp stamp_of(const struct stat& st) {
    FileStamp s;
    s.exists = true;
    s.device = st.st_dev;
    s.inode = st.st_ino;
    s.size = uint64_t(st.st_size);
    s.mtime = st.st_mtim;
    s.ctime = st.st_ctim;
    return s;
}

FileStamp failed_stamp(int e) {
    FileStamp s;
    s.error = e;
    return s;
}

}  // namespace

bool operator==(const FileStamp& a, const FileStamp& b) {
    return a.exists == b.exists && a.error == b.error && a.device == b.device &&
           a.inode == b.inode && a.size == b.size && a.mtime.tv_sec == b.mtime.tv_sec &&
           a.mtime.tv_nsec == b.mtime.tv_nsec && a.ctime.tv_sec == b.ctime.tv_sec &&
           a.ctime.tv_nsec == b.ctime.tv_nsec;
}

FileStamp file_stamp(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return failed_stamp(errno);
    return stamp_of(st);
}

std::optional<std::string> read_file_stamped(const std::string& path, size_t max_bytes,
                                             FileStamp& stamp) {
    FileHandle fd = open_file(path, O_RDONLY);
    struct stat st;
    if (!fd || ::fstat(fd.fd(), &st) != 0) {
        stamp = failed_stamp(errno);
        return std::nullopt;
    }
    if (S_ISDIR(st.st_mode) || size_t(st.st_size) > max_bytes) {
        stamp = failed_stamp(S_ISDIR(st.st_mode) ? EISDIR : EFBIG);
        return std::nullopt;
    }
    stamp = stamp_of(st);
    std::string data;
    data.reserve(size_t(st.st_size));
    char buf[16384];
    for (;;) {
        long n = read_some_fd(fd.fd(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || data.size() + size_t(n) > max_bytes) {
            stamp = failed_stamp(n < 0 ? errno : EFBIG);
            return std::nullopt;
        }
        if (n == 0) break;
        data.append(buf, size_t(n));
    }
    return data;
}

bool is_transient_errno(int e) {
    return e == EINTR || e == EAGAIN || e == EWOULDBLOCK || e == ENOMEM || e == ENOBUFS;
}

// --- opening below a directory --------------------------------------------

FileHandle open_directory(const std::string& path) {
    return FileHandle(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

FileHandle open_beneath(int dir_fd, const std::string& dir_path, const std::string& rel,
                        FileInfo* info) {
    struct open_how how {};
    how.flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd;
    do fd = ::syscall(SYS_openat2, dir_fd, rel.c_str(), &how, sizeof how);
    while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == ENOSYS) {
        char real_dir[PATH_MAX], real_file[PATH_MAX];
        std::string full = with_trailing_slash(dir_path) + rel;
        if (!::realpath(dir_path.c_str(), real_dir) || !::realpath(full.c_str(), real_file))
            return {};
        std::string base = std::string(real_dir) + "/";
        if (std::string_view(real_file).substr(0, base.size()) != base) return {};
        fd = ::open(real_file, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    }
    if (fd < 0) return {};
    FileHandle h(static_cast<int>(fd));
    struct stat st {};
    if (::fstat(h.fd(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    if (info) {
        info->size = uint64_t(st.st_size);
        info->mtime = st.st_mtime;
        info->inode = st.st_ino;
        info->device = st.st_dev;
        info->is_dir = false;
        info->is_symlink = false;
        info->is_regular = true;
    }
    return h;
}

bool set_fd_mode(int fd, mode_t mode) {
    return ::fchmod(fd, mode) == 0;
}

bool random_bytes(void* buf, size_t len) {
    auto* p = static_cast<unsigned char*>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::getrandom(p + done, len - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

}  // namespace platform
