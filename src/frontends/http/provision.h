// Account provisioning: the "/PROVISION" plain-text interface, and the
// field rules it shares with the account pages and the command-line
// account tool (the provisioning field names: Password, FullName,
// EnableWebLogin, ... RecipientAddresses).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "frontends/http/http_server.h"
#include "support/accounts.h"

namespace frontends::http {

// An account name that may be created: a valid store name that also makes a
// safe path part and INI key (no '/', '\', ':', ';', ',', '=', '[', ']',
// '"', '*', '?', blanks at either end, and not "." or ".."), and none of
// the reserved names.
bool acceptable_new_account_name(std::string_view name);

// Field names in the order the account tool lists them.
const std::vector<std::string>& account_field_names();

// One change to an account, by provisioning field name (any case).
// Record fields change rec; CreditsToAdd and RecipientAddresses are
// collected in changes and applied by apply_side_effects after the record
// is stored. False with error set for an unknown field or a bad value (a
// value with a line break or a NUL is always bad).
struct AccountChanges {
    bool credits = false;
    std::string credits_to_add;  // credit text
    bool recipients = false;
    std::string recipient_addresses;
};
bool apply_account_field(support::UserRecord& rec, std::string_view field, std::string_view value,
                         AccountChanges& changes, std::string& error);
// The credit file and [Inbound SMS Routing]; false with error set when one
// could not be written.
bool apply_side_effects(const std::string& account, const AccountChanges& changes,
                        std::string& error);
// Removes what an account leaves outside the store on deletion: its
// inbound routing line.
void remove_account_side_effects(const std::string& account);

// Field name and value of every field of rec (the password as "(set)").
std::vector<std::pair<std::string, std::string>> account_fields(const support::UserRecord& rec);

// Makes the user cache load the account again at its next use.
void forget_cached_account(std::string_view name);

// Adds ("" or "Add"), modifies or deletes the account named by the
// request's UserName (alias Name) with the provisioning fields it carries;
// "OK\r\n" or "ERROR <message>\r\n". keep_empty_password: an empty
// Password leaves the password as it is (the account page's form).
std::string account_request(std::string_view request, std::string_view action,
                            bool keep_empty_password);

// The SDKLink entries ("Type=SDKLink", or "AdminAction=SDKLink"): the
// recipient PhoneNumber taken by the virtual SMSC and delivered to
// IPAddress (default: the client's address) at IPPort, in [SDKLink];
// Action=Delete removes the entry.
std::string sdk_link_request(std::string_view request, std::string_view action,
                             std::string_view peer);

// The "/PROVISION" answer body for a request ("OK..." or "ERROR ..."); peer
// is the client's address. Exposed for tests and fuzzing.
std::string provision_answer(std::string_view request, std::string_view peer);

// "/PROVISION" handler.
bool handle_provision(Connection& c, Request& r);

}  // namespace frontends::http
