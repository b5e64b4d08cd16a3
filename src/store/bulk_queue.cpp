// "ThreadProcessBulkQ": claims batch directories of the bulk queue with
// "LOCK.LCK" and turns each recipient line into one request file per
// template. Each list remembers its target directory and the end of its
// last finished line in a small progress file beside it, so that a crash in
// the middle of a list neither loses its recipients nor queues them again:
// at most the line being written is written once more, under the same
// names in the same directory.
#include "store/bulk_queue.h"

#include <fcntl.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <mutex>

#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "records/counters.h"
#include "store/durable.h"
#include "store/message_id.h"
#include "store/request_codec.h"
#include "store/store_state.h"

namespace store {

namespace {

constexpr const char* kTrace = "ThreadProcessBulkQ";
constexpr unsigned kRoundMs = 1000;
constexpr unsigned kBulkThreads = 3;
// Width of the offset field of a progress file, rewritten in place.
constexpr int kOffsetWidth = 20;
// A template holds one message segment; anything this large is no template.
constexpr size_t kMaxTemplateBytes = 1u << 20;
constexpr size_t kMaxListBytes = 256u << 20;
constexpr size_t kMaxFileName = 255;  // NAME_MAX
constexpr int kMaxTreeDepth = 32;
// Left in a batch whose lists were all expanded while it was still being built.
constexpr const char* kExpandedFlag = "EXPANDED.FLG";
// Draws of a target directory before one already holding files is taken.
constexpr int kTargetDraws = 16;

void trace_once(const std::string& batch, const std::string& text) {
    {
        StoreState& s = store_state();
        std::lock_guard<std::mutex> lock(s.reported_lock);
        if (!s.reported.insert(batch).second) return;
    }
    frame::debug_trace(kTrace, text);
}

void forget_report(const std::string& batch) {
    StoreState& s = store_state();
    std::lock_guard<std::mutex> lock(s.reported_lock);
    s.reported.erase(batch);
}

bool all_digits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

int number_at(std::string_view s, size_t pos, size_t len) {
    int v = 0;
    for (size_t i = pos; i < pos + len; ++i) v = v * 10 + (s[i] - '0');
    return v;
}

bool later_than_now(const frame::ScheduledTime& t, const platform::LocalTime& now) {
    const int a[5] = {t.year, t.month, t.day, t.hour, t.minute};
    const int b[5] = {now.year, now.month, now.day, now.hour, now.minute};
    for (int i = 0; i < 5; ++i)
        if (a[i] != b[i]) return a[i] > b[i];
    return false;
}

bool has_control(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) < 32 || c == 127) return true;
    return false;
}

std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// Symbolic links in the bulk queue are never followed: a link is no batch,
// list or template of ours. Each is traced once.
void trace_link(const std::string& path) {
    trace_once("link:" + path, "Symbolic link " + path + " skipped");
}

std::vector<std::string> list_files(const std::string& batch) {
    std::vector<std::string> names;
    std::vector<std::string> links;
    for (const platform::DirEntry& e :
         platform::scan_dir_no_links(batch, "R*.BLK", platform::ScanKind::FilesOnly, &links))
        names.push_back(e.name);
    for (const std::string& l : links) trace_link(batch + l);
    return names;
}

bool is_link(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    std::optional<platform::FileInfo> info = platform::lstat_file(p);
    return info && info->is_symlink;
}

unsigned count_requests(const std::string& dir) {
    return unsigned(platform::scan_dir(dir, "*.REQ", platform::ScanKind::FilesOnly).size());
}

// Files first, then subdirectories not starting with '.', then the directory.
void remove_tree(const std::string& dir, int depth) {
    if (depth > kMaxTreeDepth || is_link(dir)) return;
    std::vector<std::string> subdirs;
    std::vector<std::string> files;
    for (const platform::DirItem& e : platform::list_dir_items(dir)) {
        std::string full = dir + e.name;
        if (e.info.is_dir) {
            if (e.name[0] != '.') subdirs.push_back(full + "/");
        } else {
            files.push_back(full);
        }
    }
    for (const std::string& f : files) platform::remove_file(f);
    for (const std::string& s : subdirs) remove_tree(s, depth + 1);
    platform::remove_dir(dir);
}

