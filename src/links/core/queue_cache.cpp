// The queue cache thread and its lists: one listing of the outbound queue
// every 250 ms, read by the link workers instead of the file system.
#include "links/core/queue_cache.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "frame/settings.h"
#include "links/core/module_state.h"
#include "platform/files.h"

namespace links {

namespace {

constexpr unsigned kScanIntervalMs = 250;
constexpr std::string_view kRootName = ".";

using Listing = detail::QueueListing;

detail::ModuleState::QueueCache& cache() {
    return detail::module_state().queue_cache;
}

void append_directory(Listing& l, std::string name, std::vector<platform::DirEntry> files) {
    Listing::Directory d;
    d.name = std::move(name);
    d.first = l.files.size();
    d.count = files.size();
    for (platform::DirEntry& f : files) l.files.push_back(std::move(f.name));
    l.dirs.push_back(std::move(d));
}

// Symbolic links in the queue are never listed: a link to a directory is no
// queue and a link to a file no message of ours. Each is traced once while
// it stays (the listing runs four times a second).
class LinkReports {
  public:
    void report(const std::string& dir, const std::vector<std::string>& links) {
        for (const std::string& l : links) {
            std::string path = dir + l;
            if (reported_.insert(path).second)
                frame::debug_tracef("ThreadProcessQCache", "Symbolic link %s skipped", path.c_str());
            seen_.insert(std::move(path));
        }
    }
    // After a round: links that went are forgotten, so a new one is traced.
    void end_round() {
        reported_.swap(seen_);
        seen_.clear();
    }

  private:
    std::set<std::string> reported_, seen_;
};

std::mutex& link_reports_mu() {
    static std::mutex mu;
    return mu;
}

LinkReports& link_reports() {
    static LinkReports r;
    return r;
}

void queue_cache_thread() {
    while (!frame::shutdown_requested()) {
        queue_cache_scan(frame::settings().q_dir);
        if (frame::sleep_unless_shutdown(kScanIntervalMs)) break;
    }
}

}  // namespace

bool remove_empty_user_queue(const std::string& dir) {
    std::string path = dir;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    std::optional<platform::FileInfo> info = platform::stat_file(path);
    if (!info || !info->is_dir) return false;
    // File times are the real clock's, whatever the gateway's clock says.
    const time_t now = ::time(nullptr);
    if (info->mtime > now || now - info->mtime < time_t(kUserQueueIdleSeconds)) return false;
    // rmdir removes only an empty directory: lock files, temporaries or
    // deeper levels keep it.
    return platform::remove_dir(path);
}

void queue_cache_scan(const std::string& queue_root) {
    Listing fresh;
    if (!queue_root.empty()) {
        std::lock_guard<std::mutex> reports_lock(link_reports_mu());
        LinkReports& reports = link_reports();
        std::vector<std::string> links;
        const std::string root = platform::with_trailing_slash(queue_root);
        std::vector<platform::DirEntry> root_files =
            platform::scan_dir_no_links(root, "*.REQ", platform::ScanKind::FilesOnly, &links);
        reports.report(root, links);
        if (!root_files.empty())
            append_directory(fresh, std::string(kRootName), std::move(root_files));
        std::vector<platform::DirEntry> subs =
            platform::scan_dir_no_links(root, "*", platform::ScanKind::DirsOnly, &links);
        reports.report(root, links);
        for (platform::DirEntry& sub : subs) {
            const std::string dir = root + sub.name + "/";
            std::vector<platform::DirEntry> files =
                platform::scan_dir_no_links(dir, "*.REQ", platform::ScanKind::FilesOnly, &links);
            reports.report(dir, links);
            if (files.empty()) {
                remove_empty_user_queue(root + sub.name);
                continue;
            }
            append_directory(fresh, std::move(sub.name), std::move(files));
        }
        reports.end_round();
    }
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(cache().mu);
        std::swap(cache().listing, fresh);
        first = !cache().ready;
        cache().ready = true;
    }
    // The old lists are released here, outside the lock.
    if (first) frame::set_qcache_ready();
}

bool start_queue_cache_thread() {
    if (!frame::settings().use_q_cache) return true;
    return frame::start_thread("ThreadProcessQCache", queue_cache_thread);
}

bool queue_cache_ready() {
    std::lock_guard<std::mutex> lock(cache().mu);
    return cache().ready;
}

std::vector<std::string> queue_cache_directories() {
    std::vector<std::string> names;
    std::lock_guard<std::mutex> lock(cache().mu);
    names.reserve(cache().listing.dirs.size());
    for (const Listing::Directory& d : cache().listing.dirs) names.push_back(d.name);
    return names;
}

std::vector<std::string> queue_cache_files(std::string_view directory) {
    std::lock_guard<std::mutex> lock(cache().mu);
    for (const Listing::Directory& d : cache().listing.dirs) {
        if (d.name != directory) continue;
        auto begin = cache().listing.files.begin() + static_cast<std::ptrdiff_t>(d.first);
        return std::vector<std::string>(begin, begin + static_cast<std::ptrdiff_t>(d.count));
    }
    return {};
}

void queue_cache_clear() {
    Listing old;
    std::lock_guard<std::mutex> lock(cache().mu);
    std::swap(cache().listing, old);
    cache().ready = false;
}

}  // namespace links
