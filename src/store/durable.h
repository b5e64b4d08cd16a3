// Group commit for the durable queue (DurableQueue): a writer whose file is
// complete waits until the file and its directory entry are on stable
// storage; one committer thread serves every file handed in within a few
// milliseconds with one sync, instead of one sync per message.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace store {

// How one batch reaches the disk.
enum class SyncMethod {
    FileSystem,    // one syncfs per file system the batch touches
    FilesAndDirs,  // fdatasync of every file, fsync of every distinct directory
};

// Makes the files of one batch durable: 0, or the errno of the first
// failure. A file that is gone already was taken by its consumer and needs
// nothing more.
int sync_paths(SyncMethod method, const std::vector<std::string>& paths);

// The sync a committer issues per batch (tests count and fail it).
using DurableSyncFn = std::function<int(const std::vector<std::string>& paths)>;

// One committer thread. wait() hands in complete files and blocks until the
// batch that holds them was synced; everyone in a batch gets its result.
class GroupCommitter {
  public:
    GroupCommitter(unsigned commit_ms, DurableSyncFn sync);
    // Serves what is pending, then stops; no one may be inside wait().
    ~GroupCommitter();
    GroupCommitter(const GroupCommitter&) = delete;
    GroupCommitter& operator=(const GroupCommitter&) = delete;

    // 0 once every path is on stable storage, else the sync's errno.
    int wait(const std::vector<std::string>& paths);
    // Time a batch stays open for more files after its first one.
    void set_commit_ms(unsigned ms);
    uint64_t syncs() const;

  private:
    struct Batch {
        std::vector<std::string> paths;
        int result = 0;
        bool done = false;
    };
    void run();

    DurableSyncFn sync_;
    mutable std::mutex lock_;
    std::condition_variable work_;
    std::condition_variable done_;
    std::shared_ptr<Batch> open_;
    unsigned commit_ms_;
    uint64_t syncs_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

// True when DurableQueue is on.
bool durable_queue_enabled();

// The writers' call after their files are complete: with DurableQueue on,
// waits for the process-wide committer (window DurableQueueCommitMs) and
// returns 0 or the errno of the failed sync (traced); with it off, returns 0
// at once and syncs nothing.
int wait_durable(const std::vector<std::string>& paths);
int wait_durable(const std::string& path);

// Tests only: the sync the process-wide committer uses (nullptr: the real
// one).
void set_durable_sync_for_tests(DurableSyncFn fn);

}  // namespace store
