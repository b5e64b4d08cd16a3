// Who may use the administration pages and the provisioning interface:
// the address list, the administrator (AdminUser with AdminPassword,
// AdminPasswordDelete or AdminPasswordModify) and accounts whose
// AdminEnabled is on; the stored forms of the administrator password; and
// the token that every state-changing administration request must carry.
#pragma once

#include <string>
#include <string_view>

namespace frontends::http {

inline constexpr const char* kAdminRealm = "KelSMS Administration";
inline constexpr size_t kAdminCredentialSize = 101;  // 100 characters
// Name of the form field that carries the request token.
inline constexpr const char* kAdminTokenField = "AdminToken";

// --- the administrator password -----------------------------------------------

// The two stored forms of AdminPassword: a salted hash
// ("pbkdf2-sha256$..."; what the gateway writes) and the older scrambled
// form (hex text of the password under a fixed key; read, never written).
std::string scramble_admin_password(std::string_view clear);
// The clear password of a scrambled value; false when it is not one.
bool unscramble_admin_password(std::string_view stored, std::string& clear);
bool is_hashed_admin_password(std::string_view stored);
// True when password matches a stored AdminPassword of either form (any
// case). An empty stored value matches nothing.
bool admin_password_matches(std::string_view stored, std::string_view password);
// Writes the salted hash of password as AdminPassword (and user as AdminUser
// when not empty) into SMSGW.INI. False when it cannot be hashed or written.
bool set_admin_password(std::string_view user, std::string_view password);

// --- logins ------------------------------------------------------------------------

// An address-list setting of [SMSGW] (patterns separated by "," or ";"):
// empty allows every address.
bool address_setting_allows(std::string_view key, std::string_view peer);
// AdminIPAddressList.
bool admin_address_allowed(std::string_view peer);

struct AdminLogin {
    bool ok = false;
    bool administrator = false;  // AdminUser (else an AdminEnabled account)
    std::string user;            // the name as stored
};
// The administrator, or an account with web login and AdminEnabled whose
// RestrictIPAddress admits peer, with the right password.
AdminLogin check_admin_login(std::string_view user, std::string_view password,
                             std::string_view peer);
// The administrator alone (the provisioning interface).
bool check_administrator(std::string_view user, std::string_view password);

// --- request tokens ----------------------------------------------------------------

// The token of a logged-in user: a keyed digest of the name under a secret
// drawn at start-up, as hex. Pages put it in their forms; a state change is
// done only for a POST whose AdminToken field equals it.
std::string admin_token(std::string_view user);
bool admin_token_valid(std::string_view user, std::string_view token);

}  // namespace frontends::http