// --- templates ---------------------------------------------------------------------

enum class TemplateLoad { Ok, None, Unreadable };

TemplateLoad load_templates(const std::string& batch, std::vector<std::string>& out) {
    out.clear();
    for (unsigned i = 1; i <= kMaxBulkTemplates; ++i) {
        std::string name = platform::strprintf("M%u.REQ", i);
        std::optional<std::string> found = platform::find_name_nocase(batch, name);
        if (!found) break;
        std::string path = batch + *found;
        std::optional<platform::FileInfo> info = platform::lstat_file(path);
        if (!info) break;  // removed meanwhile: the list of templates ends here
        if (info->is_symlink) {
            // Its target's content (and a copy readable by all) is not ours
            // to queue: the batch waits like one with an unreadable template.
            trace_once(batch, "Template " + path + " is a symbolic link, not read");
            return TemplateLoad::Unreadable;
        }
        std::optional<std::string> text;
        if (!info->is_dir && info->size <= kMaxTemplateBytes) {
            platform::FileHandle fh = platform::open_file(path, O_RDONLY | O_NOFOLLOW);
            if (fh) text = platform::read_fd(fh.fd(), kMaxTemplateBytes);
        }
        if (!text) {
            trace_once(batch,
                       platform::strprintf("Error %d reading template %s", errno, path.c_str()));
            return TemplateLoad::Unreadable;
        }
        out.push_back(std::move(*text));
    }
    if (out.empty()) {
        trace_once(batch, "No message template in " + batch);
        return TemplateLoad::None;
    }
    return TemplateLoad::Ok;
}

// --- list progress -----------------------------------------------------------------

struct Progress {
    std::string dir;  // "####XXXX"
    size_t offset = 0;
    // Lines before this may have files already (written before a crash).
    size_t written = 0;
    // Lines before this have their files on stable storage (durable mode).
    size_t durable = 0;
};

// With DurableQueue the progress file also says how far the list's files
// are on stable storage, with the boot they were written in: after a power
// loss the recorded end of the last line is no proof that its files
// survived, so a list resumes from its durable offset instead.
constexpr size_t kDurableChunkFiles = 256;

