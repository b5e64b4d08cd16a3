// The message request file on disk: the loader (LoadSMSMessage) and the
// writers that name and create request, scratch and segment files. The
// record and its text format are the codec's (store/request_codec.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "store/request_codec.h"

namespace store {

// Texts of the record returned when a file cannot be read.
inline constexpr std::string_view kLoadErrorPhoneNumber = "ERROR";
inline constexpr std::string_view kLoadErrorRoute = "ErrorLoadMessage";

// Files larger than this are not messages this gateway wrote; they load as
// unreadable instead of being pulled into memory.
inline constexpr size_t kMaxRequestFileBytes = 16u << 20;

// Loads the request file open on fd, read from the start with positional
// reads (the file position is not used). Returns false when the file could
// not be read: the record then holds "ERROR" / "ErrorLoadMessage" and is
// unusable. A file without a message section loads as an empty record (true).
bool LoadSMSMessage(int fd, SmsMessage& msg);

// The loader's parsing of file content, for callers that hold the text:
// parse_request, then the route name of the ModemName link (its RouteName
// setting, else the link name) into resolved_route.
void parse_sms_message(std::string_view text, SmsMessage& msg);

// True for the record LoadSMSMessage returns on a read failure.
bool is_load_error(const SmsMessage& msg);

// Attempts create_request_file makes before giving up.
inline constexpr int kCreateAttempts = 1000;

// Creates a new request file in dir (created when missing) named
// MessageIDPrefix + "%08lX" of the next message id + "." + ext (no "." for
// an empty ext), holding content. The file appears under its name only when
// complete and never replaces an existing file; a taken name moves on to the
// next id. Returns the full path, or nullopt after 1000 failed attempts.
std::optional<std::string> create_request_file(const std::string& dir, std::string_view ext,
                                               std::string_view content);

// Front ends answer "accepted" only after this: with DurableQueue on it
// waits (one group commit for the whole submission) until every file of it
// and its directory entry are on stable storage; off, it returns true at
// once. Write all files of a submission with create_request_file first,
// then make one call. False: the sync failed; the files still there are
// removed, so that the error the caller answers is not followed by a send.
bool commit_request_files(const std::vector<std::string>& paths);

// create_request_file + commit_request_files for a submission of one file:
// nullopt when the file could not be written or made durable.
std::optional<std::string> create_request_file_durable(const std::string& dir,
                                                       std::string_view ext,
                                                       std::string_view content);

// A newly created scratch file, open for writing.
struct ScratchFile {
    platform::FileHandle file;
    std::string path;
};

// Creates a new empty file in dir named by 8 hex digits of the pseudo-random
// sequence (no prefix) + "." + ext, for temporary and header files. The
// handle holds flock(LOCK_EX): others may read it but not claim it.
std::optional<ScratchFile> create_scratch_file(const std::string& dir, std::string_view ext);

// Name of a segment file: dir + "SAR-" + MessageIDPrefix + key + "-%x-%u-%u"
// (reference, part count and part number, the last two modulo 256) + "." +
// ext. The key is cut to 50 characters; each of ? * : / \ | and every control
// character in it becomes "!".
std::string segment_file_name(const std::string& dir, std::string_view key, uint32_t reference,
                              uint32_t part_count, uint32_t part_number, std::string_view ext);
inline constexpr size_t kSegmentKeyMax = 50;

// Writes a segment file under segment_file_name(), replacing any file of that
// name (atomically); creates dir when missing. Returns the full path.
std::optional<std::string> create_segment_file(const std::string& dir, std::string_view key,
                                               uint32_t reference, uint32_t part_count,
                                               uint32_t part_number, std::string_view ext,
                                               std::string_view content);

}  // namespace store
