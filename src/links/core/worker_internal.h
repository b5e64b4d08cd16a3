// Pieces of the link worker shared by its own files and its unit tests:
// backup state, reconnect schedule, settings checks and the small helpers
// of the outcome handling.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "links/link_worker.h"

namespace links::detail {

inline constexpr std::string_view kWorkerTrace = "ThreadProcessModem";
inline constexpr std::string_view kNoRouteError = "Error:  No SMSC defined to route message";
// Status of the failure receipt of an unroutable message.
inline constexpr uint32_t kNoRouteReceiptStatus = 11;
// How long a segment waits for its missing siblings before it is sent without them.
inline constexpr time_t kRecombineWaitS = 180;
// Longest UDH kept from a recombined segment, in octets.
inline constexpr size_t kRecombinedUdhMax = 149;
// Messages between two settings checks during a busy session.
inline constexpr uint64_t kSettingsCheckEvery = 256;

// --- backup links --------------------------------------------------------------------

// What a BackupForRoute value names: a configured link (its route name noted
// too) or just a route.
struct BackupTarget {
    std::string link;   // empty when the value names no configured link
    std::string route;  // that link's RouteName, or the value itself
    std::string value;  // as configured (after "Modem - " was stripped)
};
BackupTarget resolve_backup_target(std::string_view backup_for);
// The primary counts as failing when the link of that name, or any link
// without its own BackupForRoute whose RouteName equals it, has a non-empty
// link status file.
bool primary_failing(std::string_view primary);

// --- reconnect wait ----------------------------------------------------------------------

// Raises the failure count to at least 1 and returns the time of the next
// connection attempt (link start retry schedule of the link).
time_t next_attempt_time(WorkerState& w, time_t now);
// "Error initializing SMSC Interface '<route>' (<link>).  Interface is not
// available." and the recovery text (the link part only when the names differ).
std::string unavailable_text(const LinkSettings& s);
std::string recovered_text(const LinkSettings& s);

// --- checks during a session ----------------------------------------------------------------

// Credit limit reached or inside quiet hours at local hour `hour`: the
// failure text, else empty.
std::string credit_or_quiet_text(const LinkSettings& s, unsigned hour);
// The settings change check: a different link at Modem<i> asks the frame for
// a rescan, other differences needing a new session set the restart flag;
// quiet hours, credit, retry and send limits are updated in place. Also
// restarts an active backup whose primary has recovered. True when the
// session must end.
bool check_settings_change(WorkerState& w);

// --- outcome helpers ----------------------------------------------------------------------

// The file left the queue: the outbound queue gauge goes down, except for
// files (or queue subdirectories) named "MMSQ__..." which were never counted.
void count_left_queue(const ClaimedMessage& m);
// Queue subdirectory name of a claimed file relative to the queue root
// (empty for the root itself).
std::string_view queue_subdir_of(const ClaimedMessage& m, std::string_view queue_root);
// A message no link can take: logged against "SYSTEM", reported, copied to
// the error queue, receipt with status 11, counted, deleted.
void fail_unroutable(WorkerState& w, ClaimedMessage& m);
// Deletes the claimed request file: the long-message lock is finished first
// and the route cache entry goes with the file.
void delete_claimed(ClaimedMessage& m, bool sent);

// The installed local-delivery hook's answer (NotLocal without one).
LocalDelivery try_local_delivery(const std::string& path, const store::SmsMessage& msg);

// --- recombination -------------------------------------------------------------------------

// The UDH (hex) without its concatenation elements (0x00, 0x08), cut to 149
// octets of elements; empty when nothing else is left. Malformed input
// gives an empty result.
std::string strip_concat_elements(std::string_view udh_hex);

}  // namespace links::detail
