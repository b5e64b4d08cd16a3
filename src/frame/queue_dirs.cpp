// Directory composition rules of the queue tree and the other configured
// directories, and the link section naming.
#include "frame/queue_dirs.h"

#include <mutex>
#include <optional>

#include "frame/frame_state.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "support/directories.h"
#include "support/ini_profile.h"

namespace frame {

namespace {

bool later_than_now(const ScheduledTime& t, const platform::LocalTime& now) {
    const int a[5] = {t.year, t.month, t.day, t.hour, t.minute};
    const int b[5] = {now.year, now.month, now.day, now.hour, now.minute};
    for (int i = 0; i < 5; ++i) {
        if (a[i] != b[i]) return a[i] > b[i];
    }
    return false;
}

// One level below dir: an existing entry of any case, else the given name.
std::string level(const std::string& dir, std::string_view name) {
    if (auto found = platform::find_name_nocase(dir, name)) return dir + *found + "/";
    return dir + std::string(name) + "/";
}

// A configured directory or the default below the program data directory.
std::string configured_dir(std::string_view key, std::string_view default_name, bool create) {
    std::string v = ini_directory(key);
    std::string dir =
        v.empty() ? support::GetProgramDataDirectory() + std::string(default_name) : v;
    if (v.empty() && create) platform::ensure_dir(dir);
    return dir;
}

}  // namespace

std::string compose_queue_dir(const std::string& root, const ScheduledTime* scheduled,
                              std::string_view route, std::string_view subdir, uint32_t n,
                              uint32_t max_q_dir_entries, bool use_route_queues) {
    if (max_q_dir_entries == 0) max_q_dir_entries = 10000;
    std::string path = platform::with_trailing_slash(root);

    if (scheduled) {
        platform::LocalTime now = platform::local_now();
        if (later_than_now(*scheduled, now)) {
            std::string d = level(path, "DELAYQ");
            bool ok = platform::ensure_dir(d);
            if (ok) {
                d = level(d, platform::strprintf("%04d%02d%02d", scheduled->year, scheduled->month,
                                                 scheduled->day));
                ok = platform::ensure_dir(d);
            }
            if (ok) {
                d += platform::strprintf("%02d%02d/", scheduled->hour, scheduled->minute);
                ok = platform::ensure_dir(d);
            }
            if (ok) path = d;
        }
    }

    bool local_route = route.empty() || platform::istarts_with(route, "localuser:");
    if (subdir.empty() && n <= max_q_dir_entries && local_route) return path;

    std::string appended;
    if (use_route_queues && !local_route && route != kInvalidRouteName) {
        appended += "RT_-_";
        appended += route;
        appended += "_-_";
    }
    appended += subdir;
    path += platform::clean_path_part(appended);
    if (n >= max_q_dir_entries) path += platform::strprintf("###%04X", n / max_q_dir_entries);
    if (path.back() != '/') path += '/';
    return path;
}

std::string outbound_queue_dir(const ScheduledTime* scheduled, std::string_view route,
                               std::string_view subdir, uint32_t n) {
    const GlobalSettings& s = settings();
    std::string root = s.q_dir.empty() ? default_queue_root() : s.q_dir;
    return compose_queue_dir(root, scheduled, route, subdir, n, s.max_q_dir_entries,
                             s.use_route_queues);
}

uint32_t next_batch(BatchCounter& counter, uint32_t max_entries, uint32_t now_s) {
    if (max_entries == 0) max_entries = 10000;
    if (!counter.started) {
        counter.started = true;
        counter.batch = now_s;
        counter.files = 0;
    }
    if (counter.files >= max_entries) {
        ++counter.batch;
        counter.files = 0;
    }
    ++counter.files;
    return counter.batch;
}

std::string sms_in_dir() {
    return configured_dir("SmsInDir", "SMS-IN/", false);
}

std::string sms_in_attachment_dir() {
    return sms_in_dir() + "A/";
}

std::string inbound_write_dir(uint64_t queued_inbound_and_receipts) {
    std::string dir = sms_in_dir();
    uint32_t max = settings().max_q_dir_entries;
    if (queued_inbound_and_receipts <= max || !ini_bool("EnableBulkSmsIn", true)) return dir;
    uint32_t batch;
    {
        std::lock_guard<std::mutex> lock(frame_state().batch_lock);
        batch = next_batch(frame_state().inbound_batch, max, uint32_t(platform::now()));
    }
    dir += platform::strprintf("%08X/", batch);
    platform::ensure_dir(dir);
    return dir;
}

std::string dated_inbound_dir() {
    std::string base = sms_in_dir();
    platform::LocalTime now = platform::local_now();
    std::string day = platform::strprintf("%04u%02u%02u", unsigned(now.year), unsigned(now.month),
                                          unsigned(now.day));
    uint32_t max = settings().max_q_dir_entries;
    uint32_t placed;
    {
        std::lock_guard<std::mutex> lock(frame_state().batch_lock);
        if (frame_state().dated.year != now.year || frame_state().dated.month != now.month ||
            frame_state().dated.day != now.day) {
            // First file of the day in this process: count what earlier runs
            // placed today so that the split continues where they stopped.
            frame_state().dated = FrameState::DatedCount{now.year, now.month, now.day, 0};
            for (const auto& d : platform::scan_dir(base, day + "*", platform::ScanKind::DirsOnly))
                frame_state().dated.placed += uint32_t(
                    platform::scan_dir(base + d.name + "/", "*", platform::ScanKind::FilesOnly)
                        .size());
        }
        placed = frame_state().dated.placed++;
    }
    std::string dir = base + day;
    if (max && placed / max != 0) dir += platform::strprintf("%02u", placed / max);
    dir += '/';
    platform::ensure_dir(dir);
    return dir;
}

std::string bulk_q_dir() {
    return configured_dir("BulkQDir", "BULKQ/", true);
}

std::string mms_data_dir() {
    std::string v =
        directory_setting("DataDir", support::MMSCIniGetProfileString("MMSC", "DataDir", ""));
    if (!v.empty()) return v;
    std::string dir = support::GetProgramDataDirectory() + "MMSCDATA/";
    platform::ensure_dir(dir);
    return dir;
}

std::string mms_in_dir() {
    return configured_dir("MMSDir", "MMS-IN/", true);
}

std::string mms_queue_dir() {
    return mms_data_dir() + "Q/";
}

std::string users_dir() {
    return configured_dir("UsersDir", "USERS/", false);
}

std::string account_path_part(std::string_view account) {
    std::string part = platform::clean_path_part(account);
    if (part == "." || part == ".." || part.empty()) part.assign(1, '-');
    return part;
}

std::string user_dir(std::string_view account) {
    return users_dir() + account_path_part(account) + "/";
}

std::string user_queue_dir(std::string_view account) {
    std::string root = ini_directory("UsersQDir");
    if (root.empty()) root = users_dir();
    std::string dir = root + account_path_part(account) + "/Q/";
    if (ini_bool("EnableBulkSmsIn", true)) {
        uint32_t batch;
        {
            std::lock_guard<std::mutex> lock(frame_state().batch_lock);
            batch = next_batch(frame_state().user_batch, settings().max_q_dir_entries,
                               uint32_t(platform::now()));
        }
        dir += platform::strprintf("%08X/", batch);
    }
    return dir;
}

std::string user_log_dir(std::string_view account) {
    std::string root = ini_directory("UsersLogDir");
    if (root.empty()) root = users_dir();
    return root + account_path_part(account) + "/";
}

std::string php_dir() {
    return configured_dir("PHPDir", "PHP/", false);
}

std::string stats_dir() {
    std::string dir = support::GetPrivateDataDirectory() + "STATS/";
    platform::ensure_dir(dir);
    return dir;
}

std::string tracking_dir_setting() {
    return ini_directory("MessageIDTrackingDir");
}

bool link_or_route_exists(std::string_view route) {
    if (route.empty()) return false;
    const std::string ini = support::SMSIniGetFilename();
    // Link entries may have gaps up to 200 and go on beyond while present.
    for (unsigned i = 1;; ++i) {
        std::optional<std::string> link =
            support::ini_find(ini, "SMSGW", "Modem" + std::to_string(i));
        if (!link) {
            if (i >= 200) break;
            continue;
        }
        std::string name(platform::trim(*link));
        if (name.empty()) continue;
        if (platform::iequals(name, route)) return true;
        std::string rn = support::SMSIniGetProfileString(link_section_name(name), "RouteName", "");
        if (!rn.empty() && platform::iequals(platform::trim(rn), route)) return true;
    }
    return false;
}

std::string link_section_name(std::string_view link_name) {
    static constexpr std::string_view kKinds[] = {"SMPP - ", "HTTP - ",    "UCP - ",
                                                  "CIMD - ", "IPModem - ", "KelSMSModem - "};
    bool known = false;
    for (std::string_view k : kKinds)
        if (platform::istarts_with(link_name, k)) known = true;
    std::string name = known ? std::string(link_name) : "Modem - " + std::string(link_name);
    std::string out;
    out.reserve(name.size() + 8);
    for (char c : name) {
        if (c == '[')
            out += "\\x5B";
        else if (c == ']')
            out += "\\x5D";
        else
            out += c;
    }
    return out;
}

std::string link_section_to_name(std::string_view section) {
    std::string out;
    out.reserve(section.size());
    for (size_t i = 0; i < section.size(); ++i) {
        if (section[i] == '\\' && i + 3 < section.size() && section[i + 1] == 'x' &&
            section[i + 2] == '5') {
            char c = section[i + 3];
            if (c == 'B' || c == 'b') {
                out += '[';
                i += 3;
                continue;
            }
            if (c == 'D' || c == 'd') {
                out += ']';
                i += 3;
                continue;
            }
        }
        out += section[i];
    }
    return out;
}

}  // namespace frame
