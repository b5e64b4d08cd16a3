// Long-message segmentation: segment sizes, the concatenation, port and
// national-language elements of the user data header (UDH), the split of
// 7-bit text, UCS-2 text and binary data into segments, and the segment
// request files that carry them into the outbound queue.
//
// UDH and data travel as upper-case hex. A UDH here always includes its
// length octet ("050003..."). Nothing in this header throws; bad input is
// reported through an error text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/request_file.h"

namespace delivery {

// Concatenation information element identifiers.
inline constexpr uint8_t kIeiConcat8 = 0x00;
inline constexpr uint8_t kIeiConcat16 = 0x08;

// A segment's total and sequence each fit one octet.
inline constexpr size_t kMaxSegmentsPerMessage = 255;
// HTTP submissions keep at most this many segments; the rest is dropped.
inline constexpr size_t kHttpMaxSegments = 100;
// Longest UDH (octets, length octet included) a split keeps other elements of.
inline constexpr size_t kMaxUdhOctets = 149;
// Septets the 7-bit conversion keeps of one message.
inline constexpr size_t kMaxTextSeptets = 16383;

// The settings a split depends on, read once per message.
struct SegmentLimits {
    uint32_t text_septets = 160;            // MaxSMSSegmentLengthText (below 40 means 160)
    uint32_t binary_octets = 140;           // MaxSMSSegmentLengthBinary (below 40 means 140)
    bool concat_ref_16bit = false;          // ConcatRef16Bit
    bool repeat_udh_all_segments = true;    // RepeatUDHAllSegments
    bool send_long_messages_as_is = false;  // SendLongMessagesAsIs
    bool alt_long_text = false;             // AltLongText
    uint8_t long_text_dcs = 0;              // LongTextDCS
    // Segment cap of the caller (0: only the 255 of the header's octet).
    size_t max_segments = 0;
};

// The current global settings as limits (max_segments left 0).
SegmentLimits segment_limits_from_settings();

// Septets of 7-bit text per segment: T-8 with AltLongText or the 16-bit
// reference, else T-7 (153 for T = 160).
size_t text_septets_per_segment(const SegmentLimits& limits);
// UTF-16 units per UCS-2 segment: B/2-3, or B/2-4 with the 16-bit reference.
size_t ucs2_units_per_segment(const SegmentLimits& limits);

// --- UDH building -------------------------------------------------------------

// The concatenation element alone ("0003rrttss" or "0804rrrrttss").
std::string concat_element(uint8_t reference, uint8_t total, uint8_t sequence, bool ref16);
// A UDH holding only the concatenation element ("050003..." or "060804...").
std::string concat_udh(uint8_t reference, uint8_t total, uint8_t sequence, bool ref16);

// UDH from the explicit SourcePort, DestPort, SegRef, SegNum and SegCount
// parameters of a submission (0 = not given).
struct ExplicitUdhParams {
    uint32_t source_port = 0;
    uint32_t dest_port = 0;
    uint32_t seg_ref = 0;
    uint32_t seg_num = 0;
    uint32_t seg_count = 0;
};
// Sets udh to the port and/or concatenation header the parameters ask for,
// or to "" when they ask for none. False (and error) for a port above 65535.
bool build_explicit_udh(const ExplicitUdhParams& params, std::string& udh, std::string& error);

// DCS of a text that has to go as UCS-2 (HTTP submissions): dcs | 0x08 when
// dcs is below 0x40, in 0x40-0x4F or above 0xBF; 0x08 otherwise.
uint8_t unicode_dcs(uint8_t dcs);

// --- UDH parsing --------------------------------------------------------------

struct UdhElement {
    uint8_t id = 0;
    std::string data;  // octets of the element's value
};

// Parses a UDH (hex, length octet first). False (and error) when the hex is
// malformed, longer than 149 octets, or the elements do not fill exactly the
// length the first octet states.
bool parse_udh(std::string_view udh_hex, std::vector<UdhElement>& elements, std::string& error);

// Hex of elements without a length octet ("05040B8423F0").
std::string format_udh_elements(const std::vector<UdhElement>& elements);

// True when the UDH parses and holds an 8- or 16-bit concatenation element.
bool has_concat_element(std::string_view udh_hex);

// The UDH with every concatenation element removed and the length octet
// recomputed; "" when nothing else is left. nullopt when it does not parse.
std::optional<std::string> remove_concat_elements(std::string_view udh_hex);

// --- splitting ----------------------------------------------------------------

struct Segment {
    std::string udh;   // hex with length octet; "" for a message sent whole
    std::string data;  // hex: packed septets, UCS-2 units or octets
    size_t units = 0;  // septets, UTF-16 units or octets of the message in it
};

struct SegmentPlan {
    std::vector<Segment> segments;  // one entry when the message is not split
    uint8_t dcs = 0;                // DCS every segment file gets
    bool split = false;             // carries concatenation elements
    bool truncated = false;         // text beyond the segment cap was dropped
    uint8_t reference = 0;          // the concatenation reference (when split)
};

// Source of concatenation references; taken once, only for a message that is
// split. The default is the gateway's 8-bit sequence number.
using ReferenceSource = uint8_t (*)();
uint8_t default_reference();

// 7-bit text given as GSM septets (one byte each, escape pairs as 0x1B+code).
// other_elements: elements (hex, no length octet) that every segment carries
// after the concatenation element, e.g. national language shifts "240101".
// A segment never ends inside an escape pair, and a segment that is followed
// by another never ends in the packer's space fill (its reader could not tell
// the fill from text). False (and error) for bad other_elements.
bool split_gsm_septets(std::string_view septets, uint8_t dcs, const SegmentLimits& limits,
                       SegmentPlan& plan, std::string& error, std::string_view other_elements = {},
                       ReferenceSource next_reference = &default_reference);

// UCS-2 text as UTF-16 units; a surrogate pair is never split.
bool split_ucs2_units(std::u16string_view units, uint8_t dcs, const SegmentLimits& limits,
                      SegmentPlan& plan, std::string& error,
                      ReferenceSource next_reference = &default_reference);

// UTF-8 text: converted to GSM septets (at most 16383) or, with unicode, to
// UTF-16, then split as above.
bool split_text(std::string_view utf8, bool unicode, uint8_t dcs, const SegmentLimits& limits,
                SegmentPlan& plan, std::string& error,
                ReferenceSource next_reference = &default_reference);

// UTF-8 text that needs Unicode, tried with the national languages of
// shift_tables (the ShiftTables setting) first: when one of them represents
// the text, the plan carries its shift elements in every segment and true is
// returned; false when none does (the caller goes on with UCS-2).
bool split_text_with_shift_tables(std::string_view utf8, std::string_view shift_tables, uint8_t dcs,
                                  const SegmentLimits& limits, SegmentPlan& plan,
                                  ReferenceSource next_reference = &default_reference);

// Binary data (hex) with an optional UDH, as received with the data-is-binary
// flag. Split only when it carries no concatenation element yet and UDH and
// data hex together exceed 2 x MaxSMSSegmentLengthBinary; otherwise the plan
// holds the message unchanged (one that fits is not examined at all). Data of
// a 7-bit DCS are septets (one per octet) and get packed behind each segment's header; UCS-2 data
// is cut only between whole UTF-16 units and never inside a surrogate pair. Other elements of the
// UDH follow the concatenation element in every segment with RepeatUDHAllSegments, else only in the
// first. False (and error) for bad hex, a malformed UDH, or a UDH that leaves no room for data.
bool split_binary(std::string_view udh_hex, std::string_view data_hex, uint8_t dcs,
                  const SegmentLimits& limits, SegmentPlan& plan, std::string& error,
                  ReferenceSource next_reference = &default_reference);

// --- segment files --------------------------------------------------------------

// The request file text of one segment: base with the segment's data, UDH
// and dcs, binary, in the codec's Segment layout (the recipient, sender,
// receipt flags, route and options of base, then "Data=", "UDH=", "pid=",
// "dcs=" and "Binary=1"; values cut at their first control character).
std::string segment_request_text(const store::SmsMessage& base, const Segment& segment,
                                 uint8_t dcs);

struct QueuedSegments {
    uint32_t message_number = 0;     // the "%x" field of the names
    std::vector<std::string> paths;  // files written, in segment order
    size_t failed = 0;               // segments whose file could not be written
};

// Writes one "SAR-<prefix><recipient>-<message number>-<total>-<seq>.req"
// file per segment of a split plan into queue_dir (created when missing). The
// message number is the next message id, taken once. A segment that cannot be
// written is skipped and counted; the others are still written.
QueuedSegments queue_segments(const std::string& queue_dir, const store::SmsMessage& base,
                              const SegmentPlan& plan);

}  // namespace delivery
