// The two records that cross the engine boundary: what a link submits and
// what an engine hands up. Every engine takes and gives these; the
// positional operations are adapters that fill them.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace protocols::common {

// One option by name: "ServiceType", "Validity", "BillingInfo", an SMPP
// optional parameter ("user_message_reference", "SMPPOption_<name>") ...
// Names keep their spelling; lookups ignore case.
using Option = std::pair<std::string, std::string>;
using Options = std::vector<Option>;

// Value of the first option named name (case-insensitive); null when absent.
const std::string* find_option(const Options& options, std::string_view name);
// The same as text, "" when absent.
std::string option(const Options& options, std::string_view name);

// "name=value; name=value" as the positional operations take it: items split
// at ';', a name ends at its first '=', blanks around names and values
// ignored, empty items skipped, an item without '=' has an empty value. A
// backslash before '\\', ';', '=' or a blank stands for that character (so
// that a value can hold them); any other backslash is itself.
Options parse_option_text(std::string_view text);
// Joins items as "name=value; name=value", escaped so that parse_option_text
// gives back exactly these items: whatever a name or value holds, it can
// never end its item or add another one. Plain names and values are written
// as they are.
std::string join_option_text(const Options& options);
// Appends the one item name=value, escaped as join_option_text does.
void append_option_item(std::string& text, std::string_view name, std::string_view value);

// A message a link submits (or the SMPP server delivers to a client).
struct SubmitRecord {
    std::string sender, recipient;
    int pid = 0, dcs = 0;
    std::string udh_hex;  // user data header including its length octet
    std::string data;     // UTF-8 text, or hex octets when binary
    int flags = 0;        // 0x02 receipt, 0x40 non-delivery receipt, 0x04 a receipt itself ...
    bool binary = false;
    // The gateway's id of the message: traces, and the id a receipt comes
    // back under once the engine remembers it (UCP, CIMD).
    std::string reference;
    std::string local_user;          // submitting account, for the receipt's route
    std::string receipt_message_id;  // SMPP server: receipted_message_id of a receipt
    Options options;                 // everything else the submit carries
};

// A message or receipt an engine hands up.
struct DeliveryRecord {
    std::string link_name;  // empty on the SMPP server side and unnamed inbound connections
    std::string sender, recipient;
    int pid = 0, dcs = 0;
    std::string udh_hex;
    std::string message;  // UTF-8 text, or hex when binary
    int flags = 0;
    bool binary = false;
    std::string smsc_message_id;  // of a receipt
    std::string scts;             // service centre time stamp, when the protocol has one
    // ServiceType, Validity, SMPPOption_<name>, RouteToLocalUser, ResolveReceiptID ...
    Options options;
};

}  // namespace protocols::common
