// The outcome handling's pieces the queue pass shares: what happens to a
// claimed file that leaves the queue without a submit. finish_message and the
// connection reports are in link_kind.h, for the kinds.
#pragma once

#include <cstdint>
#include <string_view>

#include "links/core/link_kind.h"

namespace links::detail {

inline constexpr std::string_view kNoRouteError = "Error:  No SMSC defined to route message";
// Status of the failure receipt of an unroutable message.
inline constexpr uint32_t kNoRouteReceiptStatus = 11;

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

}  // namespace links::detail
