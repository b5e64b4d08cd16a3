// The MMS account and alias store, kept in the same SQLite account database
// as the SMS accounts (accounts.h). Account names and aliases compare
// case-insensitively; passwords are stored only as hashes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace support {

// Field sizes as in accounts.h: a field of size N holds N-1 characters.
inline constexpr size_t kMmsPhoneNumberSize = 100;
inline constexpr size_t kMmsEmailAddressSize = 256;
inline constexpr size_t kMmsAliasSize = 256;

struct MmsUserRecord {
    std::string name;           // account name (key), kUserNameSize
    std::string password_hash;  // set through set_mms_user_password()
    std::string full_name;      // kFullNameSize
    std::string phone_number;   // the account's own MSISDN
    std::string email_address;  // the account's own mail address
    bool enabled = true;        // the account may send and retrieve
};

bool set_mms_user_password(MmsUserRecord& record, std::string_view password);
bool verify_mms_user_password(const MmsUserRecord& record, std::string_view password);

// An open connection to the account database for the MMS operations.
class MmsUserFile {
  public:
    MmsUserFile();
    ~MmsUserFile();
    MmsUserFile(MmsUserFile&&) noexcept;
    MmsUserFile& operator=(MmsUserFile&&) noexcept;
    MmsUserFile(const MmsUserFile&) = delete;
    MmsUserFile& operator=(const MmsUserFile&) = delete;
    bool is_open() const;

    struct State;
    State* state() const { return state_.get(); }
    void attach(std::unique_ptr<State> state);

  private:
    std::unique_ptr<State> state_;
};

// Non-zero on success; the database is created when missing.
int MMSCOpenUserFile(MmsUserFile& handle);
// Record at a 0-based index in name order (index 0 takes a fresh snapshot).
int MMSCGetUserRecord(MmsUserFile& handle, uint32_t index, MmsUserRecord& record);
int MMSCGetUserCount(MmsUserFile& handle);
int MMSCFindUserRecord(MmsUserFile& handle, std::string_view name, MmsUserRecord& record);
// Adds, or replaces the account of the same name in any case.
int MMSCAddUser(MmsUserFile& handle, const MmsUserRecord& record);
// Removes the account and every alias that points to it; non-zero when the
// account existed.
int MMSCDeleteUser(MmsUserFile& handle, std::string_view name);
// The account an alias (a phone number, mail address or nickname) belongs
// to; non-zero when found.
int MMSCFindAlias(MmsUserFile& handle, std::string_view alias, std::string& user_name);
// Points alias at an existing account (replacing an earlier target).
int MMSCAddAlias(MmsUserFile& handle, std::string_view alias, std::string_view user_name);
// Non-zero when the alias existed.
int MMSCDeleteAlias(MmsUserFile& handle, std::string_view alias);
void MMSCCloseUserFile(MmsUserFile& handle);

}  // namespace support
