// Route selection: the preferred route and preferred sender lists built from
// the link sections, the per-link decision CheckPreferredRoute, the candidate
// list CheckPreferredRouteMulti, explicit routes, route queues, route
// validation, the virtual SMSC table and the prefix conversions.
//
// The lists and the routing settings of every link are one immutable table
// published read-copy-update style: readers take no lock, a reload swaps the
// pointer in one store, and an old table is freed when its last reader drops
// it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "store/request_file.h"

namespace delivery {

// What routing looks at in a message.
struct RouteQuery {
    std::string_view user;    // submitting account (SubmitUser); may be empty
    std::string_view sender;  // may be empty
    std::string_view recipient;
    bool binary = false;
    std::string_view service_type;  // may be empty
};
// The query of a loaded message (views into msg).
RouteQuery route_query(const store::SmsMessage& msg);

// Case-insensitive match of text against a pattern with "?" (any one
// character) and "*" (skip to the first occurrence of the literal run that
// follows; an empty run matches the rest). Left to right, no backtracking.
bool route_pattern_match(std::string_view pattern, std::string_view text);

// --- routing tables ---------------------------------------------------------------

enum class KindRestriction : uint8_t { None, BinaryOnly, TextOnly };

// The routing settings of one link as read at the last load.
struct LinkRouting {
    std::string name;        // the Modem<n> value
    std::string section;     // its section of SMSGW.INI
    std::string route_name;  // RouteName, default the link name
    bool route_pref_only = false;
    bool allowed_user_only = false;
    std::vector<std::string> allowed_users;  // AllowedUser1.. in order
    KindRestriction kind = KindRestriction::None;
    bool has_route1 = false;  // a Route1 key is set
    bool sdk_link = false;    // "SDKLink - " links are the virtual SMSC

    bool operator==(const LinkRouting&) const = default;
};

enum class RouteEntryKind : uint8_t {
    Recipient,           // "<pattern>,L": L is preferred for matching recipients
    BlockedRecipient,    // "!<pattern>,L": L must not carry them
    ServiceType,         // "=service_type=<p>,L"
    BlockedServiceType,  // "!=service_type=<p>,L"
    Other,               // "=<anything else>,L": carries no routing meaning
};

struct RouteEntry {
    std::string text;  // "<pattern>,<link>" as listed and traced
    RouteEntryKind kind = RouteEntryKind::Recipient;
    std::string pattern;  // recipient pattern, or <p> of a service-type entry
    uint32_t link = 0;    // index into RoutingTables::links
};

struct SenderEntry {
    std::string text;   // "<sender>,<link>" or "user=<name>,<link>"
    bool user = false;  // a "user=" entry
    std::string value;  // the sender or user name
    uint32_t link = 0;
};

struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using IndexMap =
    std::unordered_map<std::string, std::vector<uint32_t>, StringHash, std::equal_to<>>;

// One published generation of the routing tables.
struct RoutingTables {
    std::vector<LinkRouting> links;    // Modem1, Modem2, ... in order, each once
    std::vector<RouteEntry> routes;    // the preferred route list
    std::vector<SenderEntry> senders;  // the preferred sender list
    bool sdk_link_enabled = false;     // [SMSGW] SDKLinkEnabled
    // [SDKLink]: recipient (lower case) -> "host:port"
    std::unordered_map<std::string, std::string, StringHash, std::equal_to<>> sdk_link;