bool valid_target_name(std::string_view s) {
    if (s.size() != 8 || s.substr(0, 4) != "####") return false;
    for (char c : s.substr(4))
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

std::optional<Progress> read_progress(const std::string& path, size_t list_size) {
    std::optional<std::string> text = platform::read_file(path, 256);
    if (!text) return std::nullopt;
    size_t nl = text->find('\n');
    if (nl == std::string::npos) return std::nullopt;
    std::string_view dir = platform::trim(std::string_view(*text).substr(0, nl));
    std::string_view rest = std::string_view(*text).substr(nl + 1);
    const size_t nl2 = rest.find('\n');
    std::string_view off = platform::trim(rest.substr(0, nl2));
    std::string_view durable =
        nl2 == std::string_view::npos ? std::string_view() : platform::trim(rest.substr(nl2 + 1));
    if (!valid_target_name(dir) || !all_digits(off) || off.size() > size_t(kOffsetWidth))
        return std::nullopt;
    Progress p;
    p.dir = std::string(dir);
    p.offset = size_t(std::stoull(std::string(off)));
    if (p.offset > list_size) return std::nullopt;
    p.written = p.offset;
    if (!durable.empty()) {
        const size_t blank = durable.find(' ');
        std::string_view d = durable.substr(0, blank);
        std::string_view boot =
            blank == std::string_view::npos ? std::string_view() : durable.substr(blank + 1);
        if (!all_digits(d) || d.size() > size_t(kOffsetWidth)) return std::nullopt;
        const size_t durable_offset = size_t(std::stoull(std::string(d)));
        if (durable_offset > p.offset) return std::nullopt;
        p.durable = durable_offset;
        if (boot != platform::boot_id()) p.offset = durable_offset;
    }
    return p;
}

// The progress file of a list: "####XXXX\r\n" and a fixed-width offset that
// one pwrite(2) updates after every line (a write the kill of the process
// cannot tear).
class ProgressFile {
  public:
    // durable: the file holds the durable offset too and is itself made
    // durable here, so that a power loss cannot send the list elsewhere.
    bool open(const std::string& path, const Progress& p, bool durable) {
        dir_ = p.dir;
        durable_ = durable;
        std::string t = text(p.offset);
        if (durable) t += durable_text(p.durable);
        if (!(durable ? platform::replace_file_synced(path, t) : platform::replace_file(path, t)))
            return false;
        file_ = platform::open_file(path, O_RDWR | O_NOFOLLOW);
        return file_.valid();
    }
    bool save(size_t offset) {
        if (!file_.valid()) return false;
        if (offset == saved_) return true;
        std::string t = text(offset);
        if (!platform::pwrite_all(file_.fd(), t.data(), t.size(), 0)) return false;
        saved_ = offset;
        return true;
    }
    // Written only after the files up to offset were synced.
    bool save_durable(size_t offset) {
        if (!file_.valid() || !durable_) return false;
        std::string t = durable_text(offset);
        return platform::pwrite_all(file_.fd(), t.data(), t.size(), text(0).size());
    }
    void close() { file_.close(); }

  private:
    std::string text(size_t offset) const {
        return platform::strprintf("%s\r\n%0*zu\r\n", dir_.c_str(), kOffsetWidth, offset);
    }
    std::string durable_text(size_t offset) const {
        return platform::strprintf("%0*zu %s\r\n", kOffsetWidth, offset,
                                   platform::boot_id().c_str());
    }
    bool durable_ = false;
    platform::FileHandle file_;
    std::string dir_;
    size_t saved_ = SIZE_MAX;
};

std::string progress_path(const std::string& batch, const std::string& list_name) {
    size_t dot = list_name.rfind('.');
    return batch + list_name.substr(0, dot) + ".POS";
}

// --- pacing ------------------------------------------------------------------------

// Keeps a target directory below the pace limit. The count is tracked as
// files are added (an upper bound, since link workers only take files away)
// and taken again from the directory only when the bound says "full".
class Pacer {
  public:
    Pacer(std::string dir, uint32_t limit) : dir_(std::move(dir)), limit_(limit) {
        count_ = count_requests(dir_);
    }

    // Waits until `need` more files fit (or the directory is empty, for a
    // line with more files than the limit). False on shutdown.
    bool make_room(unsigned need) {
        if (fits(need)) return true;
        count_ = count_requests(dir_);
        bool waited = false;
        while (!fits(need)) {
            if (!waited) {
                frame::debug_trace(kTrace, "Waiting on q directory");
                frame::debug_trace(kTrace, dir_);
                waited = true;
            }
            if (frame::sleep_unless_shutdown(store_state().bulk_pace_wait_ms.load())) return false;
            count_ = count_requests(dir_);
        }
        if (waited) frame::debug_trace(kTrace, "Done waiting on q directory");
        return true;
    }

    // The pacing after a whole list: wait while the directory holds at
    // least the limit.
    bool settle() {
        count_ = count_requests(dir_);
        if (count_ < limit_) return true;
        frame::debug_trace(kTrace, "Waiting on q directory");
        frame::debug_trace(kTrace, dir_);
        while (count_ >= limit_) {
            if (frame::sleep_unless_shutdown(store_state().bulk_pace_wait_ms.load())) return false;
            count_ = count_requests(dir_);
        }
        frame::debug_trace(kTrace, "Done waiting on q directory");
        return true;
    }

    void added() { ++count_; }

  private:
    bool fits(unsigned need) const { return count_ == 0 || count_ + need <= limit_; }

    std::string dir_;
    uint32_t limit_;
    uint32_t count_ = 0;
};

// --- expansion ---------------------------------------------------------------------

enum class ListResult { Done, Kept, Stopped };

// A fresh "####%04X" directory for a list: one that holds no request files
// yet when such a one turns up within a few draws.
std::string draw_target_name() {
    std::string name;
    for (int i = 0; i < kTargetDraws; ++i) {
        name = platform::strprintf("####%04X", next_random_id() & 0xFFFFu);
        if (count_requests(frame::outbound_queue_dir(nullptr, "", name, 0)) == 0) break;
    }
    return name;
}

ListResult expand_list(const std::string& batch, const std::string& list_name,
                       const std::vector<std::string>& templates, uint32_t limit) {
    const std::string path = batch + list_name;
    // A list still held by its writer is passed by until it is complete.
    platform::FileHandle list = platform::claim_file(path);
    if (!list) return ListResult::Kept;
    std::optional<uint64_t> list_size = platform::fd_size(list.fd());
    if (!list_size || *list_size > kMaxListBytes) {
        frame::debug_tracef(kTrace, "Error reading %s", path.c_str());
        return ListResult::Kept;
    }
    std::optional<std::string> content = platform::read_fd(list.fd(), kMaxListBytes);
    if (!content) {
        frame::debug_tracef(kTrace, "Error %d reading %s", errno, path.c_str());
        return ListResult::Kept;
    }

    const std::string pos_path = progress_path(batch, list_name);
    Progress progress;
    if (std::optional<Progress> p = read_progress(pos_path, content->size())) {
        progress = *p;
    } else {
        progress.dir = draw_target_name();
        progress.offset = 0;
    }
    // Recorded before the first file exists, so that a crash never sends the
    // same list to a second directory.
    const bool durable = durable_queue_enabled();
    ProgressFile pos_file;
    if (!pos_file.open(pos_path, progress, durable)) {
        frame::debug_tracef(kTrace, "Error %d writing %s", errno, pos_path.c_str());
        return ListResult::Kept;
    }

    const std::string target = frame::outbound_queue_dir(nullptr, "", progress.dir, 0);
    if (!platform::ensure_dir(target)) {
        frame::debug_tracef(kTrace, "Error %d creating %s", errno, target.c_str());
        return ListResult::Kept;
    }

    const std::string_view text(*content);
    const size_t n = text.size();
    const unsigned k = unsigned(templates.size());
    Pacer pacer(target, limit);
    size_t pos = progress.offset;
    size_t first_line = pos;
    while (first_line < n && (text[first_line] == '\r' || text[first_line] == '\n')) ++first_line;
    // Durable mode: files written since the last sync, and where it ended.
    std::vector<std::string> pending;
    size_t durable_pos = progress.durable;
    size_t saved_pos = pos;  // end of the last line whose files are all written
    bool sync_failed = false;
    auto commit = [&]() {
        if (!durable) return true;
        // After a failed sync nothing written since counts as synced, not
        // even after a later sync that succeeds (the failed pages may be gone).
        if (sync_failed) return false;
        if (pending.empty() && durable_pos >= saved_pos) return true;
        // Lines written by an earlier process, not synced yet: the sync of
        // the file system the directory is on takes their files too.
        if (pending.empty()) pending.push_back(target);
        const size_t upto = saved_pos;
        if (wait_durable(pending) != 0) {
            // Not on disk: the next round writes these lines again.
            pending.clear();
            sync_failed = true;
            pos_file.save(durable_pos);
            return false;
        }
        pending.clear();
        durable_pos = upto;
        return pos_file.save_durable(upto);
    };
    // Whatever way the list is left, what was written is synced first.
    struct CommitOnExit {
        decltype(commit)& fn;
        ~CommitOnExit() { fn(); }
    } commit_on_exit{commit};

    while (pos < n) {
        while (pos < n && (text[pos] == '\r' || text[pos] == '\n')) ++pos;
        if (pos >= n) break;
        if (frame::shutdown_requested()) return ListResult::Stopped;
        const size_t line_start = pos;
        while (pos < n && text[pos] != '\r' && text[pos] != '\n') ++pos;
        std::string_view line = text.substr(line_start, pos - line_start);
        if (line.find('=') == std::string_view::npos) continue;

        BulkRecipient r;
        if (!parse_bulk_line(line, r)) {
            frame::debug_tracef(kTrace, "Invalid recipient line in %s: %.*s", path.c_str(),
                                int(std::min<size_t>(line.size(), 200)), line.data());
            continue;
        }
        if (!pacer.make_room(k)) return ListResult::Stopped;
        // The first line of a resumed list may have been written in part
        // before: its files already there are not counted twice.
        const bool may_exist = line_start == first_line || line_start < progress.written;
        for (unsigned i = 1; i <= k; ++i) {
            std::string file = target + expand_bulk_name(r.file_name, i);
            const bool existed = may_exist && platform::file_exists(file);
            if (!platform::replace_file(file, bulk_request_text(templates[i - 1], r))) {
                // Disk full, a removed directory: the list stays with its
                // progress at the start of this line and is taken up again
                // in a later round, so no recipient is dropped.
                frame::debug_tracef(kTrace, "Error %d creating %s", errno, file.c_str());
                return ListResult::Kept;
            }
            if (!existed) {
                records::add_counter(records::Counter::OutQueueSize);
                pacer.added();
            }
            if (durable) pending.push_back(std::move(file));
        }
        if (!pos_file.save(pos)) {
            // Without its progress a later round would write the list again
            // from an older line: stop here, this line is the one redone.
            frame::debug_tracef(kTrace, "Error %d writing %s", errno, pos_path.c_str());
            return ListResult::Kept;
        }
        saved_pos = pos;
        if (pending.size() >= kDurableChunkFiles && !commit()) return ListResult::Kept;
    }
    // The list goes only once every file made from it is on stable storage.
    if (!commit()) return ListResult::Kept;

    // The list first: a crash before the progress file goes leaves a harmless
    // orphan, the other order would expand the whole list again.
    platform::remove_file(path);
    list.close();
    pos_file.close();
    platform::remove_file(pos_path);
    return pacer.settle() ? ListResult::Done : ListResult::Stopped;
}

bool scheduled_for_later(const std::string& batch) {
    std::vector<std::string> due;
    platform::LocalTime now = platform::local_now();
    for (const platform::DirEntry& e :
         platform::scan_dir(batch, "QDelay-*.FLG", platform::ScanKind::FilesOnly)) {
        std::optional<frame::ScheduledTime> t = parse_qdelay_flag(e.name);
        if (!t) continue;  // no time in it: ignored
        if (later_than_now(*t, now)) return true;
        due.push_back(e.name);
    }
    for (const std::string& name : due) platform::remove_file(batch + name);
    return false;
}

}  // namespace

