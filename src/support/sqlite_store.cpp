// SQLite connections and statements with busy retries (see sqlite_store.h).
#include "support/sqlite_store.h"

#include <sqlite3.h>

#include "platform/clock.h"

namespace support::sqlite {

namespace {

bool is_busy(int rc) {
    int primary = rc & 0xFF;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

}  // namespace

Database& Database::operator=(Database&& o) noexcept {
    if (this != &o) {
        close();
        db_ = o.db_;
        o.db_ = nullptr;
    }
    return *this;
}

bool Database::open(const std::string& path, bool create, bool wal, std::string* error) {
    close();
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    if (create) flags |= SQLITE_OPEN_CREATE;
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        if (error) *error = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close(db);
        return false;
    }
    db_ = db;
    sqlite3_busy_timeout(db_, static_cast<int>(kBusyTimeoutMs));
    sqlite3_extended_result_codes(db_, 1);
    if (wal) {
        // Changing the journal mode needs a moment without other writers; a
        // file that is already in WAL mode answers at once.
        Statement mode;
        if (!mode.prepare(db_, "PRAGMA journal_mode=WAL")) {
            if (error) *error = last_error();
            close();
            return false;
        }
        int step_rc = mode.step();
        if (step_rc != SQLITE_ROW && step_rc != SQLITE_DONE) {
            if (error) *error = last_error();
            close();
            return false;
        }
        mode.finalize();
        exec("PRAGMA synchronous=NORMAL");
    }
    return true;
}

void Database::close() {
    if (db_) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

std::string Database::last_error() const {
    return db_ ? std::string(sqlite3_errmsg(db_)) : std::string("database not open");
}

int Database::changes() const {
    return db_ ? sqlite3_changes(db_) : 0;
}

bool Database::exec(const char* sql, std::string* error) {
    if (!db_) {
        if (error) *error = "database not open";
        return false;
    }
    uint64_t deadline = platform::monotonic_ms() + kBusyTimeoutMs;
    for (;;) {
        char* msg = nullptr;
        int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &msg);
        if (rc == SQLITE_OK) return true;
        std::string text = msg ? msg : sqlite3_errstr(rc);
        sqlite3_free(msg);
        if (!is_busy(rc) || platform::monotonic_ms() >= deadline) {
            if (error) *error = text;
            return false;
        }
        platform::sleep_ms(5);
    }
}

Statement& Statement::operator=(Statement&& o) noexcept {
    if (this != &o) {
        finalize();
        st_ = o.st_;
        rows_seen_ = o.rows_seen_;
        o.st_ = nullptr;
    }
    return *this;
}

bool Statement::prepare(sqlite3* db, const char* sql) {
    finalize();
    if (!db) return false;
    uint64_t deadline = platform::monotonic_ms() + kBusyTimeoutMs;
    for (;;) {
        // Preparing reads the schema and can meet a lock like any read.
        int rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &st_, nullptr);
        if (rc == SQLITE_OK) return st_ != nullptr;
        st_ = nullptr;
        if (!is_busy(rc) || platform::monotonic_ms() >= deadline) return false;
        platform::sleep_ms(5);
    }
}

void Statement::finalize() {
    rows_seen_ = false;
    if (st_) {
        sqlite3_finalize(st_);
        st_ = nullptr;
    }
}

void Statement::bind(int index, std::string_view text) {
    // SQLITE_TRANSIENT: the caller's view need not outlive the step.
    sqlite3_bind_text(st_, index, text.data() ? text.data() : "", static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
}

void Statement::bind(int index, int64_t value) {
    sqlite3_bind_int64(st_, index, value);
}

int Statement::step() {
    if (!st_) return SQLITE_MISUSE;
    uint64_t deadline = platform::monotonic_ms() + kBusyTimeoutMs;
    for (;;) {
        int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW) rows_seen_ = true;
        // Restarting a query that already returned rows would return them
        // twice, so only a statement that has not produced any is retried.
        if (!is_busy(rc) || rows_seen_) return rc;
        // The busy handler has already waited; a lock that SQLite reports
        // without waiting (WAL recovery, snapshot upgrade) is retried here.
        sqlite3_reset(st_);
        if (platform::monotonic_ms() >= deadline) return rc;
        platform::sleep_ms(5);
    }
}

bool Statement::run() {
    int rc = step();
    reset();
    return rc == SQLITE_DONE;
}

std::string Statement::column_text(int col) const {
    const unsigned char* p = sqlite3_column_text(st_, col);
    int n = sqlite3_column_bytes(st_, col);
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n))
             : std::string();
}

int64_t Statement::column_int(int col) const {
    return sqlite3_column_int64(st_, col);
}

void Statement::reset() {
    rows_seen_ = false;
    if (st_) {
        sqlite3_reset(st_);
        sqlite3_clear_bindings(st_);
    }
}

Transaction::Transaction(Database& db) : db_(db) {
    active_ = db_.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
    if (active_) db_.exec("ROLLBACK");
}

bool Transaction::commit() {
    if (!active_) return false;
    if (!db_.exec("COMMIT")) return false;
    active_ = false;
    return true;
}

}  // namespace support::sqlite
