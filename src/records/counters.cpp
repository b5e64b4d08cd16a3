// Daily statistics counters: in-memory images of the 1464-byte counter
// files, updated under short locks and written back by the main loop.
#include "records/counters.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "frame/debug_trace.h"
#include "frame/queue_dirs.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "records/records_state.h"
#include "support/directories.h"

namespace records {

namespace {

constexpr unsigned kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
constexpr unsigned kDaysOfMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// Yearly counters are prefix + year + ".CTR"; gauges have a fixed name.
struct GlobalName {
    const char* prefix;
    bool gauge;
};
constexpr GlobalName kGlobalNames[kGlobalCounterCount] = {
    {"SMSSUBMIT-", false},  {"SMSSENT-", false},      {"SMSRECEIVED-", false},
    {"SMSFAILED-", false},  {"SMSRETRY-", false},     {"MMSIN-MODEM-", false},
    {"SMSQSIZE.CTR", true}, {"SMSINQSIZE.CTR", true}, {"SMSRCPTQSIZE.CTR", true},
};

constexpr const char* kLinkKindSuffix[4] = {"", "-RECEIVED", "-RETRY", "-FAILED"};

// Link files idle this long (seconds) are closed by the flush.
constexpr time_t kLinkIdleCloseSeconds = 300;

using FileBytes = std::array<unsigned char, kCounterFileSize>;

FileBytes encode(const CounterImage& img) {
    FileBytes b{};
    for (size_t i = 0; i < kCounterSlots; ++i) {
        uint32_t v = img[i];
        b[i * 4] = static_cast<unsigned char>(v);
        b[i * 4 + 1] = static_cast<unsigned char>(v >> 8);
        b[i * 4 + 2] = static_cast<unsigned char>(v >> 16);
        b[i * 4 + 3] = static_cast<unsigned char>(v >> 24);
    }
    return b;
}

CounterImage decode(const unsigned char* b) {
    CounterImage img{};
    for (size_t i = 0; i < kCounterSlots; ++i) {
        img[i] = static_cast<uint32_t>(b[i * 4]) | static_cast<uint32_t>(b[i * 4 + 1]) << 8 |
                 static_cast<uint32_t>(b[i * 4 + 2]) << 16 |
                 static_cast<uint32_t>(b[i * 4 + 3]) << 24;
    }
    return img;
}

bool write_image(int fd, const CounterImage& img, const std::string& path) {
    FileBytes b = encode(img);
    if (platform::pwrite_all(fd, b.data(), b.size(), 0)) return true;
    frame::debug_tracef("WriteStatCounter", "Error %d writing %s", errno, path.c_str());
    return false;
}

// Opens (creating) a counter file and loads its image. A short file is
// taken as all zeros and rewritten whole so that it has its full size.
platform::FileHandle open_counter_file(const std::string& path, CounterImage& img) {
    platform::FileHandle fd = platform::open_with_retry(path, O_RDWR | O_CREAT, 0644, 0);
    if (!fd) {
        frame::debug_tracef("OpenStatCounter", "Error %d opening %s", errno, path.c_str());
        return fd;
    }
    FileBytes b{};
    if (platform::pread_all(fd.fd(), b.data(), b.size(), 0) == b.size()) {
        img = decode(b.data());
        return fd;
    }
    img.fill(0);
    FileBytes zeros{};
    if (!platform::pwrite_all(fd.fd(), zeros.data(), zeros.size(), 0)) {
        frame::debug_tracef("OpenStatCounter", "Error %d initialising %s", errno, path.c_str());
        return {};
    }
    platform::sync_data(fd.fd());
    return fd;
}

uint32_t saturating_add(uint32_t a, uint32_t b) {
    uint32_t s = a + b;
    return s < a ? UINT32_MAX : s;
}

// --- global counters ------------------------------------------------------

using GlobalState = RecordsState::GlobalCounter;

RecordsState& state() {
    return records_state();
}

bool valid_counter(Counter c) {
    int i = static_cast<int>(c);
    return i >= 0 && i < kGlobalCounterCount;
}

// Caller holds g.m.
void flush_and_close(GlobalState& g) {
    if (g.fd && g.changed) write_image(g.fd.fd(), g.image, g.path);
    g.fd.close();
    g.changed = false;
}

// At the first count of a new year every global file is written and closed,
// so last year's files hold their final counts.
void check_year(int year) {
    if (state().open_year.load(std::memory_order_acquire) >= year) return;
    std::lock_guard<std::mutex> yl(state().year_lock);
    if (state().open_year.load(std::memory_order_relaxed) >= year) return;
    for (auto& g : state().globals) {
        std::lock_guard<std::mutex> l(g.m);
        flush_and_close(g);
    }
    state().open_year.store(year, std::memory_order_release);
}

// Caller holds g.m. Makes sure the counter's file for `year` is open.
bool ensure_open(GlobalState& g, Counter c, int year) {
    const bool gauge = is_gauge(c);
    if (g.fd && (gauge || g.year == year)) return true;
    // A thread still on the old year (or the first on a new one) meets a
    // file of another year: finish that file before switching.
    if (g.fd) flush_and_close(g);
    g.path = global_counter_path(c, year);
    g.fd = open_counter_file(g.path, g.image);
    g.year = year;
    g.changed = false;
    return g.fd.valid();
}

unsigned today_slot(const platform::LocalTime& lt) {
    unsigned doy = day_of_year(lt.year, lt.month, lt.day);
    return doy == 0 ? 0 : doy - 1;
}

// --- link counters ----------------------------------------------------------

using LinkEntry = RecordsState::LinkFile;

// Caller holds state().link_lock. nullptr when the file cannot be opened.
LinkEntry* find_or_open_link(const std::string& path) {
    auto it = state().links.find(path);
    if (it != state().links.end()) return it->second.get();
    auto e = std::make_unique<LinkEntry>();
    e->path = path;
    e->fd = open_counter_file(path, e->image);
    if (!e->fd) return nullptr;
    e->last_change = platform::now();
    LinkEntry* p = e.get();
    state().links.emplace(path, std::move(e));
    return p;
}

// The freshest image for a path: the in-memory one when the file is open
// here, else the file's content.
CounterImage current_image(const std::string& path) {
    {
        std::lock_guard<std::mutex> l(state().link_lock);
        auto it = state().links.find(path);
        if (it != state().links.end()) return it->second->image;
    }
    for (auto& g : state().globals) {
        std::lock_guard<std::mutex> l(g.m);
        if (g.fd && g.path == path) return g.image;
    }
    return read_counter_file(path);
}

std::string link_path_prefix(std::string_view link_name) {
    return support::GetPrivateDataDirectory() + platform::clean_path_part(link_name) + "-";
}

std::string link_path_suffix(LinkCounter kind) {
    int k = static_cast<int>(kind);
    return std::string(kLinkKindSuffix[k >= 0 && k < 4 ? k : 0]) + ".CTR";
}

bool valid_kind(LinkCounter kind) {
    int k = static_cast<int>(kind);
    return k >= 0 && k < 4;
}

// Sum of slots for days first..last of a month of `year`.
uint64_t sum_month_days(const CounterImage& img, int year, int month, unsigned first,
                        unsigned last) {
    uint64_t s = 0;
    for (unsigned d = first; d <= last; ++d) {
        unsigned doy = day_of_year(year, month, static_cast<int>(d));
        if (doy >= 1 && doy <= kCounterSlots) s += img[doy - 1];
    }
    return s;
}

uint32_t clamp32(uint64_t v) {
    return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
}

// Sum of the n days ending with day-of-year doy; days before 1 January come
// from the end of the previous year's image.
uint32_t sum_days_ending(const CounterImage& cur, const CounterImage* prev, int prev_year,
                         unsigned doy, unsigned n) {
    uint64_t s = 0;
    unsigned first = doy >= n ? doy - n + 1 : 1;
    for (unsigned d = first; d <= doy && d <= kCounterSlots; ++d) s += cur[d - 1];
    if (doy < n && prev) {
        unsigned missing = n - doy;
        unsigned last = counter_leap_year(prev_year) ? 366 : 365;
        for (unsigned k = 0; k < missing && k < last; ++k) s += (*prev)[last - 1 - k];
    }
    return clamp32(s);
}

// Counts "*.REQ" files below dir. MMS queue entries ("MMSQ__") are not
// part of the SMS queue. Depth is bounded against directory loops.
uint32_t count_requests(const std::string& dir, int depth) {
    if (depth > 16) return 0;
    uint32_t n = 0;
    for (const auto& e : platform::scan_dir(dir, "*")) {
        if (platform::istarts_with(e.name, "MMSQ__")) continue;
        if (e.is_dir) {
            n += count_requests(platform::with_trailing_slash(dir) + e.name + "/", depth + 1);
        } else if (platform::wildcard_match("*.REQ", e.name)) {
            ++n;
        }
    }
    return n;
}

uint32_t count_files(const std::string& dir, std::string_view pattern) {
    return static_cast<uint32_t>(
        platform::scan_dir(dir, pattern, platform::ScanKind::FilesOnly).size());
}

}  // namespace

// --- calendar ---------------------------------------------------------------

bool counter_leap_year(int year) {
    return year % 4 == 0;
}

unsigned day_of_year(int year, int month, int day) {
    if (month < 1 || month > 12) return 0;
    unsigned doy = static_cast<unsigned>(day) + kDaysBeforeMonth[month - 1];
    if (counter_leap_year(year) && month > 2) ++doy;
    return doy;
}

unsigned days_in_month(int year, int month) {
    if (month < 1 || month > 12) return 0;
    if (month == 2 && counter_leap_year(year)) return 29;
    return kDaysOfMonth[month - 1];
}

bool is_gauge(Counter c) {
    return valid_counter(c) && kGlobalNames[static_cast<int>(c)].gauge;
}

// --- file names ---------------------------------------------------------------

std::string global_counter_path(Counter c, int year) {
    if (!valid_counter(c)) return {};
    std::string dir = frame::stats_dir();
    const GlobalName& n = kGlobalNames[static_cast<int>(c)];
    if (n.gauge) return dir + n.prefix;
    return dir + n.prefix + platform::strprintf("%u", static_cast<unsigned>(year)) + ".CTR";
}

std::string link_counter_path(std::string_view link_name, LinkCounter kind, int year) {
    return link_path_prefix(link_name) + platform::strprintf("%d", year) + link_path_suffix(kind);
}

// --- global counters --------------------------------------------------------

void add_counter(Counter c, uint32_t amount) {
    if (!valid_counter(c)) return;
    platform::LocalTime lt = platform::local_now();
    check_year(lt.year);
    GlobalState& g = state().globals[static_cast<int>(c)];
    std::lock_guard<std::mutex> l(g.m);
    if (!ensure_open(g, c, lt.year)) return;
    uint32_t& slot = g.image[is_gauge(c) ? 0 : today_slot(lt)];
    slot = saturating_add(slot, amount);
    g.changed = true;
}

void subtract_counter(Counter c, uint32_t amount) {
    if (!valid_counter(c)) return;
    platform::LocalTime lt = platform::local_now();
    check_year(lt.year);
    GlobalState& g = state().globals[static_cast<int>(c)];
    std::lock_guard<std::mutex> l(g.m);
    if (!ensure_open(g, c, lt.year)) return;
    uint32_t& slot = g.image[is_gauge(c) ? 0 : today_slot(lt)];
    slot = slot > amount ? slot - amount : 0;
    g.changed = true;
}

uint32_t counter_today(Counter c) {
    if (!valid_counter(c)) return 0;
    platform::LocalTime lt = platform::local_now();
    check_year(lt.year);
    GlobalState& g = state().globals[static_cast<int>(c)];
    std::lock_guard<std::mutex> l(g.m);
    if (!ensure_open(g, c, lt.year)) return 0;
    return g.image[is_gauge(c) ? 0 : today_slot(lt)];
}

// --- link counters ------------------------------------------------------------

void add_link_counter(std::string_view link_name, LinkCounter kind, uint32_t amount) {
    if (!valid_kind(kind)) return;
    platform::LocalTime lt = platform::local_now();
    std::string path = link_counter_path(link_name, kind, lt.year);
    std::lock_guard<std::mutex> l(state().link_lock);
    LinkEntry* e = find_or_open_link(path);
    if (!e) return;
    uint32_t& slot = e->image[today_slot(lt)];
    slot = saturating_add(slot, amount);
    e->changed = true;
    e->last_change = platform::now();
}

uint32_t link_counter_today(std::string_view link_name, LinkCounter kind) {
    if (!valid_kind(kind)) return 0;
    platform::LocalTime lt = platform::local_now();
    std::string path = link_counter_path(link_name, kind, lt.year);
    std::lock_guard<std::mutex> l(state().link_lock);
    LinkEntry* e = find_or_open_link(path);
    return e ? e->image[today_slot(lt)] : 0;
}

uint32_t link_period_sum(std::string_view link_name, LinkCounter kind, unsigned start_day) {
    if (!valid_kind(kind)) return 0;
    unsigned d = start_day == 0 ? 1 : (start_day > 31 ? 31 : start_day);
    platform::LocalTime lt = platform::local_now();
    std::string cur_path = link_counter_path(link_name, kind, lt.year);
    CounterImage cur{};
    {
        std::lock_guard<std::mutex> l(state().link_lock);
        LinkEntry* e = find_or_open_link(cur_path);
        if (e) cur = e->image;
    }
    if (d == static_cast<unsigned>(lt.day)) return cur[today_slot(lt)];

    uint64_t sum = 0;
    unsigned first_this_month = 1;
    if (d < static_cast<unsigned>(lt.day)) {
        first_this_month = d;
    } else {
        // The period began on day d of the previous month (December of the
        // previous year before January); a month without day d adds nothing.
        int pm = lt.month == 1 ? 12 : lt.month - 1;
        int py = lt.month == 1 ? lt.year - 1 : lt.year;
        CounterImage prev =
            py == lt.year ? cur : current_image(link_counter_path(link_name, kind, py));
        sum += sum_month_days(prev, py, pm, d, days_in_month(py, pm));
    }
    sum +=
        sum_month_days(cur, lt.year, lt.month, first_this_month, days_in_month(lt.year, lt.month));
    return clamp32(sum);
}

// --- reports --------------------------------------------------------------------

CounterReport report_counter(std::string_view path_before_year, std::string_view path_after_year) {
    platform::LocalTime lt = platform::local_now();
    auto path_for = [&](int year) {
        return std::string(path_before_year) + platform::strprintf("%d", year) +
               std::string(path_after_year);
    };
    unsigned doy = day_of_year(lt.year, lt.month, lt.day);
    CounterImage cur = current_image(path_for(lt.year));
    CounterImage prev{};
    bool need_prev = doy < 30;
    if (need_prev) prev = current_image(path_for(lt.year - 1));
    CounterReport r;
    r.today = doy >= 1 && doy <= kCounterSlots ? cur[doy - 1] : 0;
    r.last7 = sum_days_ending(cur, need_prev ? &prev : nullptr, lt.year - 1, doy, 7);
    r.last30 = sum_days_ending(cur, need_prev ? &prev : nullptr, lt.year - 1, doy, 30);
    return r;
}

CounterReport report_gauge(const std::string& path) {
    uint32_t v = current_image(path)[0];
    return CounterReport{v, v, v};
}

CounterReport report_global(Counter c) {
    if (!valid_counter(c)) return {};
    if (is_gauge(c)) return report_gauge(global_counter_path(c, 0));
    return report_counter(frame::stats_dir() + kGlobalNames[static_cast<int>(c)].prefix, ".CTR");
}

CounterReport report_link(std::string_view link_name, LinkCounter kind) {
    if (!valid_kind(kind)) return {};
    return report_counter(link_path_prefix(link_name), link_path_suffix(kind));
}

// --- lifecycle ----------------------------------------------------------------

void init_stat_counters(const std::string& queue_root, const std::string& inbound_dir) {
    {
        std::lock_guard<std::mutex> fl(state().flush_lock);
        for (int i = 0; i < kGlobalCounterCount; ++i) {
            GlobalState& g = state().globals[i];
            std::lock_guard<std::mutex> l(g.m);
            if (kGlobalNames[i].gauge) {
                // Gauges are recounted from the queues; what the file held is stale.
                g.fd.close();
                g.changed = false;
                platform::remove_file(global_counter_path(static_cast<Counter>(i), 0));
            } else {
                flush_and_close(g);
            }
        }
    }
    state().open_year.store(platform::local_now().year, std::memory_order_release);

    uint32_t queued = queue_root.empty() ? 0 : count_requests(queue_root, 0);
    uint32_t inbound = 0, receipts = 0;
    if (!inbound_dir.empty()) {
        inbound = count_files(inbound_dir, "*.IN") + count_files(inbound_dir, "*.REC");
        receipts = count_files(inbound_dir, "*.RCT");
    }
    add_counter(Counter::OutQueueSize, queued);
    add_counter(Counter::InQueueSize, inbound);
    add_counter(Counter::ReceiptQueueSize, receipts);
    frame::debug_tracef("InitStatCounters", "Queued %u, inbound %u, receipts %u", queued, inbound,
                        receipts);
}

void flush_stat_counters() {
    std::lock_guard<std::mutex> fl(state().flush_lock);
    for (auto& g : state().globals) {
        std::lock_guard<std::mutex> l(g.m);
        if (g.fd && g.changed && write_image(g.fd.fd(), g.image, g.path)) g.changed = false;
    }

    // Link images are copied under the list lock and written without it;
    // entries are only removed here, under the flush lock, so they stay put.
    struct Pending {
        LinkEntry* e;
        CounterImage image;
    };
    std::vector<Pending> pending;
    {
        std::lock_guard<std::mutex> l(state().link_lock);
        for (auto& [path, e] : state().links) {
            if (!e->changed || !e->fd) continue;
            pending.push_back(Pending{e.get(), e->image});
            e->changed = false;
            ++e->use;
        }
    }
    std::vector<bool> ok(pending.size());
    for (size_t i = 0; i < pending.size(); ++i)
        ok[i] = write_image(pending[i].e->fd.fd(), pending[i].image, pending[i].e->path);

    std::lock_guard<std::mutex> l(state().link_lock);
    for (size_t i = 0; i < pending.size(); ++i) {
        --pending[i].e->use;
        if (!ok[i]) pending[i].e->changed = true;
    }
    const time_t now = platform::now();
    for (auto it = state().links.begin(); it != state().links.end();) {
        LinkEntry& e = *it->second;
        if (e.use == 0 && !e.changed && now - e.last_change > kLinkIdleCloseSeconds)
            it = state().links.erase(it);
        else
            ++it;
    }
}

void close_stat_counters() {
    std::lock_guard<std::mutex> fl(state().flush_lock);
    for (auto& g : state().globals) {
        std::lock_guard<std::mutex> l(g.m);
        flush_and_close(g);
    }
    std::lock_guard<std::mutex> l(state().link_lock);
    for (auto& [path, e] : state().links)
        if (e->changed && e->fd) write_image(e->fd.fd(), e->image, e->path);
    state().links.clear();
    state().open_year.store(0, std::memory_order_release);
}

CounterImage read_counter_file(const std::string& path) {
    auto data = platform::read_file(path, kCounterFileSize);
    if (!data || data->size() < kCounterFileSize) return CounterImage{};
    return decode(reinterpret_cast<const unsigned char*>(data->data()));
}

}  // namespace records