    // Lookup structures derived from the above (built by index_routing_tables).
    std::vector<std::string> folded_patterns;  // per route entry: its pattern in lower case
    IndexMap link_by_name;                     // lower-case link name -> index
    IndexMap recipient_prefix;                 // lower-case literal prefix -> Recipient entries
    IndexMap recipient_run;                    // "*<run>..." patterns: lower-case <run> -> entries
    std::vector<size_t> run_lengths;           // the distinct lengths of those runs
    std::vector<uint32_t> service_entries;     // ServiceType entries
    std::vector<std::vector<uint32_t>> link_blocked;  // per link: Blocked* entries
    std::vector<std::vector<uint32_t>> link_service;  // per link: ServiceType entries
    IndexMap user_entries;                            // lower-case user -> "user=" sender entries
    IndexMap sender_entries;                          // lower-case sender -> sender entries
};

// Fills the lookup structures of t from its links, routes and senders.
void index_routing_tables(RoutingTables& t);

// The published tables; never null (empty before the first load).
std::shared_ptr<const RoutingTables> routing_tables();

// Readers of SMSGW.INI, without publishing: the routing settings of the
// links Modem1, Modem2, ... (up to the first empty one); the preferred route
// list from their Route1..Route10000 keys (to the first empty one); the
// preferred sender list from PhoneNumber (else SenderAddress) and, with
// AllowedUserOnly, AllowedUser1..AllowedUser10000. Each entry is traced.
std::vector<LinkRouting> load_link_routing();
std::vector<RouteEntry> LoadPreferredRouteList(const std::vector<LinkRouting>& links);
std::vector<SenderEntry> LoadPreferredSenderList(const std::vector<LinkRouting>& links);

// Reads everything above and publishes a new table when anything differs
// from the published one (lists compared entry by entry); an unchanged
// configuration keeps the old table. True when a new table was published.
// Start-up and every configuration reload.
bool reload_routing_lists();
// Publishes empty tables (shutdown); readers still holding the old ones
// keep them alive until they let go.
void release_routing_lists();

// Indexes into routing_tables()->routes of the recipient entries whose
// pattern matches, in list order (what the decisions below start from).
std::vector<uint32_t> matching_route_entries(std::string_view recipient);

// --- decisions -------------------------------------------------------------------------

// May link_name carry the message? *no_route (optional) comes back true
// only when the link refuses and no link at all will take the message.
bool CheckPreferredRoute(const RouteQuery& q, std::string_view link_name, bool* no_route = nullptr);
// True when no configured link's CheckPreferredRoute takes the message
// (every link blocks it, refuses its kind or user, or routes by preference
// only); such a message can only fail. Asks without tracing.
bool no_link_takes(const RouteQuery& q);
// The candidate links of a message, possibly none.
std::vector<std::string> CheckPreferredRouteMulti(const RouteQuery& q);

// Is the link blocked for this recipient / service type ("!" entries, or
// service-type entries of which none matches)?
bool CheckBlockedRoute(std::string_view link_name, std::string_view recipient,
                       std::string_view service_type);
// The link whose matching service-type entry has the longest pattern (a tie
// goes to link_under_test, else to the first); empty when none matches.
std::string best_service_type_route(std::string_view service_type,
                                    std::string_view link_under_test = {});
// Does the preferred sender list route this user (a "user=" entry) or this
// sender (unless DisableSenderRouting; the user must be allowed on the link)
// to link_name?
bool CheckPreferredSender(std::string_view user, std::string_view sender,
                          std::string_view link_name);
// AllowedUserOnly and BinaryOrTextOnly of a link.
bool user_allowed_on_link(std::string_view link_name, std::string_view user);
bool kind_allowed_on_link(std::string_view link_name, bool binary);

// --- explicit routes, route queues, validation -----------------------------------------------

// Who a link worker answers for: its own names and, while it is an active
// backup, the primary's link name and/or route name.
struct LinkIdentity {
    std::string_view link_name;
    std::string_view route_name;
    std::string_view primary_link;   // empty unless an active backup of a link
    std::string_view primary_route;  // empty unless an active backup
};

// Does a route (or a candidate link name) address this link: equal, without
// case, to its link or route name or the primary's; when only the primary's
// route name is known, also a link whose RouteName is that route.
bool route_names_link(std::string_view route, const LinkIdentity& id);

// Route queue test for a subdirectory of the outbound queue: "RT_-_<route>_-_..."
// is served only when <route> is empty or equals (':' '/' '\' made '-',
// without case) one of the link's names; everything is served with
// UseRouteQueues off, and other subdirectories always.
bool route_queue_serves(std::string_view subdir, const LinkIdentity& id);

// Some Modem<n> is the route or has it as RouteName; traces
// "Unknown smscRoute=<route>" otherwise. An empty route is invalid.
bool ValidateSMSCRoute(std::string_view route);
// True (unroutable, traced) for the reserved "~~invalid~~" route.
bool CheckInvalidRoute(std::string_view route);
// "localuser:<name>" routes deliver locally and are never cached.
bool is_local_user_route(std::string_view route);

// --- virtual SMSC ---------------------------------------------------------------------------

inline constexpr std::string_view kVirtualSmscLink = "SDKLINK - VirtualSMSC";
inline constexpr std::string_view kSdkLinkPrefix = "SDKLink - ";
// With SDKLinkEnabled: the "host:port" that [SDKLink] names for a recipient.
std::optional<std::string> sdk_link_endpoint(std::string_view recipient);

// --- prefix conversion -----------------------------------------------------------------------

// list is "<old>:<new>,<old>:<new>..." (blanks after a comma skipped, items
// without ':' ignored). The first pair whose <old> is empty or a prefix of
// number (exact) replaces that prefix by <new>. The result is cut to
// max_len. True when the number changed.
bool prefix_convert(std::string& number, std::string_view list,
                    size_t max_len = store::kPhoneNumberSize - 1);
// The link's OutRecipPrefixConvert / OutSenderPrefixConvert before sending,
// and [SMSGW] GlobalRecipPrefixConvert / GlobalSenderPrefixConvert at
// submission.
bool out_recip_prefix_convert(std::string_view link_name, std::string& recipient);
bool out_sender_prefix_convert(std::string_view link_name, std::string& sender);
bool global_recip_prefix_convert(std::string& recipient);
bool global_sender_prefix_convert(std::string& sender);

}  // namespace delivery
