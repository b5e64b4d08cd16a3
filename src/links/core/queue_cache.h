// The queue cache ("ThreadProcessQCache"): with UseQCache one thread lists
// the outbound queue every 250 ms so that link workers on a remote queue
// root read its directory and file lists from memory instead of listing
// the directories themselves.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace links {

// Thread starter for the QCache slot: starts the thread only when UseQCache
// is on (true otherwise too: nothing had to start).
bool start_queue_cache_thread();

// One listing round over queue_root (the thread runs it every 250 ms):
// builds the new directory and file lists, removes empty user queue
// subdirectories, swaps the lists in under the lock and marks the first
// scan done (frame::set_qcache_ready).
void queue_cache_scan(const std::string& queue_root);

// True once a listing exists (workers fall back to the file system before).
bool queue_cache_ready();
// The directories holding "*.REQ" files: "." for the root, else the
// subdirectory name, in listing order.
std::vector<std::string> queue_cache_directories();
// The "*.REQ" file names (bare names) of one directory of the last listing.
std::vector<std::string> queue_cache_files(std::string_view directory);
// Removes dir (a queue subdirectory, '/' optional) when it holds nothing at
// all and has not changed for kUserQueueIdleSeconds, so that a writer that
// has just created it for its first file does not lose it. True when removed.
constexpr unsigned kUserQueueIdleSeconds = 10;
bool remove_empty_user_queue(const std::string& dir);

// Tests: forget the lists.
void queue_cache_clear();

}  // namespace links
