// The account store over SQLite and the password hashing shared with the
// MMS account store.
#include "support/accounts.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sqlite3.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "support/directories.h"
#include "support/sqlite_store.h"
#include "support/support_state.h"

namespace support {

namespace {

constexpr char kHashScheme[] = "pbkdf2-sha256";
// Strong enough to make an offline attack on a copied database slow; logins
// repeat per request, so a successful check is remembered (see below).
constexpr unsigned kHashIterations = 100000;
constexpr unsigned kMaxAcceptedIterations = 10000000;
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;

std::string to_hex(const unsigned char* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(digits[p[i] >> 4]);
        out.push_back(digits[p[i] & 0x0F]);
    }
    return out;
}

bool from_hex(std::string_view text, std::vector<unsigned char>& out) {
    if (text.size() % 2 != 0) return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = platform::hex_digit_value(text[i]), lo = platform::hex_digit_value(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<unsigned char>(hi * 16 + lo));
    }
    return true;
}

bool pbkdf2(std::string_view folded, const std::vector<unsigned char>& salt, unsigned iterations,
            unsigned char* out, size_t out_len) {
    return PKCS5_PBKDF2_HMAC(folded.data(), static_cast<int>(folded.size()), salt.data(),
                             static_cast<int>(salt.size()), static_cast<int>(iterations),
                             EVP_sha256(), static_cast<int>(out_len), out) == 1;
}

SupportState::Accounts& accounts_state() {
    return support_state().accounts;
}

// Successful checks, remembered as a keyed digest of (stored hash, folded
// password) under a per-process random key: the HTTP interface checks the
// password on every request, and a full PBKDF2 run each time would cap the
// submission rate. Failed checks are never remembered.
// The digest is empty when none can be made (the check then runs in full).
std::string verified_digest(std::string_view stored, std::string_view folded) {
    SupportState::Accounts& a = accounts_state();
    std::lock_guard<std::mutex> lock(a.verified_lock);
    if (!a.verified_key_ready) {
        if (RAND_bytes(a.verified_key.data(), static_cast<int>(a.verified_key.size())) != 1)
            return {};
        a.verified_key_ready = true;
    }
    std::string data(stored);
    data.push_back('\0');
    data.append(folded);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int md_len = 0;
    if (!HMAC(EVP_sha256(), a.verified_key.data(), static_cast<int>(a.verified_key.size()),
              reinterpret_cast<const unsigned char*>(data.data()), data.size(), md, &md_len))
        return {};
    OPENSSL_cleanse(data.data(), data.size());
    return std::string(reinterpret_cast<const char*>(md), md_len);
}

bool verified_contains(const std::string& d) {
    SupportState::Accounts& a = accounts_state();
    std::lock_guard<std::mutex> lock(a.verified_lock);
    return !d.empty() && a.verified.count(d) != 0;
}

void verified_add(const std::string& d) {
    if (d.empty()) return;
    SupportState::Accounts& a = accounts_state();
    std::lock_guard<std::mutex> lock(a.verified_lock);
    if (a.verified.size() >= SupportState::Accounts::kMaxVerified) a.verified.clear();
    a.verified.insert(d);
}

}  // namespace

// --- passwords -------------------------------------------------------------

std::string hash_account_password(std::string_view password) {
    if (password.size() >= kPasswordSize) return {};
    std::string folded = platform::to_lower(password);
    std::vector<unsigned char> salt(kSaltBytes);
    if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) return {};
    unsigned char hash[kHashBytes];
    bool ok = pbkdf2(folded, salt, kHashIterations, hash, sizeof hash);
    OPENSSL_cleanse(folded.data(), folded.size());
    if (!ok) return {};
    return platform::strprintf("%s$%u$%s$%s", kHashScheme, kHashIterations,
                               to_hex(salt.data(), salt.size()).c_str(),
                               to_hex(hash, sizeof hash).c_str());
}