// --- lines -------------------------------------------------------------------------

bool parse_bulk_line(std::string_view line, BulkRecipient& out) {
    out = BulkRecipient{};
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    if (has_control(line)) return false;
    std::string_view name = trim_blanks(line.substr(0, eq));
    std::string_view rest = line.substr(eq + 1);
    size_t semi = rest.find(';');
    std::string_view phone = trim_blanks(rest.substr(0, semi));
    if (semi != std::string_view::npos) {
        std::string_view tail = rest.substr(semi + 1);
        if (platform::istarts_with(tail, "UserData=")) {
            out.user_data = std::string(tail.substr(9));
        } else {
            size_t semi2 = tail.find(';');
            out.route = std::string(trim_blanks(tail.substr(0, semi2)));
            if (semi2 != std::string_view::npos) {
                std::string_view ud = tail.substr(semi2 + 1);
                if (platform::istarts_with(ud, "UserData="))
                    out.user_data = std::string(ud.substr(9));
            }
        }
    }
    if (name.empty() || phone.empty()) return false;
    // The name becomes a path below the target directory: it must stay there.
    if (name.find('/') != std::string_view::npos || name.front() == '.') return false;
    if (expand_bulk_name(name, kMaxBulkTemplates).size() > kMaxFileName) return false;
    out.file_name = std::string(name);
    out.phone = std::string(phone);
    return true;
}

