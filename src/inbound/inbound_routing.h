// Which local account a received message belongs to: the [Inbound SMS
// Routing] section of SMSGW.INI, one line per account ("user = item,
// item, ..."), items being recipient patterns, "service_type=<pattern>"
// rules and "!"-exclusions of either kind. The section is cached for all
// threads and read again when SMSGW.INI changes (looked at no more often
// than every 15 s).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace inbound {

// The pseudo account of the inbound store itself: a message routed there is
// processed by the 2-way commands. "~SMSIN::BAD" and "~SMSIN::SMS" archive
// it under those extensions instead.
inline constexpr std::string_view kInboundStoreUser = "~SMSIN";

// One line of the section, its items split at ',' and trimmed.
struct RoutingLine {
    std::string user;
    std::vector<std::string> items;
};
using RoutingTable = std::vector<RoutingLine>;

// Parses "a, b,c" lists (empty items dropped).
RoutingLine routing_line(std::string_view user, std::string_view list);

// The choice over a table, lines in order: a line with a matching exclusion
// is skipped, so is one whose service-type rules all fail; the longest
// matching recipient pattern wins (an equal length keeps the earlier line);
// the first line whose service-type rule matches discards what earlier lines
// chose, and such a line without recipient patterns supplies its user when
// nothing is chosen yet. Empty: no account.
std::string route_by_table(const RoutingTable& table, std::string_view recipient,
                           std::string_view service_type);

// The current table (never null; empty when the section is missing).
std::shared_ptr<const RoutingTable> inbound_routing_table();
// Forgets the cached copy, so that the next lookup reads the file (tests,
// and after the configuration file has been replaced).
void reset_inbound_routing_cache();

// The lookup of the inbound threads, the store and the queue pass. A
// preset account is kept when it is the inbound store ("~SMSIN...") or an
// account whose directory holds "RECV.FLG"; otherwise (and without one) the
// table decides. Empty: no account takes the message.
std::string InboundRoutingLookup(std::string_view recipient, std::string_view service_type,
                                 std::string_view preset_user = {});

// True for "~SMSIN" and its archive forms.
bool is_inbound_store_user(std::string_view user);

}  // namespace inbound
