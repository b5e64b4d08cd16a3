// The account store: one record per gateway account in the SQLite account
// database (USERS.DB in the program data directory), shared by the web pages,
// the SMPP server and the HTTP interface. Names compare case-insensitively;
// passwords are kept only as salted PBKDF2-HMAC-SHA256 hashes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace support {

// Field sizes: a field of size N holds at most N-1 characters. Longer text
// is cut when a record is stored; an over-long account name is refused.
inline constexpr size_t kUserNameSize = 100;
inline constexpr size_t kFullNameSize = 100;
inline constexpr size_t kPasswordSize = 251;  // clear-text password given to set/verify
inline constexpr size_t kForcedSenderAddressSize = 1024;
inline constexpr size_t kRestrictIPAddressSize = 1024;
inline constexpr size_t kThrottleSpeedSize = 50;
inline constexpr size_t kWebOptionsSize = 50;

// One account. Settings use the provisioning names.
struct UserRecord {
    std::string name;                      // account name (case-insensitive key)
    std::string password_hash;             // set through set_user_password(); never clear text
    std::string full_name;                 // FullName
    bool enable_web_login = false;         // EnableWebLogin: web submission and menu login
    bool enable_smpp_login = false;        // EnableSmppLogin: SMPP server binds
    bool enable_smtp_login = false;        // EnableSmtpLogin
    bool receive_enabled = false;          // ReceiveEnabled: may receive messages (RECV.FLG, inbox)
    bool admin_enabled = false;            // AdminEnabled: administration pages, public lists
    bool enable_credit_balance = false;    // EnableCreditBalance: account is credit-limited
    std::string forced_sender_address;     // ForcedSenderAddress: comma-separated senders
    std::string restrict_ip_address;       // RestrictIPAddress: patterns separated by ',' or ';'
    uint32_t message_limit_per_day = 0;    // MessageLimitPerDay (0 = the default)
    uint32_t message_limit_per_month = 0;  // MessageLimitPerMonth (0 = the default)
    std::string throttle_speed;            // ThrottleSpeed: "N[/S[/C]]"
    std::string web_options;               // WebOptions: All, Advanced, TextOnly, Text, SMSMMS, ...
};

// True for a name that may be stored: 1 to kUserNameSize-1 bytes, no
// control characters.
bool valid_account_name(std::string_view name);

// --- passwords -------------------------------------------------------------

// Hash of a password for storage ("pbkdf2-sha256$<iterations>$<salt>$<hash>",
// hex fields, fresh random salt). The password is case-folded first because
// every login compares passwords without regard to case. Empty result when
// the password is longer than kPasswordSize-1 or hashing fails.
std::string hash_account_password(std::string_view password);
// True when password (any case) matches a stored hash. A malformed or empty
// stored hash matches nothing.
bool verify_account_password(std::string_view stored_hash, std::string_view password);

// Sets record.password_hash from a clear password; false (record unchanged)
// when the password cannot be hashed.
bool set_user_password(UserRecord& record, std::string_view password);
bool verify_user_password(const UserRecord& record, std::string_view password);

// --- the account database --------------------------------------------------

// Path of the account database: the override when one is set, else
// "USERS.DB" in the program data directory. An empty path restores the
// default.
void set_account_database_path(const std::string& path);
std::string account_database_path();

enum class UserFileAccess { Read, ReadWrite };

// An open account database (one SQLite connection). Closed by
// SMSCloseUserFile or on destruction. Threads may share one handle for the
// calls below; closing it is its owner's last act.
class UserFile {
  public:
    UserFile();
    ~UserFile();
    UserFile(UserFile&&) noexcept;
    UserFile& operator=(UserFile&&) noexcept;
    UserFile(const UserFile&) = delete;
    UserFile& operator=(const UserFile&) = delete;
    bool is_open() const;

    // The store's own state (opaque outside accounts.cpp).
    struct State;
    State* state() const { return state_.get(); }
    void attach(std::unique_ptr<State> state);

  private:
    std::unique_ptr<State> state_;
};

// Opens the account database (created with its tables when missing).
// Read access refuses SMSAddUser and SMSDeleteUser. Non-zero on success.
int SMSOpenUserFile(UserFile& handle, UserFileAccess access = UserFileAccess::Read);
// Record at a 0-based index in name order; non-zero while one exists. Index
// 0 takes a fresh snapshot of the accounts, so that an enumeration sees one
// consistent list while others add and delete.
int SMSGetUserRecord(UserFile& handle, uint32_t index, UserRecord& record);
// Non-zero when the account exists (name in any case); record filled.
int SMSFindUserRecord(UserFile& handle, std::string_view name, UserRecord& record);
// Adds the account, or replaces the one with the same name in any case (the
// stored name takes the new spelling). Non-zero on success.
int SMSAddUser(UserFile& handle, const UserRecord& record);
// Removes the account; non-zero when it existed.
int SMSDeleteUser(UserFile& handle, std::string_view name);
// Number of accounts (0 also when the handle is not open).
int SMSGetRecordCount(UserFile& handle);
void SMSCloseUserFile(UserFile& handle);

}  // namespace support
