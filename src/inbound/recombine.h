// Long received messages: the segments of one message are held as ".SAR"
// files in the inbound store until every part is there (or the wait for a
// missing part is over), then joined into one ".in" record.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/request_codec.h"

namespace inbound {

// path with its extension replaced by ext (appended when the file name has
// none): the archive names ".SMS" and ".BAD" of inbound files.
std::string path_with_extension(const std::string& path, std::string_view ext);

// The reference of the pieces of a long text that came without headers.
inline constexpr uint32_t kHeaderlessReference = 0x10000;
inline constexpr unsigned kHeaderlessTotal = 20;

// What the UDH of a message says about it.
struct UdhInfo {
    bool concat = false;  // an 8- or 16-bit concatenation element
    uint32_t reference = 0;
    unsigned total = 0;
    unsigned sequence = 0;
    bool port16 = false;  // a 16-bit application port element
    unsigned dest_port = 0;
    unsigned source_port = 0;
};
UdhInfo parse_udh_info(std::string_view udh_hex);

// "<sender>-<reference hex>-<total>-<sequence>.SAR"; in the sender each '-'
// becomes '_' (so that the name parses back), and so does every character a
// file name cannot hold.
std::string sar_file_name(std::string_view sender, uint32_t reference, unsigned total,
                          unsigned sequence);
struct SarName {
    std::string sender;  // as written in the name
    uint32_t reference = 0;
    unsigned total = 0;
    unsigned sequence = 0;
};
std::optional<SarName> parse_sar_name(std::string_view file_name);

// Holds a received segment (its whole record text) in dir under its .SAR
// name. A segment already held under that name is a repeat of it and is
// dropped (true). False when it could not be written.
bool hold_segment(const std::string& dir, std::string_view sender, uint32_t reference,
                  unsigned total, unsigned sequence, std::string_view content);

// The next piece number of a sender's headerless set in dir (1 when it has
// none, 0 when the set is full).
unsigned next_headerless_piece(const std::string& dir, std::string_view sender);
// True when the sender has headerless pieces held in dir.
bool has_headerless_pieces(const std::string& dir, std::string_view sender);

// Joins the records of one message in sequence order (empty records stand
// for parts given up on): the header fields of the first non-empty part,
// RecombineFlag set, Data the parts' data in order. With a 16-bit port
// element the UDH becomes that port element alone; otherwise there is no
// UDH, and 7-bit parts held as packed hex are decoded with their own
// headers into text. nullopt when every part is empty.
std::optional<store::SmsMessage> combine_segments(const std::vector<store::SmsMessage>& parts);

// One round over the .SAR files of dir at time now: complete sets become
// .in records in the inbound store (counted as received), missing parts
// whose wait (2WayLongMessageWait, at most 60 s for headerless pieces) is
// over get empty placeholders, sets still waiting stay, names that do not
// parse go to the .SMS archive. Returns the records created.
unsigned RecombineSARMessages(const std::string& dir, time_t now, unsigned wait_s);

}  // namespace inbound