std::string expand_bulk_name(std::string_view name, unsigned k) {
    std::string out;
    const std::string num = std::to_string(k);
    size_t pos = 0;
    while (true) {
        size_t at = name.find(kTemplateCounter, pos);
        if (at == std::string_view::npos) break;
        out.append(name.substr(pos, at - pos));
        out += num;
        pos = at + kTemplateCounter.size();
    }
    out.append(name.substr(pos));
    return out;
}

std::string bulk_request_text(std::string_view tmpl, const BulkRecipient& r) {
    std::string text;
    text.reserve(tmpl.size() + r.phone.size() + r.route.size() + r.user_data.size() + 48);
    text.append(tmpl);
    // append_key ends an unterminated last line of the template first, so
    // that it never swallows the recipient line.
    append_key(text, Key::PhoneNumber, r.phone);
    if (!r.route.empty()) append_key(text, Key::SmscRoute, r.route);
    if (!r.user_data.empty()) append_key(text, Key::UserData, r.user_data);
    return text;
}

std::optional<frame::ScheduledTime> parse_qdelay_flag(std::string_view name) {
    constexpr std::string_view kPrefix = "QDelay-";
    if (!platform::istarts_with(name, kPrefix) || name.size() < kPrefix.size() + 12)
        return std::nullopt;
    std::string_view digits = name.substr(kPrefix.size(), 12);
    if (!all_digits(digits)) return std::nullopt;
    frame::ScheduledTime t;
    t.year = number_at(digits, 0, 4);
    t.month = number_at(digits, 4, 2);
    t.day = number_at(digits, 6, 2);
    t.hour = number_at(digits, 8, 2);
    t.minute = number_at(digits, 10, 2);
    return t;
}

