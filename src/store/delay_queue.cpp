// "ThreadProcessDelayQ": scheduled messages wait below "DELAYQ" in
// directories named after their date and minute; once that minute has come
// they join the live outbound queue.
#include "store/delay_queue.h"

#include <cerrno>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "records/counters.h"
#include "store/store_state.h"

namespace store {

namespace {

constexpr const char* kTrace = "ThreadProcessDelayQ";
constexpr unsigned kRoundMs = 1000;
constexpr int kMaxDepth = 16;

bool digits(std::string_view s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return !s.empty();
}

int number(std::string_view s) {
    int v = 0;
    for (char c : s) v = v * 10 + (c - '0');
    return v;
}

// Lexicographic comparison of (year, month, day[, hour, minute]) with now.
bool later(const int* a, const int* b, int n) {
    for (int i = 0; i < n; ++i)
        if (a[i] != b[i]) return a[i] > b[i];
    return false;
}

// An existing subdirectory of the same name in any case, else the name.
std::string target_level(const std::string& parent, std::string_view name) {
    if (auto found = platform::find_name_nocase(parent, name)) return parent + *found + "/";
    return parent + std::string(name) + "/";
}

// Symbolic links below the delay directory are never followed (nor moved):
// each is traced once and stays where it is.
void trace_links(const std::string& dir, const std::vector<std::string>& links) {
    for (const std::string& l : links)
        if (first_report("link:" + dir + l))
            frame::debug_tracef(kTrace, "Symbolic link %s%s skipped", dir.c_str(), l.c_str());
}

// Moves every file of src into dst and every subdirectory into the
// subdirectory of the same name (created when missing), then removes the
// emptied subdirectories. Files being written (hidden temporaries) stay.
unsigned move_entries(const std::string& src, const std::string& dst, int depth) {
    unsigned moved = 0;
    std::vector<std::string> links;
    const std::vector<platform::DirEntry> entries =
        platform::scan_dir_no_links(src, "*", platform::ScanKind::Any, &links);
    trace_links(src, links);
    for (const platform::DirEntry& e : entries) {
        if (frame::shutdown_requested()) break;
        std::string from = src + e.name;
        if (e.is_dir) {
            if (depth >= kMaxDepth) continue;
            std::string to = target_level(dst, e.name);
            if (!platform::ensure_dir(to)) {
                frame::debug_tracef(kTrace, "Error %d creating %s", errno, to.c_str());
                continue;
            }
            moved += move_entries(from + "/", to, depth + 1);
            platform::remove_dir(from);
            continue;
        }
        // The message's age (RetryMaxAge) starts now that it is due, not when
        // it was scheduled; stamped before the move so that no link sees it
        // with its old time.
        if (!platform::set_file_mtime(from, platform::now()))
            frame::debug_tracef(kTrace, "Error %d setting the time of %s", errno, from.c_str());
        if (platform::move_file(from, dst + e.name)) {
            records::add_counter(records::Counter::OutQueueSize);
            ++moved;
        } else {
            frame::debug_tracef(kTrace, "Error %d moving %s", errno, from.c_str());
        }
    }
    return moved;
}

// The delay directory below root. The usual spellings are found with an
// lstat each; another spelling needs a listing of the whole queue root, which
// holds every queued message, so that is done at most once a minute.
constexpr uint64_t kDelayDirRescanMs = 60 * 1000;

std::optional<std::string> delay_dir_name(const std::string& root) {
    for (const char* name : {"DELAYQ", "DelayQ"}) {
        std::optional<platform::FileInfo> info = platform::lstat_file(root + name);
        if (info && info->is_dir) return std::string(name);
    }
    StoreState& s = store_state();
    std::lock_guard<std::mutex> lock(s.delay_scan_lock);
    const uint64_t now = platform::monotonic_ms();
    if (root == s.delay_last_root && s.delay_last_scan_ms != 0 &&
        now - s.delay_last_scan_ms < kDelayDirRescanMs)
        return std::nullopt;
    s.delay_last_root = root;
    s.delay_last_scan_ms = now;
    return platform::find_name_nocase(root, "DelayQ");
}

}  // namespace

unsigned process_delay_queue(const std::string& queue_root) {
    const std::string root = platform::with_trailing_slash(queue_root);
    std::optional<std::string> dq = delay_dir_name(root);
    if (!dq) return 0;
    if (std::optional<platform::FileInfo> info = platform::lstat_file(root + *dq);
        !info || info->is_symlink) {
        if (info) trace_links(root, {*dq});
        return 0;
    }
    const std::string delay_dir = root + *dq + "/";
    const platform::LocalTime now = platform::local_now();
    const int today[5] = {now.year, now.month, now.day, now.hour, now.minute};

    unsigned moved = 0;
    std::vector<std::string> links;
    const std::vector<platform::DirEntry> dates =
        platform::scan_dir_no_links(delay_dir, "*", platform::ScanKind::DirsOnly, &links);
    trace_links(delay_dir, links);
    for (const platform::DirEntry& d : dates) {
        if (frame::shutdown_requested()) break;
        if (d.name.size() != 8 || !digits(d.name)) continue;
        int when[5] = {number(d.name.substr(0, 4)), number(d.name.substr(4, 2)),
                       number(d.name.substr(6, 2)), 0, 0};
        if (later(when, today, 3)) continue;
        const std::string date_dir = delay_dir + d.name + "/";
        const std::vector<platform::DirEntry> times =
            platform::scan_dir_no_links(date_dir, "*", platform::ScanKind::DirsOnly, &links);
        trace_links(date_dir, links);
        for (const platform::DirEntry& t : times) {
            if (t.name.size() <= 3 || !digits(std::string_view(t.name).substr(0, 4))) continue;
            when[3] = number(std::string_view(t.name).substr(0, 2));
            when[4] = number(std::string_view(t.name).substr(2, 2));
            if (later(when, today, 5)) continue;
            const std::string time_dir = date_dir + t.name + "/";
            moved += move_entries(time_dir, root, 0);
            platform::remove_dir(time_dir);  // fails harmlessly while a writer is still at it
        }
        platform::remove_dir(date_dir);
    }
    return moved;
}

unsigned process_delay_queue_round() {
    const frame::GlobalSettings& s = frame::settings();
    return process_delay_queue(s.q_dir.empty() ? frame::default_queue_root() : s.q_dir);
}

void ThreadProcessDelayQ() {
    while (!frame::shutdown_requested()) {
        process_delay_queue_round();
        if (frame::sleep_unless_shutdown(kRoundMs)) break;
    }
}

bool start_delay_queue_thread() {
    return frame::start_thread("ThreadProcessDelayQ", &ThreadProcessDelayQ);
}

}  // namespace store
