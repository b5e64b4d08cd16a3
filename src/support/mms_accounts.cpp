// MMS accounts and aliases in the shared account database.
#include "support/mms_accounts.h"

#include <sqlite3.h>

#include <mutex>
#include <vector>

#include "platform/text.h"
#include "platform/trace_sink.h"
#include "support/accounts.h"
#include "support/sqlite_store.h"

namespace support {

namespace {

constexpr char kColumns[] = "name, password_hash, full_name, phone_number, email_address, enabled";

void read_record(const sqlite::Statement& st, MmsUserRecord& r) {
    r.name = st.column_text(0);
    r.password_hash = st.column_text(1);
    r.full_name = st.column_text(2);
    r.phone_number = st.column_text(3);
    r.email_address = st.column_text(4);
    r.enabled = st.column_int(5) != 0;
}

bool valid_alias(std::string_view alias) {
    if (alias.empty() || alias.size() >= kMmsAliasSize) return false;
    for (unsigned char c : alias)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}

}  // namespace

bool set_mms_user_password(MmsUserRecord& record, std::string_view password) {
    std::string hash = hash_account_password(password);
    if (hash.empty()) return false;
    record.password_hash = std::move(hash);
    return true;
}

bool verify_mms_user_password(const MmsUserRecord& record, std::string_view password) {
    return verify_account_password(record.password_hash, password);
}

struct MmsUserFile::State {
    std::mutex mutex;
    sqlite::Database db;
    sqlite::Statement find;
    sqlite::Statement upsert;
    sqlite::Statement count;
    sqlite::Statement find_alias;
    sqlite::Statement add_alias;
    sqlite::Statement remove_alias;
    std::vector<MmsUserRecord> snapshot;
    bool snapshot_valid = false;
};

MmsUserFile::MmsUserFile() = default;
MmsUserFile::~MmsUserFile() = default;
MmsUserFile::MmsUserFile(MmsUserFile&&) noexcept = default;
MmsUserFile& MmsUserFile::operator=(MmsUserFile&&) noexcept = default;
bool MmsUserFile::is_open() const {
    return state_ && state_->db.is_open();
}
void MmsUserFile::attach(std::unique_ptr<State> state) {
    state_ = std::move(state);
}

namespace {

template <typename Fn>
int with_state(MmsUserFile& handle, Fn fn) {
    MmsUserFile::State* st = handle.state();
    if (!st) return 0;
    std::lock_guard<std::mutex> lock(st->mutex);
    if (!st->db.is_open()) return 0;
    return fn(*st);
}

bool ensure(sqlite::Statement& st, sqlite::Database& db, const std::string& sql) {
    return st.is_prepared() || st.prepare(db.get(), sql.c_str());
}

void trace_error(const char* op, sqlite::Database& db) {
    platform::tracef(op, "Error accessing user database: %s", db.last_error().c_str());
}

}  // namespace

int MMSCOpenUserFile(MmsUserFile& handle) {
    auto state = std::make_unique<MmsUserFile::State>();
    std::string error;
    if (!open_account_database(state->db, &error)) {
        platform::tracef("MMSCOpenUserFile", "Unable to open user database %s: %s",
                         account_database_path().c_str(), error.c_str());
        return 0;
    }
    handle.attach(std::move(state));
    return 1;
}

int MMSCGetUserRecord(MmsUserFile& handle, uint32_t index, MmsUserRecord& record) {
    return with_state(handle, [&](MmsUserFile::State& st) -> int {
        if (index == 0 || !st.snapshot_valid) {
            sqlite::Statement all;
            std::string sql = std::string("SELECT ") + kColumns +
                              " FROM mms_users ORDER BY name COLLATE NOCASE, name";
            if (!all.prepare(st.db.get(), sql.c_str())) {
                trace_error("MMSCGetUserRecord", st.db);
                return 0;
            }
            std::vector<MmsUserRecord> rows;
            int rc;
            while ((rc = all.step()) == SQLITE_ROW) {
                MmsUserRecord r;
                read_record(all, r);
                rows.push_back(std::move(r));
            }
            if (rc != SQLITE_DONE) {
                trace_error("MMSCGetUserRecord", st.db);
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

int MMSCGetUserCount(MmsUserFile& handle) {
    return with_state(handle, [&](MmsUserFile::State& st) -> int {
        if (!ensure(st.count, st.db, "SELECT COUNT(*) FROM mms_users")) return 0;
        int n = 0;
        if (st.count.step() == SQLITE_ROW) n = static_cast<int>(st.count.column_int(0));
        st.count.reset();
        return n;
    });
}

int MMSCFindUserRecord(MmsUserFile& handle, std::string_view name, MmsUserRecord& record) {
    if (!valid_account_name(name)) return 0;
    return with_state(handle, [&](MmsUserFile::State& st) -> int {
        if (!ensure(st.find, st.db,
                    std::string("SELECT ") + kColumns + " FROM mms_users WHERE name = ?1"))
            return 0;
        st.find.bind(1, name);
        int rc = st.find.step();
        int found = 0;
        if (rc == SQLITE_ROW) {
            read_record(st.find, record);
            found = 1;
        } else if (rc != SQLITE_DONE) {
            trace_error("MMSCFindUserRecord", st.db);
        }
        st.find.reset();
        return found;
    });
}

int MMSCAddUser(MmsUserFile& handle, const MmsUserRecord& in) {
    if (!valid_account_name(in.name)) {
        platform::trace("MMSCAddUser", "Invalid account name");
        return 0;
    }
    return with_state(handle, [&](MmsUserFile::State& st) -> int {
        if (!ensure(st.upsert, st.db,
                    std::string("INSERT INTO mms_users(") + kColumns +
                        ") VALUES(?1,?2,?3,?4,?5,?6) ON CONFLICT(name) DO UPDATE SET"
                        " name=excluded.name, password_hash=excluded.password_hash,"
                        " full_name=excluded.full_name, phone_number=excluded.phone_number,"
                        " email_address=excluded.email_address, enabled=excluded.enabled"))
            return 0;
        sqlite::Statement& s = st.upsert;
        s.bind(1, in.name);
        s.bind(2, in.password_hash);
        s.bind(3, platform::truncate_field(in.full_name, kFullNameSize - 1));
        s.bind(4, platform::truncate_field(in.phone_number, kMmsPhoneNumberSize - 1));
        s.bind(5, platform::truncate_field(in.email_address, kMmsEmailAddressSize - 1));
        s.bind(6, int64_t{in.enabled});
        if (!s.run()) {
            trace_error("MMSCAddUser", st.db);
            return 0;
        }
        st.snapshot_valid = false;
        return 1;
    });
}

int MMSCDeleteUser(MmsUserFile& handle, std::string_view name) {
    if (!valid_account_name(name)) return 0;
    return with_state(handle, [&](MmsUserFile::State& st) -> int {
        // The account and its aliases go together: an alias must never
        // outlive its account and resolve to a name that no longer exists.
        sqlite::Transaction tx(st.db);
        if (!tx.active()) {
            trace_error("MMSCDeleteUser", st.db);
            return 0;
        }
        sqlite::Statement del_user, del_aliases;
        if (!del_user.prepare(st.db.get(), "DELETE FROM mms_users WHERE name = ?1") ||
            !del_aliases.prepare(st.db.get(), "DELETE FROM mms_aliases WHERE user_name = ?1")) {
            trace_error("MMSCDeleteUser", st.db);
            return 0;
        }
        del_user.bind(1, name);
        if (!del_user.run()) {
            trace_error("MMSCDeleteUser", st.db);
            return 0;
        }
        int existed = st.db.changes() > 0 ? 1 : 0;
        del_aliases.bind(1, name);
        if (!del_aliases.run() || !tx.commit()) {
            trace_error("MMSCDeleteUser", st.db);
            return 0;
        }
        st.snapshot_valid = false;
        return existed;
    });
}

int MMSCFindAlias(MmsUserFile& handle, std::string_view alias, std::string& user_name) {
    if (!valid_alias(alias)) return 0;
    return with_state(handle, [&](MmsUserFile::State& st) -> int {
        if (!ensure(st.find_alias, st.db, "SELECT user_name FROM mms_aliases WHERE alias = ?1"))
            return 0;
        st.find_alias.bind(1, alias);
        int rc = st.find_alias.step();
        int found = 0;
        if (rc == SQLITE_ROW) {
            user_name = st.find_alias.column_text(0);
            found = 1;
        } else if (rc != SQLITE_DONE) {
            trace_error("MMSCFindAlias", st.db);
        }
        st.find_alias.reset();
        return found;
    });
}

int MMSCAddAlias(MmsUserFile& handle, std::string_view alias, std::string_view user_name) {
    if (!valid_alias(alias) || !valid_account_name(user_name)) {
        platform::trace("MMSCAddAlias", "Invalid alias or account name");
        return 0;
    }
    return with_state(handle, [&](MmsUserFile::State& st) -> int {
        // Only for an existing account; the stored target takes the
        // account's own spelling.
        if (!ensure(st.add_alias, st.db,
                    "INSERT INTO mms_aliases(alias, user_name)"
                    " SELECT ?1, name FROM mms_users WHERE name = ?2"
                    " ON CONFLICT(alias) DO UPDATE SET alias=excluded.alias,"
                    " user_name=excluded.user_name"))
            return 0;
        st.add_alias.bind(1, alias);
        st.add_alias.bind(2, user_name);
        if (!st.add_alias.run()) {
            trace_error("MMSCAddAlias", st.db);
            return 0;
        }
        if (st.db.changes() == 0) {
            platform::trace("MMSCAddAlias", "No such account");
            return 0;
        }
        return 1;
    });
}

int MMSCDeleteAlias(MmsUserFile& handle, std::string_view alias) {
    if (!valid_alias(alias)) return 0;
    return with_state(handle, [&](MmsUserFile::State& st) -> int {
        if (!ensure(st.remove_alias, st.db, "DELETE FROM mms_aliases WHERE alias = ?1")) return 0;
        st.remove_alias.bind(1, alias);
        if (!st.remove_alias.run()) {
            trace_error("MMSCDeleteAlias", st.db);
            return 0;
        }
        return st.db.changes() > 0 ? 1 : 0;
    });
}

void MMSCCloseUserFile(MmsUserFile& handle) {
    handle = MmsUserFile();
}

}  // namespace support
