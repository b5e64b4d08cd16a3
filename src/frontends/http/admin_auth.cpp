// Administration logins, the administrator password forms and the request
// tokens.
#include "frontends/http/admin_auth.h"

#include <cctype>
#include <mutex>

#include "frame/settings.h"
#include "frontends/http/http_request.h"
#include "frontends/http/user_cache.h"
#include "platform/files.h"
#include "platform/text.h"
#include "protocols/common/fields.h"
#include "support/accounts.h"
#include "support/hmac.h"
#include "support/ini_profile.h"

namespace frontends::http {

namespace {

// The fixed key of the scrambled form. It hides the password from a glance
// at the file and nothing more; new passwords are stored hashed.
constexpr unsigned char kScrambleKey[] = {0x4B, 0x65, 0x6C, 0x9E, 0x23, 0xD1, 0x7A, 0x58,
                                          0x0F, 0xB6, 0x31, 0xE4, 0x92, 0x5C, 0x0D, 0x77};
constexpr const char* kHashPrefix = "pbkdf2-sha256$";
constexpr size_t kSecretBytes = 32;

bool equal_nocase_fixed_time(std::string_view a, std::string_view b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x =
            static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(a[i])));
        unsigned char y =
            i < b.size()
                ? static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(b[i])))
                : 0;
        diff |= static_cast<unsigned char>(x ^ y);
    }
    return diff == 0;
}

const std::string& token_secret() {
    static std::once_flag once;
    static std::string secret;
    std::call_once(once, [] {
        unsigned char raw[kSecretBytes];
        if (!platform::random_bytes(raw, sizeof raw)) {
            // No randomness: no token can be valid, so no state changes.
            secret.clear();
            return;
        }
        secret.assign(reinterpret_cast<char*>(raw), sizeof raw);
    });
    return secret;
}

// The scramble is its own inverse: each byte under the key and its position.
std::string mix(std::string_view bytes) {
    std::string out(bytes);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char>(static_cast<unsigned char>(out[i]) ^
                                   kScrambleKey[i % sizeof kScrambleKey] ^
                                   static_cast<unsigned char>(i * 7));
    return out;
}

}  // namespace

std::string scramble_admin_password(std::string_view clear) {
    return protocols::common::to_hex(mix(clear));
}

bool unscramble_admin_password(std::string_view stored, std::string& clear) {
    stored = platform::trim(stored);
    std::string mixed;
    if (stored.empty() || !protocols::common::from_hex(stored, mixed)) return false;
    clear = mix(mixed);
    return true;
}

bool is_hashed_admin_password(std::string_view stored) {
    return platform::istarts_with(platform::trim(stored), kHashPrefix);
}

bool admin_password_matches(std::string_view stored, std::string_view password) {
    stored = platform::trim(stored);
    if (stored.empty()) return false;
    if (is_hashed_admin_password(stored)) return support::verify_account_password(stored, password);
    std::string clear;
    if (!unscramble_admin_password(stored, clear)) return false;
    return equal_nocase_fixed_time(clear, password);
}

bool set_admin_password(std::string_view user, std::string_view password) {
    if (password.empty()) return false;
    std::string hash = support::hash_account_password(password);
    if (hash.empty()) return false;
    const std::string ini = support::SMSIniGetFilename();
    if (!user.empty() && !support::ini_set(ini, "SMSGW", "AdminUser", user)) return false;
    return support::ini_set(ini, "SMSGW", "AdminPassword", hash);
}

bool address_setting_allows(std::string_view key, std::string_view peer) {
    std::string list = frame::ini_string(key);
    return platform::trim(list).empty() || address_list_matches(list, peer);
}

bool admin_address_allowed(std::string_view peer) {
    return address_setting_allows("AdminIPAddressList", peer);
}

bool check_administrator(std::string_view user, std::string_view password) {
    std::string admin = std::string(platform::trim(frame::ini_string("AdminUser", "", 100)));
    if (admin.empty() || !platform::iequals(admin, user) || password.empty()) return false;
    if (admin_password_matches(frame::ini_string("AdminPassword"), password)) return true;
    for (const char* key : {"AdminPasswordDelete", "AdminPasswordModify"}) {
        std::string other = std::string(platform::trim(frame::ini_string(key)));
        if (other.empty()) continue;
        if (is_hashed_admin_password(other) ? support::verify_account_password(other, password)
                                            : equal_nocase_fixed_time(other, password))
            return true;
    }
    return false;
}

AdminLogin check_admin_login(std::string_view user, std::string_view password,
                             std::string_view peer) {
    AdminLogin out;
    if (user.empty()) return out;
    if (check_administrator(user, password)) {
        out.ok = out.administrator = true;
        out.user = std::string(platform::trim(frame::ini_string("AdminUser", "", 100)));
        return out;
    }
    if (!support::valid_account_name(user)) return out;
    // Cache entries live until the process ends, so only real accounts get
    // one: a login tried with made-up names must not grow the cache.
    support::UserRecord rec;
    UserCacheEntry* entry = find_user_entry(user);
    if (!entry) {
        support::UserFile file;
        bool found = support::SMSOpenUserFile(file) && support::SMSFindUserRecord(file, user, rec);
        support::SMSCloseUserFile(file);
        if (!found) {
            // An unknown name costs the same hash check as a wrong password.
            static const std::string dummy = support::hash_account_password("no-such-account");
            support::verify_account_password(dummy, password);
            return out;
        }
        entry = take_user_entry(rec.name);
        release_user_entry(entry);
    }
    if (!cached_user_record(*entry, rec)) return out;
    if (!rec.enable_web_login || !rec.admin_enabled) return out;
    if (!support::verify_account_password(rec.password_hash, password)) return out;
    if (!platform::trim(rec.restrict_ip_address).empty() &&
        !address_list_matches(rec.restrict_ip_address, peer))
        return out;
    out.ok = true;
    out.user = rec.name;
    return out;
}

std::string admin_token(std::string_view user) {
    const std::string& secret = token_secret();
    if (secret.empty()) return "";
    return protocols::common::to_hex(support::GenerateHMAC(secret, platform::to_lower(user)));
}

bool admin_token_valid(std::string_view user, std::string_view token) {
    std::string want = admin_token(user);
    return !want.empty() && equal_nocase_fixed_time(want, token);
}

}  // namespace frontends::http
