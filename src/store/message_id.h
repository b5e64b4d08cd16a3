// Process-wide identifier sources: the persistent message-id counter behind
// request file names (kept across restarts in UID.DAT), the pseudo-random
// sequence behind scratch file names, and the 8-bit concatenation reference.
#pragma once

#include <cstdint>
#include <string>

namespace store {

// Name of the counter file in the private data directory.
inline constexpr const char* kMessageIdFileName = "UID.DAT";

// Ids a restart skips past the stored value: more than the counter can
// advance between two saves, so no id is ever handed out twice.
inline constexpr uint32_t kMessageIdRestartGap = 1000;

// Ids reserved ahead: before handing out an id that a restart after a crash
// could hand out again, the counter + this many is written (synced) to
// UID.DAT, so one durable write covers this many ids.
inline constexpr uint32_t kMessageIdReserve = 10000;

// Next value of the message-id counter. The first call of a process starts
// at the value stored in UID.DAT + 1000, or at the current time in seconds
// when there is no stored value; each later call adds 1 (wrapping at 2^32).
// Ids beyond what UID.DAT covers are reserved first (kMessageIdReserve).
uint32_t next_message_id();

// Writes the counter (the last id handed out) to UID.DAT (4 bytes,
// little-endian) when it has been used since start and differs from what was
// last stored, so a clean restart goes on close to where this run stopped.
// Returns false only when a needed write failed. Run every 30 seconds and at
// shutdown.
bool save_message_id();

// Next value of the pseudo-random sequence (x = x * 1345 + 9876543 mod 2^32,
// seeded with the current time at first use). Shares the counter's lock.
uint32_t next_random_id();

// Next 8-bit sequence number (concatenation references): starts at the low
// 8 bits of the current time, then counts up, wrapping at 256.
uint8_t next_sequence_number();

// Hands the counter saves to the main loop: the 30-second round and the
// shutdown flush.
void register_message_id_duties();

// Full path of UID.DAT.
std::string message_id_file_path();

// Forgets all counter state as if the process had restarted (tests only):
// the same as reset_store_for_tests (store/store_state.h), which resets the
// rest of the module's state too. Kept for callers outside the store's own
// tests until they call that one.
void reset_message_ids_for_tests();

}  // namespace store
