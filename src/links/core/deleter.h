// Deletion of request files that left the queue, off the link worker's
// serial path. Unlinking a file whose blocks were written back is slow on a
// real disk (journal and discard work), while a rename inside the directory
// is not: the worker renames the file to "<name>.DEL" while its claim is
// still held, so no queue scan or claimer sees it again, and a small pool of
// "ThreadDeleteSentFiles" threads unlinks it later. A "*.REQ.DEL" file left
// by a crash is garbage: the start-up sweep hands it to the pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace links {

// Takes path out of the queue at once (rename) and deletes it soon after.
// Called with the file's claim held. Where unlinking is cheap (the running
// average of recent unlinks is a few tens of microseconds: tmpfs, files not
// yet written back), with QueueDeleteThreads=0, when the rename fails, or
// while the backlog is at its cap, the file is unlinked here instead. False (errno set) only when the file could be neither
// renamed nor removed; ENOENT counts as done.
bool defer_delete(const std::string& path);

// Finds every "*.REQ.DEL" file below the queue root and hands it to the
// pool (start-up, before the links run). Returns how many were found.
unsigned sweep_deleted_requests(const std::string& root);

// Files renamed but not yet unlinked.
size_t deferred_delete_backlog();

// Files handed to the pool since start (renamed or swept).
uint64_t deferred_delete_total();

// Waits (at most timeout_ms) until every deferred file is unlinked.
// True when the backlog is empty.
bool drain_deferred_deletes(unsigned timeout_ms);

// Tests: unlinks the backlog and waits until every deleter thread has left
// (part of reset_links_state_for_tests).
void stop_deleters_for_tests();
// Tests: sets the running average of the unlink cost (0: deletes start inline).
void set_unlink_cost_for_tests(uint32_t microseconds);

}  // namespace links
