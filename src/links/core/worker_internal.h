// Pieces of the link worker's outer loop shared by the core's own files and
// its unit tests: backup state, reconnect schedule and settings checks.
// Private to core/: kinds use link_kind.h only.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "links/core/link_kind.h"
#include "links/core/link_worker.h"

namespace links::detail {

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

// The installed local-delivery hook's answer (NotLocal without one).
LocalDelivery try_local_delivery(const std::string& path, const store::SmsMessage& msg);

}  // namespace links::detail