bool verify_account_password(std::string_view stored, std::string_view password) {
    if (stored.empty() || password.size() >= kPasswordSize) return false;
    // scheme $ iterations $ salt $ hash
    std::string_view parts[4];
    std::string_view rest = stored;
    for (int i = 0; i < 4; ++i) {
        size_t pos = rest.find('$');
        if (i < 3) {
            if (pos == std::string_view::npos) return false;
            parts[i] = rest.substr(0, pos);
            rest.remove_prefix(pos + 1);
        } else {
            if (pos != std::string_view::npos) return false;
            parts[i] = rest;
        }
    }
    if (parts[0] != kHashScheme) return false;
    unsigned long iterations = 0;
    if (parts[1].empty() || parts[1].size() > 9) return false;
    for (char c : parts[1]) {
        if (c < '0' || c > '9') return false;
        iterations = iterations * 10 + static_cast<unsigned long>(c - '0');
    }
    if (iterations == 0 || iterations > kMaxAcceptedIterations) return false;
    std::vector<unsigned char> salt, expected;
    if (!from_hex(parts[2], salt) || !from_hex(parts[3], expected) || salt.empty() ||
        expected.empty() || expected.size() > EVP_MAX_MD_SIZE)
        return false;

    std::string folded = platform::to_lower(password);
    std::string memo = verified_digest(stored, folded);
    if (verified_contains(memo)) {
        OPENSSL_cleanse(folded.data(), folded.size());
        return true;
    }
    unsigned char actual[EVP_MAX_MD_SIZE];
    bool ok = pbkdf2(folded, salt, static_cast<unsigned>(iterations), actual, expected.size());
    OPENSSL_cleanse(folded.data(), folded.size());
    if (!ok) return false;
    bool match = CRYPTO_memcmp(actual, expected.data(), expected.size()) == 0;
    if (match) verified_add(memo);
    return match;
}

bool set_user_password(UserRecord& record, std::string_view password) {
    std::string hash = hash_account_password(password);
    if (hash.empty()) return false;
    record.password_hash = std::move(hash);
    return true;
}

bool verify_user_password(const UserRecord& record, std::string_view password) {
    return verify_account_password(record.password_hash, password);
}

// --- the database ----------------------------------------------------------

void set_account_database_path(const std::string& path) {
    SupportState::Accounts& a = accounts_state();
    std::lock_guard<std::mutex> lock(a.path_lock);
    a.path_override = path;
}

std::string account_database_path() {
    {
        SupportState::Accounts& a = accounts_state();
        std::lock_guard<std::mutex> lock(a.path_lock);
        if (!a.path_override.empty()) return a.path_override;
    }
    return GetProgramDataDirectory() + "USERS.DB";
}

