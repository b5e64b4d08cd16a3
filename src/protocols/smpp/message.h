// Mapping between the submit / delivery records (UTF-8 text or hex data,
// UDH hex, flags, options) and SMPP short-message PDUs: text coding per
// data_coding and link character set, UDH / optional-parameter placement,
// and the parsing of delivery receipts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "protocols/smpp/pdu.h"

namespace protocols::smpp {

// Character set of data_coding 0 on a link (`SMPPCharset`).
enum class Charset {
    Gsm,     // GSM 03.38, one septet per octet, 0x1B escape for the extension table (default)
    Latin1,  // "iso-8859-1" (Windows-1252 in the gateway's wording)
    Ascii,   // "ascii"
};
// "gsm", "gsm0338", "gsm7", "default" or empty -> Gsm; "iso-8859-1", "latin1",
// "latin-1", "windows-1252", "cp1252" -> Latin1; "ascii", "us-ascii", "ia5" -> Ascii;
// anything else -> Gsm.
Charset parse_charset(std::string_view name);

// How a data_coding value is carried.
enum class Coding { Default, Ascii, Latin1, Ucs2, Octets };
Coding coding_for_dcs(uint8_t dcs);

// UTF-8 text to the octets of short_message / message_payload, and back.
std::string encode_text(std::string_view utf8, Coding coding, Charset charset);
std::string decode_text(std::string_view octets, Coding coding, Charset charset);

// 7-bit data the gateway keeps packed (hex, behind a header of udh_octets
// octets whose fill bits lead) as data_coding 0 octets: one septet per octet
// with the GSM character set, else text in the link's character set.
std::string unpack_default_alphabet(std::string_view packed_hex, size_t udh_octets,
                                    Charset charset);
// Default-alphabet octets (one septet each) to UTF-8 through the national
// language tables a header names (0 = the default alphabet's).
std::string decode_national_text(std::string_view septets, unsigned locking_language,
                                 unsigned single_language);

// Link settings the encoder and decoder need.
struct CodingContext {
    uint8_t version = SMPP_VERSION_34;
    Charset charset = Charset::Gsm;
    bool use_tlv = false;                   // ports / segmentation as optional parameters
    const TlvRegistry* registry = nullptr;  // null: built-in names only
};

// Fills the short-message fields of pdu (command id set by the caller).
// Returns 0, or the status the submit fails with (ESME_RINVMSGLEN when the
// data cannot travel, e.g. over 254 octets in SMPP 3.3; bad hex gives
// ESME_RINVMSGLEN too).
//
// Options understood besides optional parameters: "ServiceType=",
// "Validity=" (minutes, or an SMPP time "YYMMDDhhmmsstnnp"),
// "ScheduleDeliveryTime=" (SMPP time), "Priority=", "SourceTON=",
// "SourceNPI=", "DestTON=", "DestNPI="; other items (LocalUser= ...) are ignored.
// Addresses: a leading "+" gives TON 1 / NPI 1 (the "+" is dropped), digits
// only TON 0 / NPI 1, anything else alphanumeric TON 5 / NPI 0.
// The record's reference and local user are not sent; receipt_message_id is
// sent in a server's receipt (deliver_sm with flags 0x04).
uint32_t build_short_message(const common::SubmitRecord& m, const CodingContext& ctx, Pdu& pdu);

// Message flags -> registered_delivery (0x02 -> 1, 0x40 -> 2) and back.
uint8_t registered_delivery_for_flags(uint32_t flags);
uint32_t flags_for_registered_delivery(uint8_t rd);

// Converts a received submit_sm / deliver_sm / data_sm (link name left
// empty; smsc_message_id is the SMSC's id of a receipt; options carry
// ServiceType, Validity and SMPPOption_<name> items). Never fails: what cannot
// be interpreted is passed on as it came (a malformed UDH stays in the data,
// an unparsable receipt keeps its raw text).
void parse_short_message(const Pdu& pdu, const CodingContext& ctx, common::DeliveryRecord& out);

// ---- delivery receipts --------------------------------------------------------

struct ReceiptText {
    std::string id, sub, dlvrd, submit_date, done_date, stat, err, text;
};

// Parses "id:%s sub:%s dlvrd:%s submit date:%s done date:%s stat:%s err:%s
// text:%s" and its common variants: keys in any case and order, "_" for the
// blank in the date keys, missing fields, blanks after the colon, "state:"
// and "error:" spellings. True when at least id and stat were found.
bool parse_receipt_text(std::string_view text, ReceiptText& out);

// Receipt state -> message flags bits 0x08 delivered / 0x10 in transit /
// 0x20 failed; 0 when unknown.
uint32_t receipt_flags_for_stat(std::string_view stat);
uint32_t receipt_flags_for_message_state(uint8_t state);
// Message flags of a receipt -> message_state (2 delivered, 1 enroute, 5 undeliverable).
uint8_t message_state_for_flags(uint32_t flags);

}  // namespace protocols::smpp
