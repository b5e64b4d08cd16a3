// File claiming, atomic creation and replacement, marker files, directory
// scans and the path helpers every queue consumer and producer uses.
// Directory paths end in '/'. All scans match names case-insensitively.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Owner of one open descriptor; closes it on destruction.
class FileHandle {
  public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    FileHandle(FileHandle&& o) noexcept : fd_(o.release()) {}
    FileHandle& operator=(FileHandle&& o) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle();

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    void close();

  private:
    int fd_ = -1;
};

// --- claiming -------------------------------------------------------------

// Opens an existing file read/write and takes flock(LOCK_EX|LOCK_NB) on it.
// Returns an invalid handle when the file is missing or someone else holds
// it ("a second opener fails and passes the file by"). *busy (optional) is
// set true only when the file exists but is held. A symbolic link is never
// claimed (errno ELOOP).
FileHandle claim_file(const std::string& path, bool* busy = nullptr);

// --- creation and replacement ---------------------------------------------

// Writes data under a temporary dot-name in the same directory, then moves
// it to path without replacing (renameat2 RENAME_NOREPLACE, or link(2) where
// the file system lacks it); fails (returns false, errno EEXIST) instead of
// replacing an existing file. The final name is never visible incomplete.
bool create_new_file(const std::string& path, std::string_view data);

// Writes data under a temporary name and renames it over path (replace).
// keep_mtime: when the target existed, its modification time is carried
// over (the gateway's in-place rewrites keep a message's age).
bool replace_file(const std::string& path, std::string_view data, bool keep_mtime = false);

// replace_file that survives a power loss: the temporary is synced before
// the rename and the directory after it, so once this returns true the new
// content is on disk (an old or the new content, never an empty file).
bool replace_file_synced(const std::string& path, std::string_view data);

// Removes the temporaries that create_new_file / replace_file leave behind
// when a writer dies mid-write (hidden names of the form
// ".<name>.<pid>.<tid>.<n>.tmp") whose modification time is more than
// max_age_s seconds before now(). Returns how many were removed.
size_t remove_stale_temporaries(const std::string& dir, unsigned max_age_s);

// replace_file for secrets: the temporary ".<name>.<pid>.tmp" is created
// new with mode 0600 (never through a link), synced, then renamed over
// path, so the data is never readable by others, not even for a moment.
bool replace_private_file(const std::string& path, std::string_view data);
// Reads a whole file; nullopt when it cannot be opened or read.
// max_bytes bounds how much is read (the rest is ignored).
std::optional<std::string> read_file(const std::string& path, size_t max_bytes = SIZE_MAX);

// Rewrites an open (usually claimed) file in place through fd so that it
// holds data. Keeps the claim's lock on the same file, which a rename would
// not. keep_mtime carries the old modification time over. The file is never
// empty or torn on the way: space for a longer text is allocated first (a
// full disk fails the call with the old content untouched), the text is
// written over the old one, and only then is the file cut to its new length.
// Old bytes beyond a shorter text are first overwritten with a line feed and
// blanks, so a crash before the cut leaves the new text followed by a blank
// line, which the request-file reader skips, never a fragment of the old one.
bool rewrite_in_place(int fd, std::string_view data, bool keep_mtime = false);
// The same when the first `from` bytes of data are what the file already
// holds there: only data[from..] is written.
bool rewrite_from(int fd, std::string_view data, size_t from, bool keep_mtime);
// Tests only: called by rewrite_from between its writes and the cut; when it
// returns false the rewrite stops there, as a crash at that point would
// leave the file. nullptr: none.
void set_rewrite_crash_point_for_tests(bool (*hook)());

// Reads the whole content of an open file from offset 0 (at most max_bytes).
std::optional<std::string> read_fd(int fd, size_t max_bytes = SIZE_MAX);

// Appends data with one write(2) under O_APPEND; creates the file if needed.
bool append_file(const std::string& path, std::string_view data);

// --- markers --------------------------------------------------------------

// A marker file held by a live worker: created (or opened) and flock'ed
// exclusively for the holder's life; released and unlinked on destruction.
class Marker {
  public:
    Marker() = default;
    Marker(Marker&& o) noexcept;
    Marker& operator=(Marker&& o) noexcept;
    Marker(const Marker&) = delete;
    Marker& operator=(const Marker&) = delete;
    ~Marker();

