// Message-id tracking and SAR references in daily SQLite files, with one
// cached connection per daily file.
#include "support/tracking.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <set>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "support/directories.h"
#include "support/sqlite_store.h"
#include "support/support_state.h"

namespace support {

namespace {

constexpr unsigned kMaxCachedFiles = 64;

// With group commits on, a group of associations is committed after this
// many rows or g_group_ms after its first row, whichever comes first (and by
// commit_tracking_groups).
constexpr unsigned kGroupRows = 512;
std::atomic<uint64_t> g_group_ms{0};

// Counts the stored associations (tracking_generation).
std::atomic<uint64_t> g_generation{0};

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS message_ids("
    " link TEXT NOT NULL COLLATE NOCASE,"
    " smsc_id TEXT NOT NULL,"
    " message_id TEXT NOT NULL,"
    " submit_user TEXT NOT NULL DEFAULT '',"
    " sender TEXT NOT NULL DEFAULT '',"
    " recipient TEXT NOT NULL DEFAULT '',"
    " added INTEGER NOT NULL DEFAULT 0,"
    " hex_value INTEGER,"
    " dec_value INTEGER,"
    " PRIMARY KEY(link, smsc_id)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS sar_ids("
    " account TEXT NOT NULL COLLATE NOCASE,"
    " recipient TEXT NOT NULL,"
    " reference INTEGER NOT NULL,"
    " total INTEGER NOT NULL,"
    " gateway_reference INTEGER NOT NULL,"
    " added INTEGER NOT NULL DEFAULT 0,"
    " PRIMARY KEY(account, recipient, reference, total)) WITHOUT ROWID;";

// Files written before the numeric columns existed get them (their rows keep
// NULL there: they still match exactly).
constexpr char kAddNumericColumns[] =
    "ALTER TABLE message_ids ADD COLUMN hex_value INTEGER;"
    "ALTER TABLE message_ids ADD COLUMN dec_value INTEGER;";

// The numbers an all-digit id stands for, for receipts that name the id in
// another form; only ids that have such a number are in these indexes.
constexpr char kNumericIndexes[] =
    "CREATE INDEX IF NOT EXISTS message_ids_hex ON message_ids(link, hex_value)"
    " WHERE hex_value IS NOT NULL;"
    "CREATE INDEX IF NOT EXISTS message_ids_dec ON message_ids(link, dec_value)"
    " WHERE dec_value IS NOT NULL;";

// --- configuration ---------------------------------------------------------

// The directory, retention and connection cache of the module state.
SupportState::Tracking& tracking_state() {
    return support_state().tracking;
}

// --- civil dates -----------------------------------------------------------

struct Date {
    int year, month, day;
};

// Days since 1970-01-01 of a proleptic Gregorian date, and back; used to
// step back over calendar days independently of daylight saving.
long days_from_civil(int y, int m, int d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153L * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

Date civil_from_days(long z) {
    z += 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const long doe = z - era * 146097;
    const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int y = static_cast<int>(yoe + era * 400 + (m <= 2));
    return {y, m, d};
}

long today_days() {
    platform::LocalTime lt = platform::local_now();
    return days_from_civil(lt.year, lt.month, lt.day);
}

std::string path_for_day(const std::string& dir, long days) {
    Date d = civil_from_days(days);
    return dir + tracking_file_name(d.year, d.month, d.day);
}

// --- the connection cache --------------------------------------------------

}  // namespace

struct TrackingDb {
    std::mutex mutex;
    sqlite::Database db;
    sqlite::Statement insert_id, select_id, insert_sar, select_sar, select_hex, select_dec;
    dev_t device = 0;
    ino_t inode = 0;
    uint64_t last_use = 0;
    // Associations are committed in groups: an open write transaction, its
    // start and its rows (look-ups on this connection see them at once).
    bool in_txn = false;
    uint64_t txn_started_ms = 0;
    unsigned txn_rows = 0;
};

namespace {

using DailyDb = TrackingDb;

std::shared_ptr<DailyDb> open_daily(const std::string& path, bool create) {
    auto entry = std::make_shared<DailyDb>();
    std::string error;
    if (!entry->db.open(path, create, true, &error)) {
        platform::tracef("SMSCMessageIdOpen", "Unable to open %s: %s", path.c_str(), error.c_str());
        return nullptr;
    }
    if (!entry->db.exec(kSchema, &error)) {
        platform::tracef("SMSCMessageIdOpen", "Unable to prepare %s: %s", path.c_str(),
                         error.c_str());
        return nullptr;
    }
    {
        sqlite::Statement probe;
        if (!probe.prepare(entry->db.get(), "SELECT hex_value, dec_value FROM message_ids LIMIT 0") &&
            !entry->db.exec(kAddNumericColumns, &error)) {
            platform::tracef("SMSCMessageIdOpen", "Unable to prepare %s: %s", path.c_str(),
                             error.c_str());
            return nullptr;
        }
    }
    if (!entry->db.exec(kNumericIndexes, &error)) {
        platform::tracef("SMSCMessageIdOpen", "Unable to prepare %s: %s", path.c_str(),
                         error.c_str());
        return nullptr;
    }
    std::optional<platform::FileInfo> info = platform::stat_file(path);
    if (!info) return nullptr;
    entry->device = info->device;
    entry->inode = info->inode;
    return entry;
}

// Commits the open group of associations (entry locked). A failed commit is
// rolled back and traced: those associations are lost, as a failed add is.
void commit_group(DailyDb& e) {
    if (!e.in_txn) return;
    e.in_txn = false;
    std::string error;
    if (!e.db.exec("COMMIT", &error)) {
        platform::tracef("SMSCMessageIdAdd", "Error committing %u message ids: %s", e.txn_rows,
                         error.c_str());
        e.db.exec("ROLLBACK");
    }
    e.txn_rows = 0;
}

// Closes a connection that left the cache once its current user is done.
// It must be closed before another connection opens a file of the same
// name: a closing WAL connection removes the "-wal" file by name.
void retire(const std::shared_ptr<DailyDb>& entry) {
    std::lock_guard<std::mutex> lock(entry->mutex);
    commit_group(*entry);
    entry->insert_id.finalize();
    entry->select_id.finalize();
    entry->insert_sar.finalize();
    entry->select_sar.finalize();
    entry->select_hex.finalize();
    entry->select_dec.finalize();
    entry->db.close();
}

// The cached connection of one daily file. A file that was replaced or
// removed behind the cache's back (the integrity repair renames a damaged
// file and rebuilds it; the retention sweep deletes old ones) is reopened,
// so that rows never go into a file that is no longer in the directory.
// Users lock the entry and treat a closed connection as "acquire again".
std::shared_ptr<DailyDb> acquire(const std::string& path, bool create, unsigned cache_limit) {
    std::vector<std::shared_ptr<DailyDb>> retired;
    const std::optional<platform::FileInfo> info = platform::stat_file(path);
    const bool exists = info.has_value();
    SupportState::Tracking& t = tracking_state();
    {
        std::lock_guard<std::mutex> lock(t.cache_lock);
        auto it = t.cache.find(path);
        if (it != t.cache.end()) {
            if (exists && it->second->device == info->device && it->second->inode == info->inode) {
                it->second->last_use = ++t.use_counter;
                return it->second;
            }
            retired.push_back(it->second);
            t.cache.erase(it);
        }
    }
    for (auto& r : retired) retire(r);
    retired.clear();
    if (!exists && !create) return nullptr;

    std::shared_ptr<DailyDb> entry;
    {
        std::lock_guard<std::mutex> lock(t.cache_lock);
        auto it = t.cache.find(path);
        if (it != t.cache.end()) {
            // Another thread opened it meanwhile.
            it->second->last_use = ++t.use_counter;
            return it->second;
        }
        entry = open_daily(path, create);
        if (!entry) return nullptr;
        entry->last_use = ++t.use_counter;
        t.cache[path] = entry;
        while (t.cache.size() > cache_limit) {
            auto oldest = std::min_element(t.cache.begin(), t.cache.end(), [](auto& a, auto& b) {
                return a.second->last_use < b.second->last_use;
            });
            retired.push_back(oldest->second);
            t.cache.erase(oldest);
        }
    }
    for (auto& r : retired) retire(r);
    return entry;
}

// Runs fn(entry) on the open connection of a daily file with the entry
// locked; retries when the connection was retired in between. Returns 0
// when the file is missing (and not to be created) or cannot be opened.
template <typename Fn>
int with_daily(const std::string& path, bool create, unsigned cache_limit, Fn fn) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto daily = acquire(path, create, cache_limit);
        if (!daily) return 0;
        std::lock_guard<std::mutex> lock(daily->mutex);
        if (!daily->db.is_open()) continue;
        return fn(*daily);
    }
    return 0;
}

// The daily files in the directory, listed at most once a second (and again
// after a file was created), so that a look-up over the retention period
// does not probe every missing day's name.
struct DayFiles {
    std::mutex lock;
    std::string dir;
    std::set<long> days;
    uint64_t listed_ms = 0;
    bool valid = false;
};
DayFiles& day_files() {
    static DayFiles d;
    return d;
}
void forget_day_files() {
    DayFiles& d = day_files();
    std::lock_guard<std::mutex> lock(d.lock);
    d.valid = false;
}
// True unless the listing says there is no file for the day (today's file
// is always tried: it may have been made a moment ago).
bool day_file_listed(const std::string& dir, long day, long today) {
    if (day == today) return true;
    DayFiles& d = day_files();
    const uint64_t now_ms = platform::monotonic_ms();
    std::lock_guard<std::mutex> lock(d.lock);
    if (!d.valid || d.dir != dir || now_ms - d.listed_ms >= 1000) {
        d.days.clear();
        for (const platform::DirEntry& e :
             platform::scan_dir(dir, "*.DB", platform::ScanKind::FilesOnly)) {
            int y = 0, m = 0, dd = 0;
            if (e.name.size() == 11 && std::sscanf(e.name.c_str(), "%4d%2d%2d", &y, &m, &dd) == 3)
                d.days.insert(days_from_civil(y, m, dd));
        }
        d.dir = dir;
        d.listed_ms = now_ms;
        d.valid = true;
    }
    return d.days.count(day) != 0;
}

unsigned retain_days() {
    SupportState::Tracking& t = tracking_state();
    std::lock_guard<std::mutex> lock(t.config_lock);
    return t.retain_days;
}

unsigned cache_limit_for(unsigned days) {
    return std::min(days + 2, kMaxCachedFiles);
}

bool valid_key(std::string_view s) {
    return !s.empty() && s.size() < kTrackingFieldSize;
}

std::string field(std::string_view s) {
    return platform::truncate_field(s, kTrackingFieldSize - 1);
}

struct Found {
    std::string message_id, submit_user, sender, recipient;
};

// Looks up (link, id) in today's file and then `days` earlier ones.
bool lookup(std::string_view link, std::string_view smsc_id, unsigned days, Found& out) {
    if (link.size() >= kTrackingFieldSize || !valid_key(smsc_id)) return false;
    const std::string dir = tracking_directory();
    const long today = today_days();
    const unsigned limit = cache_limit_for(std::max(days, retain_days()));
    for (unsigned back = 0; back <= days; ++back) {
        if (!day_file_listed(dir, today - static_cast<long>(back), today)) continue;
        const std::string path = path_for_day(dir, today - static_cast<long>(back));
        int found = with_daily(path, false, limit, [&](DailyDb& daily) -> int {
            sqlite::Statement& st = daily.select_id;
            if (!st.is_prepared() &&
                !st.prepare(daily.db.get(),
                            "SELECT message_id, submit_user, sender, recipient FROM message_ids"
                            " WHERE link = ?1 AND smsc_id = ?2")) {
                platform::tracef("SMSCMessageIdGet", "Error reading %s: %s", path.c_str(),
                                 daily.db.last_error().c_str());
                return 0;
            }
            st.bind(1, link);
            st.bind(2, smsc_id);
            int rc = st.step();
            if (rc == SQLITE_ROW) {
                out.message_id = st.column_text(0);
                out.submit_user = st.column_text(1);
                out.sender = st.column_text(2);
                out.recipient = st.column_text(3);
            } else if (rc != SQLITE_DONE) {
                platform::tracef("SMSCMessageIdGet", "Error reading message id %.*s from %s: %s",
                                 static_cast<int>(smsc_id.size()), smsc_id.data(), path.c_str(),
                                 daily.db.last_error().c_str());
            }
            st.reset();
            return rc == SQLITE_ROW ? 1 : 0;
        });
        if (found) return true;
    }
    return false;
}

// Runs fn on today's file, created (with the directory) when missing.
template <typename Fn>
int with_today(Fn fn) {
    const std::string dir = tracking_directory();
    const std::string path = path_for_day(dir, today_days());
    const unsigned limit = cache_limit_for(retain_days());
    if (!platform::file_exists(path)) {
        platform::ensure_dir(dir);
        forget_day_files();
    }
    return with_daily(path, true, limit, fn);
}

int get2(std::string_view link, std::string_view smsc_id, unsigned days, std::string& message_id,
         std::string& submit_user, std::string& sender, std::string& recipient) {
    Found f;
    if (!lookup(link, smsc_id, days, f)) return 0;
    message_id = std::move(f.message_id);
    submit_user = std::move(f.submit_user);
    sender = std::move(f.sender);
    recipient = std::move(f.recipient);
    return 1;
}

}  // namespace

// --- configuration ---------------------------------------------------------

void set_tracking_directory(std::string_view dir) {
    {
        SupportState::Tracking& t = tracking_state();
        std::lock_guard<std::mutex> lock(t.config_lock);
        t.configured_dir = std::string(platform::trim(dir));
        t.resolved_dir.clear();
    }
    forget_day_files();
    sqlSMSCMessageIdCloseAll();
}

std::string tracking_directory() {
    SupportState::Tracking& t = tracking_state();
    std::lock_guard<std::mutex> lock(t.config_lock);
    if (!t.resolved_dir.empty()) return t.resolved_dir;
    std::string dir;
    if (!t.configured_dir.empty()) {
        dir = platform::with_trailing_slash(t.configured_dir);
    } else {
        // Keep whatever spelling of the directory already exists.
        std::string base = GetProgramDataDirectory();
        auto existing = platform::find_name_nocase(base, "SMPPData");
        dir = base + (existing ? *existing : std::string("SMPPData")) + "/";
    }
    if (!platform::ensure_dir(dir))
        platform::tracef("SMSCMessageIdAdd", "Unable to create directory %s", dir.c_str());
    t.resolved_dir = dir;
    return dir;
}

void set_tracking_retention_days(unsigned days) {
    SupportState::Tracking& t = tracking_state();
    std::lock_guard<std::mutex> lock(t.config_lock);
    t.retain_days = days == 0 ? kDefaultTrackingRetainDays : days;
}

unsigned tracking_retention_days() {
    return retain_days();
}

std::string tracking_file_name(int year, int month, int day) {
    return platform::strprintf("%04u%02u%02u.DB", static_cast<unsigned>(year),
                               static_cast<unsigned>(month), static_cast<unsigned>(day));
}

std::string tracking_today_path() {
    return path_for_day(tracking_directory(), today_days());
}

// --- message ids -----------------------------------------------------------

int sqlSMSCMessageIdAdd(std::string_view link, std::string_view smsc_id,
                        std::string_view message_id, std::string_view submit_user,
                        std::string_view sender, std::string_view recipient) {
    if (link.size() >= kTrackingFieldSize || !valid_key(smsc_id)) {
        platform::trace("SMSCMessageIdAdd", "Invalid link name or message id");
        return 0;
    }
    return with_today([&](DailyDb& daily) -> int {
        sqlite::Statement& st = daily.insert_id;
        if (!st.is_prepared() &&
            !st.prepare(daily.db.get(),
                        "INSERT OR REPLACE INTO message_ids(link, smsc_id, message_id,"
                        " submit_user, sender, recipient, added, hex_value, dec_value)"
                        " VALUES(?1,?2,?3,?4,?5,?6,?7,NULLIF(?8,0),NULLIF(?9,0))")) {
            platform::tracef("SMSCMessageIdAdd", "Error preparing insert: %s",
                             daily.db.last_error().c_str());
            return 0;
        }
        st.bind(1, link);
        st.bind(2, smsc_id);
        st.bind(3, field(message_id));
        st.bind(4, field(submit_user));
        st.bind(5, field(sender));
        st.bind(6, field(recipient));
        st.bind(7, static_cast<int64_t>(platform::now()));
        const NumericId n = numeric_id_values(smsc_id);
        st.bind(8, static_cast<int64_t>(n.has_hex ? n.hex : 0));
        st.bind(9, static_cast<int64_t>(n.has_dec ? n.dec : 0));
        const uint64_t now_ms = platform::monotonic_ms();
        const uint64_t group_ms = g_group_ms.load(std::memory_order_relaxed);
        if (group_ms > 0 && !daily.in_txn && daily.db.exec("BEGIN")) {
            daily.in_txn = true;
            daily.txn_started_ms = now_ms;
        }
        const bool stored = st.run();
        if (daily.in_txn) {
            ++daily.txn_rows;
            if (daily.txn_rows >= kGroupRows || now_ms - daily.txn_started_ms >= group_ms)
                commit_group(daily);
        }
        if (!stored) {
            platform::tracef("SMSCMessageIdAdd", "Error adding message id %.*s for %.*s: %s",
                             static_cast<int>(smsc_id.size()), smsc_id.data(),
                             static_cast<int>(link.size()), link.data(),
                             daily.db.last_error().c_str());
            return 0;
        }
        g_generation.fetch_add(1, std::memory_order_relaxed);
        return 1;
    });
}

int SMSCMessageIdAdd(std::string_view link, std::string_view smsc_id, std::string_view message_id,
                     std::string_view submit_user, std::string_view sender,
                     std::string_view recipient) {
    return sqlSMSCMessageIdAdd(link, smsc_id, message_id, submit_user, sender, recipient);
}

int sqlSMSCMessageIdGet2(std::string_view link, std::string_view smsc_id, std::string& message_id,
                         std::string& submit_user, std::string& sender, std::string& recipient) {
    return get2(link, smsc_id, retain_days(), message_id, submit_user, sender, recipient);
}

int SMSCMessageIdGet2(std::string_view link, std::string_view smsc_id, std::string& message_id,
                      std::string& submit_user, std::string& sender, std::string& recipient) {
    return sqlSMSCMessageIdGet2(link, smsc_id, message_id, submit_user, sender, recipient);
}

int sqlSMSCMessageIdGetQuick(std::string_view link, std::string_view smsc_id,
                             std::string& message_id, std::string& submit_user, std::string& sender,
                             std::string& recipient) {
    return get2(link, smsc_id, 1, message_id, submit_user, sender, recipient);
}

int SMSCMessageIdGet(std::string_view link, std::string_view key, std::string& message_id,
                     std::string& submit_user, std::string& sender, std::string& recipient) {
    Found f;
    if (!lookup(link, key, retain_days(), f)) return 0;
    message_id = std::move(f.message_id);
    submit_user = std::move(f.submit_user);
    sender = std::move(f.sender);
    if (!f.recipient.empty()) recipient = std::move(f.recipient);
    return 1;
}

// --- ids in other forms -------------------------------------------------------

NumericId numeric_id_values(std::string_view id) {
    NumericId n;
    size_t i = 0;
    while (i < id.size() && id[i] == '0') ++i;
    std::string_view digits = id.substr(i);
    if (id.empty()) return n;
    bool hex = true, dec = true;
    uint64_t hv = 0, dv = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) {
            d = (c | 0x20) - 'a' + 10;
            dec = false;
        } else {
            return n;
        }
        if (dec) {
            if (dv > (UINT64_MAX - uint64_t(d)) / 10)
                dec = false;
            else
                dv = dv * 10 + uint64_t(d);
        }
        hv = (hv << 4) | uint64_t(d);
    }
    hex = digits.size() <= 16;
    n.has_hex = hex && hv != 0;
    n.hex = n.has_hex ? hv : 0;
    n.has_dec = dec && dv != 0;
    n.dec = n.has_dec ? dv : 0;
    return n;
}