namespace {

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS sms_users("
    " name TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,"
    " password_hash TEXT NOT NULL DEFAULT '',"
    " full_name TEXT NOT NULL DEFAULT '',"
    " enable_web_login INTEGER NOT NULL DEFAULT 0,"
    " enable_smpp_login INTEGER NOT NULL DEFAULT 0,"
    " enable_smtp_login INTEGER NOT NULL DEFAULT 0,"
    " receive_enabled INTEGER NOT NULL DEFAULT 0,"
    " admin_enabled INTEGER NOT NULL DEFAULT 0,"
    " enable_credit_balance INTEGER NOT NULL DEFAULT 0,"
    " forced_sender_address TEXT NOT NULL DEFAULT '',"
    " restrict_ip_address TEXT NOT NULL DEFAULT '',"
    " message_limit_per_day INTEGER NOT NULL DEFAULT 0,"
    " message_limit_per_month INTEGER NOT NULL DEFAULT 0,"
    " throttle_speed TEXT NOT NULL DEFAULT '',"
    " web_options TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE IF NOT EXISTS mms_users("
    " name TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,"
    " password_hash TEXT NOT NULL DEFAULT '',"
    " full_name TEXT NOT NULL DEFAULT '',"
    " phone_number TEXT NOT NULL DEFAULT '',"
    " email_address TEXT NOT NULL DEFAULT '',"
    " enabled INTEGER NOT NULL DEFAULT 1);"
    "CREATE TABLE IF NOT EXISTS mms_aliases("
    " alias TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,"
    " user_name TEXT NOT NULL COLLATE NOCASE);"
    "CREATE INDEX IF NOT EXISTS mms_aliases_user ON mms_aliases(user_name);";

constexpr char kColumns[] =
    "name, password_hash, full_name, enable_web_login, enable_smpp_login, enable_smtp_login,"
    " receive_enabled, admin_enabled, enable_credit_balance, forced_sender_address,"
    " restrict_ip_address, message_limit_per_day, message_limit_per_month, throttle_speed,"
    " web_options";

void read_record(const sqlite::Statement& st, UserRecord& r) {
    r.name = st.column_text(0);
    r.password_hash = st.column_text(1);
    r.full_name = st.column_text(2);
    r.enable_web_login = st.column_int(3) != 0;
    r.enable_smpp_login = st.column_int(4) != 0;
    r.enable_smtp_login = st.column_int(5) != 0;
    r.receive_enabled = st.column_int(6) != 0;
    r.admin_enabled = st.column_int(7) != 0;
    r.enable_credit_balance = st.column_int(8) != 0;
    r.forced_sender_address = st.column_text(9);
    r.restrict_ip_address = st.column_text(10);
    r.message_limit_per_day = static_cast<uint32_t>(st.column_int(11));
    r.message_limit_per_month = static_cast<uint32_t>(st.column_int(12));
    r.throttle_speed = st.column_text(13);
    r.web_options = st.column_text(14);
}

}  // namespace

bool valid_account_name(std::string_view name) {
    if (name.empty() || name.size() >= kUserNameSize) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}

bool open_account_database(sqlite::Database& db, std::string* error) {
    std::string path = account_database_path();
    platform::create_intermediate_dirs(path);
    if (!db.open(path, true, true, error)) return false;
    sqlite::Transaction tx(db);
    if (!tx.active() || !db.exec(kSchema, error) || !tx.commit()) {
        if (error && error->empty()) *error = db.last_error();
        db.close();
        return false;
    }
    return true;
}

struct UserFile::State {
    std::mutex mutex;
    sqlite::Database db;
    bool writable = false;
    sqlite::Statement find;
    sqlite::Statement upsert;
    sqlite::Statement remove;
    sqlite::Statement count;
    std::vector<UserRecord> snapshot;
    bool snapshot_valid = false;
};

UserFile::UserFile() = default;
UserFile::~UserFile() = default;
UserFile::UserFile(UserFile&&) noexcept = default;
UserFile& UserFile::operator=(UserFile&&) noexcept = default;
bool UserFile::is_open() const {
    return state_ && state_->db.is_open();
}

int SMSOpenUserFile(UserFile& handle, UserFileAccess access) {
    auto state = std::make_unique<UserFile::State>();
    std::string error;
    if (!open_account_database(state->db, &error)) {
        platform::tracef("SMSOpenUserFile", "Unable to open user database %s: %s",
                         account_database_path().c_str(), error.c_str());
        return 0;
    }
    state->writable = access == UserFileAccess::ReadWrite;
    handle.attach(std::move(state));
    return 1;
}

namespace {

// Runs fn with the handle's state locked; 0 when the handle is not open.
template <typename Fn>
int with_state(UserFile& handle, Fn fn) {
    UserFile::State* st = handle.state();
    if (!st) return 0;
    std::lock_guard<std::mutex> lock(st->mutex);
    if (!st->db.is_open()) return 0;
    return fn(*st);
}

bool ensure(sqlite::Statement& st, sqlite::Database& db, const std::string& sql) {
    return st.is_prepared() || st.prepare(db.get(), sql.c_str());
}

}  // namespace

int SMSGetUserRecord(UserFile& handle, uint32_t index, UserRecord& record) {
    return with_state(handle, [&](UserFile::State& st) -> int {
        if (index == 0 || !st.snapshot_valid) {
            sqlite::Statement all;
            std::string sql = std::string("SELECT ") + kColumns +
                              " FROM sms_users ORDER BY name COLLATE NOCASE, name";
            if (!all.prepare(st.db.get(), sql.c_str())) {
                platform::tracef("SMSGetUserRecord", "Error reading user database: %s",
                                 st.db.last_error().c_str());
                return 0;
            }
            std::vector<UserRecord> rows;
            int rc;
            while ((rc = all.step()) == SQLITE_ROW) {
                UserRecord r;
                read_record(all, r);
                rows.push_back(std::move(r));
            }
            if (rc != SQLITE_DONE) {
                platform::tracef("SMSGetUserRecord", "Error reading user database: %s",
                                 st.db.last_error().c_str());
                return 0;
            }
            st.snapshot = std::move(rows);
            st.snapshot_valid = true;
        }
        if (index >= st.snapshot.size()) return 0;
        record = st.snapshot[index];
        return 1;
    });
}

int SMSFindUserRecord(UserFile& handle, std::string_view name, UserRecord& record) {
    if (!valid_account_name(name)) return 0;
    return with_state(handle, [&](UserFile::State& st) -> int {
        if (!ensure(st.find, st.db,
                    std::string("SELECT ") + kColumns + " FROM sms_users WHERE name = ?1"))
            return 0;
        st.find.bind(1, name);
        int rc = st.find.step();
        int found = 0;
        if (rc == SQLITE_ROW) {
            read_record(st.find, record);
            found = 1;
        } else if (rc != SQLITE_DONE) {
            platform::tracef("SMSFindUserRecord", "Error reading user database: %s",
                             st.db.last_error().c_str());
        }
        st.find.reset();
        return found;
    });
}

int SMSAddUser(UserFile& handle, const UserRecord& in) {
    if (!valid_account_name(in.name)) {
        platform::tracef("SMSAddUser", "Invalid account name \"%.*s\"",
                         static_cast<int>(std::min<size_t>(in.name.size(), kUserNameSize)),
                         in.name.data());
        return 0;
    }
    return with_state(handle, [&](UserFile::State& st) -> int {
        if (!st.writable) {
            platform::trace("SMSAddUser", "User database opened for reading only");
            return 0;
        }
        if (!ensure(st.upsert, st.db,
                    std::string("INSERT INTO sms_users(") + kColumns +
                        ") VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15)"
                        " ON CONFLICT(name) DO UPDATE SET name=excluded.name,"
                        " password_hash=excluded.password_hash, full_name=excluded.full_name,"
                        " enable_web_login=excluded.enable_web_login,"
                        " enable_smpp_login=excluded.enable_smpp_login,"
                        " enable_smtp_login=excluded.enable_smtp_login,"
                        " receive_enabled=excluded.receive_enabled,"
                        " admin_enabled=excluded.admin_enabled,"
                        " enable_credit_balance=excluded.enable_credit_balance,"
                        " forced_sender_address=excluded.forced_sender_address,"
                        " restrict_ip_address=excluded.restrict_ip_address,"
                        " message_limit_per_day=excluded.message_limit_per_day,"
                        " message_limit_per_month=excluded.message_limit_per_month,"
                        " throttle_speed=excluded.throttle_speed,"
                        " web_options=excluded.web_options"))
            return 0;
        sqlite::Statement& s = st.upsert;
        s.bind(1, in.name);
        s.bind(2, in.password_hash);
        s.bind(3, platform::truncate_field(in.full_name, kFullNameSize - 1));
        s.bind(4, int64_t{in.enable_web_login});
        s.bind(5, int64_t{in.enable_smpp_login});
        s.bind(6, int64_t{in.enable_smtp_login});
        s.bind(7, int64_t{in.receive_enabled});
        s.bind(8, int64_t{in.admin_enabled});
        s.bind(9, int64_t{in.enable_credit_balance});
        s.bind(10,
               platform::truncate_field(in.forced_sender_address, kForcedSenderAddressSize - 1));
        s.bind(11, platform::truncate_field(in.restrict_ip_address, kRestrictIPAddressSize - 1));
        s.bind(12, int64_t{in.message_limit_per_day});
        s.bind(13, int64_t{in.message_limit_per_month});
        s.bind(14, platform::truncate_field(in.throttle_speed, kThrottleSpeedSize - 1));
        s.bind(15, platform::truncate_field(in.web_options, kWebOptionsSize - 1));
        if (!s.run()) {
            platform::tracef("SMSAddUser", "Error writing user database: %s",
                             st.db.last_error().c_str());
            return 0;
        }
        st.snapshot_valid = false;
        return 1;
    });
}

int SMSDeleteUser(UserFile& handle, std::string_view name) {
    if (!valid_account_name(name)) return 0;
    return with_state(handle, [&](UserFile::State& st) -> int {
        if (!st.writable) {
            platform::trace("SMSDeleteUser", "User database opened for reading only");
            return 0;
        }
        if (!ensure(st.remove, st.db, "DELETE FROM sms_users WHERE name = ?1")) return 0;
        st.remove.bind(1, name);
        if (!st.remove.run()) {
            platform::tracef("SMSDeleteUser", "Error writing user database: %s",
                             st.db.last_error().c_str());
            return 0;
        }
        st.snapshot_valid = false;
        return st.db.changes() > 0 ? 1 : 0;
    });
}

int SMSGetRecordCount(UserFile& handle) {
    return with_state(handle, [&](UserFile::State& st) -> int {
        if (!ensure(st.count, st.db, "SELECT COUNT(*) FROM sms_users")) return 0;
        int n = 0;
        if (st.count.step() == SQLITE_ROW) n = static_cast<int>(st.count.column_int(0));
        st.count.reset();
        return n;
    });
}

void SMSCloseUserFile(UserFile& handle) {
    handle = UserFile();
}

void UserFile::attach(std::unique_ptr<State> state) {
    state_ = std::move(state);
}

}  // namespace support