    // Creates/opens path and takes the lock without waiting. Fails when a
    // live holder has it.
    static std::optional<Marker> acquire(const std::string& path);
    bool valid() const { return fd_.valid(); }
    const std::string& path() const { return path_; }
    int fd() const { return fd_.fd(); }
    // Unlinks the file and drops the lock now.
    void release();

  private:
    FileHandle fd_;
    std::string path_;
};

// "Try to delete it; if it still exists its holder is alive": returns true
// when path does not exist afterwards (it was absent, or stale and removed),
// false when a live holder keeps its lock on it.
bool remove_if_stale(const std::string& path);

// True when path exists and a live holder has it locked.
bool marker_alive(const std::string& path);

// --- times ----------------------------------------------------------------

// Modification time stands in for the creation time of the design.
std::optional<time_t> file_mtime(const std::string& path);
bool set_file_mtime(const std::string& path, time_t t);
bool set_file_mtime_now(const std::string& path);

struct FileInfo {
    uint64_t size = 0;
    time_t mtime = 0;
    uint64_t inode = 0;
    uint64_t device = 0;
    bool is_dir = false;
    bool is_symlink = false;  // lstat_file only: the link itself
    bool is_regular = false;
};
std::optional<FileInfo> stat_file(const std::string& path);
// The same for an open file (fstat).
std::optional<FileInfo> stat_fd(int fd);
// The entry itself, a symbolic link not followed (lstat).
std::optional<FileInfo> lstat_file(const std::string& path);
bool file_exists(const std::string& path);
bool dir_exists(const std::string& path);

// --- scans ----------------------------------------------------------------

struct DirEntry {
    std::string name;  // the entry's own spelling
    bool is_dir = false;
};

// Entries of dir whose name matches pattern ('*' and '?' wildcards, ASCII
// case-insensitive: "*.REQ" finds "a.req"). Hidden temporaries (leading '.')
// are never listed. dirs_only / files_only filter by kind.
enum class ScanKind { Any, FilesOnly, DirsOnly };
std::vector<DirEntry> scan_dir(const std::string& dir, std::string_view pattern = "*",
                               ScanKind kind = ScanKind::Any);

// scan_dir that never follows a symbolic link: links (to anything, dangling
// too) are left out of the result and their names put into *links (when
// given, sorted), so that the caller can say what it skipped.
std::vector<DirEntry> scan_dir_no_links(const std::string& dir, std::string_view pattern,
                                        ScanKind kind, std::vector<std::string>* links);

// Every entry of dir but "." and "..", hidden ones too, each with what
// lstat says of it (links not followed), in directory order. Entries that
// vanish while listed are left out.
struct DirItem {
    std::string name;
    FileInfo info;
};
std::vector<DirItem> list_dir_items(const std::string& dir);
// The same walk without holding the whole listing: fn sees each entry in
// turn (a queue directory may hold hundreds of thousands of files).
void for_each_dir_item(const std::string& dir, const std::function<void(const DirItem&)>& fn);

// rmdir(2): removes dir (a trailing '/' allowed) only when it is empty.
bool remove_dir(const std::string& dir);

// Wildcard match used by scans ('*', '?', case-insensitive).
bool wildcard_match(std::string_view pattern, std::string_view name);

// Finds an existing entry of dir whose name equals name ignoring case;
// returns its real spelling.
std::optional<std::string> find_name_nocase(const std::string& dir, std::string_view name);

// --- paths ----------------------------------------------------------------

// Appends '/' when missing (empty stays empty).
std::string with_trailing_slash(std::string_view dir);

// Replaces every ':', '/' and '\' by '-'.
std::string clean_path_part(std::string_view name);

// Creates every missing directory level of a file path up to its last '/'.
bool create_intermediate_dirs(const std::string& file_path);

// Creates dir and its parents when missing (dir may end in '/').
bool ensure_dir(const std::string& dir);

// Open with retry: opens (flags as for open(2), e.g. O_RDWR|O_CREAT); when
// creation fails for lack of a directory, creates the intermediate levels and
// tries once more; while the file exists but cannot be opened, retries every
// 1 ms until timeout_ms has passed.
FileHandle open_with_retry(const std::string& path, int flags, mode_t mode, unsigned timeout_ms);

bool remove_file(const std::string& path);
// rename(2): move with replace.
bool move_file(const std::string& from, const std::string& to);
// Moves without replacing (renameat2 RENAME_NOREPLACE, or link+unlink).
bool move_file_noreplace(const std::string& from, const std::string& to);