std::string_view id_form_name(IdForm form) {
    switch (form) {
        case IdForm::Exact:
            return "exact";
        case IdForm::SameHex:
            return "hexadecimal";
        case IdForm::SameDecimal:
            return "decimal";
        case IdForm::DecimalOfHex:
            return "decimal for hexadecimal";
        case IdForm::HexOfDecimal:
            return "hexadecimal for decimal";
    }
    return "exact";
}

uint64_t tracking_generation() {
    return g_generation.load(std::memory_order_relaxed);
}

namespace {

struct Candidate {
    TrackedMessage msg;
    IdForm form;
};

// Rows of one daily file whose numeric column equals value.
void collect_numeric(DailyDb& daily, const std::string& path, bool hex_column,
                     std::string_view link, uint64_t value, IdForm form,
                     std::vector<Candidate>& out) {
    sqlite::Statement& st = hex_column ? daily.select_hex : daily.select_dec;
    if (!st.is_prepared() &&
        !st.prepare(daily.db.get(),
                    // Named: without statistics the planner would rather walk the
                    // link's whole primary key.
                    hex_column ? "SELECT smsc_id, message_id, submit_user, sender, recipient"
                                 " FROM message_ids INDEXED BY message_ids_hex"
                                 " WHERE link = ?1 AND hex_value = ?2 LIMIT 4"
                               : "SELECT smsc_id, message_id, submit_user, sender, recipient"
                                 " FROM message_ids INDEXED BY message_ids_dec"
                                 " WHERE link = ?1 AND dec_value = ?2 LIMIT 4")) {
        platform::tracef("SMSCMessageIdGet", "Error reading %s: %s", path.c_str(),
                         daily.db.last_error().c_str());
        return;
    }
    st.bind(1, link);
    st.bind(2, static_cast<int64_t>(value));
    while (st.step() == SQLITE_ROW) {
        Candidate c;
        c.msg.smsc_id = st.column_text(0);
        c.msg.message_id = st.column_text(1);
        c.msg.submit_user = st.column_text(2);
        c.msg.sender = st.column_text(3);
        c.msg.recipient = st.column_text(4);
        c.form = form;
        out.push_back(std::move(c));
    }
    st.reset();
}

}  // namespace

