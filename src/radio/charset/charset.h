// Character set conversion for message text: UTF-8 (the gateway's internal form), the GSM
// 7-bit alphabet with its septet packing, UCS-2, Windows code pages, national language
// shift tables, the Unicode decision, and the charset / content-type number tables.
//
// Every function is stateless and thread-safe. Text inputs end at their first NUL byte, as
// everywhere in the gateway; septet strings are byte strings that may hold 0x00 ("@").
// Nothing here fails as a whole: unrepresentable characters become "-" or "?".
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace radio::charset {

// Bounds of the conversions (scratch capacities of the wire formats' users).
inline constexpr size_t kUtf16Capacity = 8192;           // UTF-16 units incl. the terminator
inline constexpr size_t kCodePageUtf16Capacity = 16384;  // code page -> UTF-8 scratch
inline constexpr size_t kUnpackScratchSeptets = 8192;    // unpack to Windows-1252 / UTF-8
inline constexpr size_t kSeptetCountLimit = 16383;       // utf8_septet_count
inline constexpr size_t kUnicodeCheckLimit = 16384;      // the Unicode decision
inline constexpr size_t kUcs2HexMaxUnits = 8000;         // ucs2_hex_to_utf8
inline constexpr size_t kShiftTableSeptets = 8191;       // UTF8ToShiftTableString capacity
inline constexpr size_t kSpaceDropBound = 150;           // unpack drops a fill space below it
inline constexpr size_t kNoLimit = std::numeric_limits<size_t>::max();

inline constexpr char kGsmReplacement = '-';  // every GSM table's "no equivalent"
inline constexpr char kUnmappable = '?';      // code points outside Latin-1/Greek/euro
inline constexpr uint8_t kGsmEscape = 0x1B;

// ---------------------------------------------------------------------------------------
// UTF-8 and UTF-16

// Decodes one code point of s starting at i and advances i past it; i < s.size() required.
// Ill-formed input (truncated sequences, overlong forms, encoded surrogates, values above
// U+10FFFF, 5- and 6-byte forms) gives '-' and consumes the bytes of the broken sequence;
// a stray continuation byte (0x80-0xBF) stands for itself (U+0080-U+00BF). Never reads
// past s.size(). A NUL byte decodes to 0 (callers stop there).
char32_t next_code_point(std::string_view s, size_t& i);

// UTF-8 to UTF-16, at most capacity-1 units (a surrogate pair is never split; the text is
// cut before it instead); stops at NUL.
std::u16string utf8_to_utf16(std::string_view utf8, size_t capacity = kUtf16Capacity);

// UTF-16 to UTF-8. Pairs combine; a lone surrogate becomes '-'. Stops at a 0 unit, and,
// before the next character, once fewer than 7 bytes of the caller's buffer size remain.
std::string utf16_to_utf8(std::u16string_view units, size_t size = kNoLimit);

// Four upper-case hex digits per UTF-16 unit of the text (at most kUtf16Capacity-1 units).
std::string utf8_to_ucs2_hex(std::string_view utf8);

// Hex digits four at a time as UTF-16 units (at most 8000, stopping at the first group that
// is not four hex digits or is 0000), then UTF-16 to UTF-8 bounded by size.
std::string ucs2_hex_to_utf8(std::string_view hex, size_t size = kNoLimit);

// ---------------------------------------------------------------------------------------
// GSM 7-bit default alphabet

// UTF-8 to GSM septets. limit 0 means none; the limit is tested before each character, so
// an escape pair begun with one septet left is written whole (result may be limit + 1).
std::string utf8_to_gsm(std::string_view utf8, size_t limit = 0);

// GSM septets to UTF-8 (Greek capitals and the euro included; septets >= 0x80 skipped).
std::string gsm_to_utf8(std::string_view septets);

// Windows-1252 bytes to septets and back (same limit rule; Greek capitals read as '-').
std::string win1252_to_gsm(std::string_view text, size_t limit = 0);
std::string gsm_to_win1252(std::string_view septets);

// Septets a UTF-8 text takes (escape pairs count 2), computed with the limit 16383.
size_t utf8_septet_count(std::string_view utf8);

// Packs septets low bit first into upper-case hex. udh_octets (the header length, length
// octet included) sets the starting phase: (7 - udh_octets % 7) % 7 zero fill bits lead.
// A final octet with seven spare bits gets a space septet in them.
std::string pack_septets(std::string_view septets, size_t udh_octets);

// The same packing with each septet filling octets from bit 7 downwards (CDMA text).
std::string pack_septets_msb_first(std::string_view septets, size_t udh_octets);

// Unpacks hex (the part after a udh_octets header) into septets; stops at the end of the
// hex, at the first pair that is not two hex digits, or at limit septets (0 = none).
// When the input ends on a whole group of septets (and the limit did not cut it), a
// trailing 0x00 without header and then, below 150 septets, a trailing space are taken as
// the sender's fill and dropped.
std::string unpack_septets(std::string_view hex, size_t udh_octets, size_t limit = 0);

// Unpacks at most 8192 septets and converts them to Windows-1252.
std::string unpack_to_win1252(std::string_view hex, size_t udh_octets);

// Data coding scheme classification.
bool dcs_is_gsm7(uint8_t dcs);
bool dcs_is_ucs2(uint8_t dcs);

// ---------------------------------------------------------------------------------------
// The Unicode decision and the Greek look-alikes

// The [SMSGW] settings the decision depends on (read by the caller, start-up values).
struct UnicodeSettings {
    bool disable_http_unicode_sms = false;  // DisableHttpUnicodeSMS
    bool test_for_iso88591 = false;         // TestUnicodeSMSForISO88591
    bool test_for_ascii = false;            // TestUnicodeSMSForASCII
};

// True when the text must go as UCS-2: it does not survive GSM and back (or, as the
// settings ask, Windows-1252 and back, or it is not plain ASCII). Losses go to the trace.
bool UTF8StringRequiresUnicodeEncoding(std::string_view utf8, const UnicodeSettings& settings);

// Replaces Greek capitals that have Latin twins by the Latin letter and U+00A0 by a space;
// re-encodes utf8 (bounded by size) only when something changed, and then returns true.
// The caller consults TranslateGreekCharacters (default Yes) at each use.
bool TranslateGreekCharacters(std::string& utf8, size_t size = kNoLimit);

// ---------------------------------------------------------------------------------------
// Code pages (Windows numbering; iconv underneath, Windows-1252 built in)

std::string utf8_to_win1252(std::string_view utf8, size_t size = kNoLimit);
std::string win1252_to_utf8(std::string_view text, size_t size = kNoLimit);

// In-place conversions of a NUL-free text, the result bounded by size (buffer size incl.
// the terminator). Unmappable characters become '?'. On failure the trace gets
// "Error %u from WideCharToMultiByte" (or MultiByteToWideChar) and false is returned;
// an unknown code page leaves the text unchanged, an overflow keeps what fitted.
// UTF-8 to 1256 turns Arabic-Indic digits into ASCII digits first.
bool utf8_to_code_page(std::string& text, unsigned code_page, size_t size = kNoLimit);
bool code_page_to_utf8(std::string& text, unsigned code_page, size_t size = kNoLimit);

// The iconv name of a Windows code page number ("CP1252", "UTF-8", "EUC-JP" ...).
std::string code_page_iconv_name(unsigned code_page);

// Charset name to code page: the built-in [Charset] rows first, then the built-in MIME
// charset database with its aliases; 0 when unknown.
unsigned charset_to_code_page(std::string_view name);

// MIBenum numbers (WSP/MMS charset parameter): "unknown" / 0 when not in the table.
std::string_view mibenum_to_name(unsigned mibenum);
unsigned name_to_mibenum(std::string_view name);

// WSP well-known content types: name to number (0-78, 255 when unknown); number to name
// uses the low 7 bits and knows 0-70 ("application/unknown" otherwise).
unsigned content_type_to_number(std::string_view name);
std::string_view number_to_content_type(unsigned number);

// ---------------------------------------------------------------------------------------
// National language shift tables (identifiers 1 Turkish, 2 Spanish, 3 Portuguese,
// 4 Bengali, 5 Gujarati, 6 Hindi, 7 Kannada, 8 Malayalam, 9 Oriya, 10 Punjabi, 11 Tamil,
// 12 Telugu, 13 Urdu). Tables are 128 code points, 0 where a position is undefined or the
// escape; nullptr when the language has no such table.

inline constexpr int kLockingShiftUsed = 1;
inline constexpr int kSingleShiftUsed = 2;
inline constexpr unsigned kMaxNationalLanguage = 13;

const char16_t* national_locking_table(unsigned language);
const char16_t* national_single_table(unsigned language);
const char16_t* gsm_default_table();            // 23.038 default alphabet as Unicode
const char16_t* gsm_default_extension_table();  // its extension table (page break omitted)

// Encodes the whole text with the language's tables: the cheapest of national single shift
// over the default alphabet (result 2), the national locking shift with the default
// extension (1), or both (3), counting 3 header octets per table used. Returns 0 (and
// clears septets) when some character has no place or the septets exceed limit.
int UTF8ToShiftTableString(unsigned language, std::string_view utf8, std::string& septets,
                           size_t limit = kShiftTableSeptets);

// Septets to UTF-8 through the given locking and single shift languages (0 = default).
std::string gsm_to_utf8_national(std::string_view septets, unsigned locking_language,
                                 unsigned single_language);

// Received 7-bit text: unpacks packed_hex behind the header udh_hex (length octet included)
// and decodes it with the national shift elements (0x24 single, 0x25 locking) of the
// header. Returns the bits of the national tables honoured (kLockingShiftUsed,
// kSingleShiftUsed), 0 when the default alphabet alone was used.
int GSM7ToUTF8String(std::string_view udh_hex, std::string_view packed_hex, std::string& utf8);

// The submission's shift-table step: tries each identifier of the ShiftTables setting
// (comma-separated, 1-255) in order; the first that encodes the text appends "2401%02X"
// and/or "2501%02X" to udh_hex (creating the length octet, then rewriting it) and packs the
// septets behind that header. Returns the bits (0: no table fits; udh_hex untouched).
struct ShiftTableEncoding {
    int bits = 0;
    unsigned language = 0;
    std::string udh_hex;     // header with the new elements
    std::string packed_hex;  // septets packed with the header's fill bits
    size_t septets = 0;      // septet count (the UDL part of the text)
};
int encode_with_shift_tables(std::string_view utf8, std::string_view shift_tables,
                             std::string_view udh_hex, ShiftTableEncoding& out,
                             std::string_view trace_name = "UTF8ToShiftTableString");

}  // namespace radio::charset
