// SQLite connections and prepared statements shared by the account store,
// the MMS account store and the message-id tracking store: RAII owners, a
// busy time-out, and steps that retry a locked database instead of failing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace support::sqlite {

// How long a statement waits for another connection's lock before it gives
// up (the busy handler sleeps inside this; the step loop covers the rest).
inline constexpr unsigned kBusyTimeoutMs = 5000;

// One connection; closed on destruction.
class Database {
  public:
    Database() = default;
    Database(Database&& o) noexcept : db_(o.db_) { o.db_ = nullptr; }
    Database& operator=(Database&& o) noexcept;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    ~Database() { close(); }

    // Opens path. create: make the file when missing. wal: switch to WAL with
    // synchronous=NORMAL (readers never block the writer). On failure returns
    // false with *error (optional) holding SQLite's text.
    bool open(const std::string& path, bool create, bool wal, std::string* error = nullptr);
    void close();
    sqlite3* get() const { return db_; }
    bool is_open() const { return db_ != nullptr; }

    // Runs one or more statements without results, retrying while locked.
    bool exec(const char* sql, std::string* error = nullptr);
    // SQLite's text for the last error of this connection.
    std::string last_error() const;
    // Rows changed by the last INSERT, UPDATE or DELETE.
    int changes() const;

  private:
    sqlite3* db_ = nullptr;
};

// One prepared statement; finalised on destruction. Bindings are 1-based.
class Statement {
  public:
    Statement() = default;
    Statement(Statement&& o) noexcept : st_(o.st_), rows_seen_(o.rows_seen_) { o.st_ = nullptr; }
    Statement& operator=(Statement&& o) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { finalize(); }

    bool prepare(sqlite3* db, const char* sql);
    void finalize();
    bool is_prepared() const { return st_ != nullptr; }

    void bind(int index, std::string_view text);
    void bind(int index, int64_t value);

    // Steps once; while the database is busy or locked the step is retried
    // until kBusyTimeoutMs has passed. Returns SQLITE_ROW, SQLITE_DONE or an
    // error code.
    int step();
    // Steps a statement that returns no rows; true on SQLITE_DONE. Resets it.
    bool run();

    std::string column_text(int col) const;
    int64_t column_int(int col) const;

    // Resets for the next use and clears the bindings.
    void reset();

  private:
    sqlite3_stmt* st_ = nullptr;
    bool rows_seen_ = false;  // since the last reset
};

// Transaction on a connection: BEGIN IMMEDIATE (waits for the write lock),
// rolled back unless commit() succeeded.
class Transaction {
  public:
    explicit Transaction(Database& db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    bool active() const { return active_; }
    bool commit();

  private:
    Database& db_;
    bool active_ = false;
};

}  // namespace support::sqlite

namespace support {

// Opens the account database at account_database_path() (accounts.h),
// creating the file and the tables of both account stores when missing.
// Defined with the account store.
bool open_account_database(sqlite::Database& db, std::string* error = nullptr);

}  // namespace support