MatchResult SMSCMessageIdMatch(std::string_view link, std::string_view smsc_id,
                               TrackedMessage& out, IdForm& form) {
    Found f;
    if (lookup(link, smsc_id, retain_days(), f)) {
        out.smsc_id = std::string(smsc_id);
        out.message_id = std::move(f.message_id);
        out.submit_user = std::move(f.submit_user);
        out.sender = std::move(f.sender);
        out.recipient = std::move(f.recipient);
        form = IdForm::Exact;
        return MatchResult::Found;
    }
    const NumericId n = numeric_id_values(smsc_id);
    if ((!n.has_hex && !n.has_dec) || link.size() >= kTrackingFieldSize ||
        !valid_key(smsc_id))
        return MatchResult::NotFound;

    std::vector<Candidate> found;
    const std::string dir = tracking_directory();
    const long today = today_days();
    const unsigned days = retain_days();
    const unsigned limit = cache_limit_for(days);
    for (unsigned back = 0; back <= days; ++back) {
        if (!day_file_listed(dir, today - static_cast<long>(back), today)) continue;
        const std::string path = path_for_day(dir, today - static_cast<long>(back));
        with_daily(path, false, limit, [&](DailyDb& daily) -> int {
            // Same base first: their candidates come first in the list.
            if (n.has_hex) collect_numeric(daily, path, true, link, n.hex, IdForm::SameHex, found);
            if (n.has_dec)
                collect_numeric(daily, path, false, link, n.dec, IdForm::SameDecimal, found);
            if (n.has_dec)
                collect_numeric(daily, path, true, link, n.dec, IdForm::DecimalOfHex, found);
            if (n.has_hex)
                collect_numeric(daily, path, false, link, n.hex, IdForm::HexOfDecimal, found);
            return 1;
        });
    }
    if (found.empty()) return MatchResult::NotFound;
    for (const Candidate& c : found)
        if (c.msg.message_id != found.front().msg.message_id) {
            std::string ids;
            for (const Candidate& d : found) {
                if (!ids.empty()) ids += ", ";
                ids += d.msg.smsc_id + " (" + std::string(id_form_name(d.form)) + ")";
            }
            platform::tracef("SMSCMessageIdGet",
                             "Receipt message id %.*s for %.*s names different messages: %s",
                             static_cast<int>(smsc_id.size()), smsc_id.data(),
                             static_cast<int>(link.size()), link.data(), ids.c_str());
            return MatchResult::Ambiguous;
        }
    out = std::move(found.front().msg);
    form = found.front().form;
    return MatchResult::Found;
}