// Program directory: the directory holding the running executable, with '/'.
std::string program_directory();

// --- descriptors ----------------------------------------------------------

// open(2) with O_CLOEXEC added; an invalid handle (errno set) on failure.
FileHandle open_file(const std::string& path, int flags, mode_t mode = 0644);
// One read(2) / write(2): bytes moved, or -1 with errno (EINTR included:
// callers that count retries see every one).
long read_some_fd(int fd, void* buf, size_t len);
long write_some_fd(int fd, const void* buf, size_t len);
// Every byte, at the file offset / at offset (positional). EINTR is always
// retried, the other transient errors up to 20 times. pread_all returns the
// bytes read, less than len at end of file or on error.
bool write_all(int fd, const void* data, size_t len);
bool pwrite_all(int fd, const void* data, size_t len, uint64_t offset);
size_t pread_all(int fd, void* data, size_t len, uint64_t offset);
// One pread(2), EINTR retried: bytes read, or -1 with errno.
long pread_some_fd(int fd, void* buf, size_t len, uint64_t offset);
// Moves the file offset to offset (lseek SEEK_SET).
bool seek_fd(int fd, uint64_t offset);
// Sets the modification time of the open file (access time untouched).
bool set_fd_mtime(int fd, time_t t);
// fdatasync(2).
bool sync_data(int fd);
// --- stable storage (durable queue) ---
// syncfs(2) of the file system that holds path (a file or a directory):
// every dirty file and directory entry of it reaches the disk.
bool sync_file_system(const std::string& path);
// fdatasync(2) of the file at path; false with errno (ENOENT: gone).
bool sync_file_at(const std::string& path);
// fsync(2) of a directory, so that the entries made in it are on disk.
bool sync_dir(const std::string& dir);
// This boot's id (/proc/sys/kernel/random/boot_id, trimmed): whatever a
// process wrote without a sync survives a crash of the process but not a
// power loss, and a different id says which of the two came before.
std::string boot_id();
// Tests only: the id boot_id() returns (empty: the real one).
void set_boot_id_for_tests(std::string id);
// Size of the open file; nullopt on error.
std::optional<uint64_t> fd_size(int fd);
// flock(LOCK_EX | LOCK_NB); false with errno EWOULDBLOCK while someone else
// holds it.
bool try_lock_exclusive(int fd);
// True while path still names the file open on fd (not unlinked or
// replaced since it was opened).
bool fd_is_path(int fd, const std::string& path);

// --- change stamps -------------------------------------------------------

// Identity of one version of a file: a rewrite, a replacement or a touch
// changes it. error is the errno of a failed stat or read.
struct FileStamp {
    bool exists = false;
    int error = 0;
    uint64_t device = 0, inode = 0, size = 0;
    timespec mtime{}, ctime{};
};
bool operator==(const FileStamp& a, const FileStamp& b);
FileStamp file_stamp(const std::string& path);
// Reads a regular file whole together with the stamp of the descriptor
// read, so the two match. nullopt (stamp.error set: EISDIR for a
// directory, EFBIG beyond max_bytes) when it cannot be read.
std::optional<std::string> read_file_stamped(const std::string& path, size_t max_bytes,
                                             FileStamp& stamp);

// --- transient resource errors --------------------------------------------

// True for errno values the design treats like an out-of-resources error
// worth a retry (EINTR, EAGAIN, ENOMEM, ENOBUFS).
bool is_transient_errno(int e);

// --- opening below a directory --------------------------------------------

// The directory at path opened O_PATH (for lookups below it only); an
// invalid handle (errno set) when it is missing or not a directory.
FileHandle open_directory(const std::string& path);
// Opens the regular file rel read-only (non-blocking, no controlling tty)
// below the directory dir_fd (opened from dir_path) without leaving it: an
// absolute rel, ".." above the top and symbolic links that point out fail.
// The kernel enforces it (openat2 RESOLVE_BENEATH); on kernels without
// openat2 the resolved paths are compared. Invalid when not a regular file;
// *info (when given) receives what fstat says of the file opened.
FileHandle open_beneath(int dir_fd, const std::string& dir_path, const std::string& rel,
                        FileInfo* info = nullptr);
// fchmod(2).
bool set_fd_mode(int fd, mode_t mode);
// len bytes from the kernel's random source (getrandom); false when fewer.
bool random_bytes(void* buf, size_t len);

}  // namespace platform