uint32_t bulk_pace_limit(uint32_t max_q_dir_entries) {
    if (max_q_dir_entries == 0) max_q_dir_entries = 10000;
    return max_q_dir_entries <= 3 ? 2 : max_q_dir_entries / 2;
}

// --- batches -----------------------------------------------------------------------

BatchResult process_bulk_batch(const std::string& batch_dir) {
    const std::string batch = platform::with_trailing_slash(batch_dir);
    if (is_link(batch)) {
        trace_link(batch);
        return BatchResult::Link;
    }
    const bool has_lists = !list_files(batch).empty();
    if (!has_lists && !platform::file_exists(batch + kExpandedFlag)) return BatchResult::NoLists;
    if (scheduled_for_later(batch)) return BatchResult::Scheduled;

    std::optional<platform::Marker> lock = platform::Marker::acquire(batch + "LOCK.LCK");
    if (!lock) return BatchResult::Busy;

    if (has_lists) {
        std::vector<std::string> templates;
        if (load_templates(batch, templates) != TemplateLoad::Ok) {
            // The lists stay for a later round: nothing of the batch is lost.
            lock->release();
            return BatchResult::TemplateError;
        }
        forget_report(batch);

        const uint32_t limit = bulk_pace_limit(frame::settings().max_q_dir_entries);
        for (unsigned pass = 0; pass < kBulkPasses && !frame::shutdown_requested(); ++pass) {
            std::vector<std::string> lists = list_files(batch);
            if (lists.empty()) break;
            bool progress = false;
            for (const std::string& name : lists) {
                if (frame::shutdown_requested()) break;
                ListResult r = expand_list(batch, name, templates, limit);
                if (r == ListResult::Done) progress = true;
                if (r == ListResult::Stopped) break;
            }
            // Lists that cannot be read now are not retried in a busy loop.
            if (!progress) break;
        }
    }

    // BUILD.LCK goes only once its writer has let go of it.
    const bool no_lists = list_files(batch).empty();
    const bool complete = platform::remove_if_stale(batch + "BUILD.LCK") && no_lists;
    // Every list is done but the writer is still at it: the flag brings the
    // batch back to later rounds, which finish it once the writer is gone
    // (a batch without lists would otherwise never be looked at again).
    if (!complete && no_lists) platform::append_file(batch + kExpandedFlag, "");
    lock->release();
    if (!complete) return BatchResult::Expanded;
    remove_tree(batch, 0);
    return BatchResult::Complete;
}

void process_bulk_queue_round() {
    const std::string root = frame::bulk_q_dir();
    std::vector<std::string> links;
    for (const platform::DirEntry& e :
         platform::scan_dir_no_links(root, "*", platform::ScanKind::DirsOnly, &links)) {
        if (frame::shutdown_requested()) return;
        process_bulk_batch(root + e.name + "/");
    }
    for (const std::string& l : links) trace_link(root + l + "/");
}

void ThreadProcessBulkQ() {
    while (!frame::shutdown_requested()) {
        process_bulk_queue_round();
        if (frame::sleep_unless_shutdown(kRoundMs)) break;
    }
}

bool start_bulk_queue_threads() {
    bool ok = true;
    for (unsigned i = 0; i < kBulkThreads; ++i)
        ok = frame::start_thread("ThreadProcessBulkQ", &ThreadProcessBulkQ) && ok;
    return ok;
}

void set_bulk_pace_wait_ms(unsigned ms) {
    store_state().bulk_pace_wait_ms.store(ms);
}

}  // namespace store