void set_tracking_group_commit_ms(unsigned ms) {
    g_group_ms.store(std::min(ms, kMaxTrackingGroupMs));
    if (ms == 0) commit_tracking_groups(true);
}

void commit_tracking_groups(bool all) {
    std::vector<std::shared_ptr<DailyDb>> open;
    {
        SupportState::Tracking& t = tracking_state();
        std::lock_guard<std::mutex> lock(t.cache_lock);
        for (auto& [path, entry] : t.cache) open.push_back(entry);
    }
    const uint64_t now_ms = platform::monotonic_ms();
    for (auto& entry : open) {
        std::lock_guard<std::mutex> lock(entry->mutex);
        if (entry->in_txn && entry->db.is_open() &&
            (all || now_ms - entry->txn_started_ms >= g_group_ms.load()))
            commit_group(*entry);
    }
}

unsigned close_expired_tracking_files() {
    const std::string dir = tracking_directory();
    const long oldest = today_days() - static_cast<long>(retain_days());
    std::vector<std::shared_ptr<DailyDb>> closing;
    {
        SupportState::Tracking& t = tracking_state();
        std::lock_guard<std::mutex> lock(t.cache_lock);
        for (auto it = t.cache.begin(); it != t.cache.end();) {
            const std::string& path = it->first;
            int y = 0, m = 0, d = 0;
            const bool dated = path.size() > dir.size() &&
                               path.compare(0, dir.size(), dir) == 0 &&
                               std::sscanf(path.c_str() + dir.size(), "%4d%2d%2d.DB", &y, &m, &d) == 3;
            if (dated && days_from_civil(y, m, d) < oldest) {
                closing.push_back(it->second);
                it = t.cache.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& entry : closing) retire(entry);
    return unsigned(closing.size());
}

void sqlSMSCMessageIdCloseAll() {
    std::map<std::string, std::shared_ptr<DailyDb>> closing;
    {
        SupportState::Tracking& t = tracking_state();
        std::lock_guard<std::mutex> lock(t.cache_lock);
        closing.swap(t.cache);
    }
    // Each closes once its current user is done, so that a caller may
    // rename or rebuild the files as soon as this returns.
    for (auto& [path, entry] : closing) retire(entry);
}

// --- integrity -------------------------------------------------------------

DatabaseHealth check_database_health(const std::string& path) {
    // SQLite's own verdict decides: damage shows as SQLITE_CORRUPT or
    // SQLITE_NOTADB, or as a quick_check row other than "ok". Any other
    // failure (no file, no access, a lock held elsewhere, an I/O error) says
    // nothing about the file's content.
    auto verdict = [&](int rc, const std::string& text) {
        const int primary = rc & 0xFF;
        const bool corrupt = primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
        platform::tracef("sqlTestDatabaseOK", "%s: %s", path.c_str(), text.c_str());
        return corrupt ? DatabaseHealth::Corrupt : DatabaseHealth::Unknown;
    };
    sqlite3* raw = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close_v2);
    if (rc != SQLITE_OK) {
        std::string text = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
        return verdict(rc, "Unable to open: " + text);
    }
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_busy_timeout(raw, static_cast<int>(kIntegrityBusyWaitMs));
    sqlite3_stmt* st_raw = nullptr;
    rc = sqlite3_prepare_v2(raw, "PRAGMA quick_check", -1, &st_raw, nullptr);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> st(st_raw, sqlite3_finalize);
    if (rc != SQLITE_OK) return verdict(rc, sqlite3_errmsg(raw));
    rc = sqlite3_step(st_raw);
    if (rc != SQLITE_ROW) return verdict(rc, sqlite3_errmsg(raw));
    const unsigned char* first = sqlite3_column_text(st_raw, 0);
    std::string row = first ? reinterpret_cast<const char*>(first) : "";
    if (row != "ok") {
        platform::tracef("sqlTestDatabaseOK", "%s: %s", path.c_str(), row.c_str());
        return DatabaseHealth::Corrupt;
    }
    return DatabaseHealth::Sound;
}

int sqlTestDatabaseOK(const std::string& path) {
    return check_database_health(path) == DatabaseHealth::Sound ? 1 : 0;
}

// --- SAR references --------------------------------------------------------

int sqlSARIDAdd(std::string_view account, std::string_view recipient, unsigned reference,
                unsigned total, unsigned gateway_reference) {
    if (account.size() >= kTrackingFieldSize || recipient.size() >= kTrackingFieldSize) {
        platform::trace("sqlSARIDAdd", "Invalid account or recipient");
        return 0;
    }
    return with_today([&](DailyDb& daily) -> int {
        sqlite::Statement& st = daily.insert_sar;
        if (!st.is_prepared() &&
            !st.prepare(daily.db.get(),
                        "INSERT OR REPLACE INTO sar_ids(account, recipient, reference, total,"
                        " gateway_reference, added) VALUES(?1,?2,?3,?4,?5,?6)")) {
            platform::tracef("sqlSARIDAdd", "Error preparing insert: %s",
                             daily.db.last_error().c_str());
            return 0;
        }
        st.bind(1, account);
        st.bind(2, recipient);
        st.bind(3, int64_t{reference});
        st.bind(4, int64_t{total});
        st.bind(5, int64_t{gateway_reference});
        st.bind(6, static_cast<int64_t>(platform::now()));
        if (!st.run()) {
            platform::tracef("sqlSARIDAdd", "Error adding SAR reference: %s",
                             daily.db.last_error().c_str());
            return 0;
        }
        return 1;
    });
}

int sqlSARIDGet(std::string_view account, std::string_view recipient, unsigned reference,
                unsigned total, unsigned& gateway_reference) {
    if (account.size() >= kTrackingFieldSize || recipient.size() >= kTrackingFieldSize) return 0;
    const std::string dir = tracking_directory();
    const long today = today_days();
    const unsigned limit = cache_limit_for(retain_days());
    for (long back = 0; back <= 1; ++back) {
        int found =
            with_daily(path_for_day(dir, today - back), false, limit, [&](DailyDb& daily) -> int {
                sqlite::Statement& st = daily.select_sar;
                if (!st.is_prepared() &&
                    !st.prepare(daily.db.get(),
                                "SELECT gateway_reference FROM sar_ids WHERE account = ?1"
                                " AND recipient = ?2 AND reference = ?3 AND total = ?4"))
                    return 0;
                st.bind(1, account);
                st.bind(2, recipient);
                st.bind(3, int64_t{reference});
                st.bind(4, int64_t{total});
                bool hit = st.step() == SQLITE_ROW;
                if (hit) gateway_reference = static_cast<unsigned>(st.column_int(0));
                st.reset();
                return hit ? 1 : 0;
            });
        if (found) return 1;
    }
    return 0;
}

}  // namespace support
