// Receipts of modem links: a modem gives only a one-octet message reference
// (TP-MR) for each send, so the tracking key is built from the reference and
// the recipient; a decoded status report is matched back by its time stamp
// or its reference and stored as a receipt record for the submitter.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace inbound {

// "%02X-%s": the reference and the last 8 characters of the recipient (the
// whole recipient when it is shorter).
std::string modem_registration_key(unsigned reference, std::string_view recipient);

// The reference of a "+CMGS:" answer (blanks skipped, decimal digits); 0 when
// there is none.
unsigned cmgs_reference(std::string_view response);

// After "+CMGS:" answered a send that asked for a receipt: stores the
// registration key for the message (message_file: the request file name,
// its base up to the first "." is the gateway's id). Only references 1 to
// 255 register; true when stored.
bool register_modem_reference(std::string_view link, std::string_view cmgs_response,
                              std::string_view message_file, std::string_view submit_user,
                              std::string_view sender, std::string_view recipient);

// The time stamp key of a report: each of the seven service centre time
// stamp octets (swapped BCD) read as a decimal number and printed "%02X",
// "-", the last 8 characters of the recipient.
std::string modem_timestamp_key(const std::array<uint8_t, 7>& scts_octets,
                                std::string_view recipient);

// A decoded SMS-STATUS-REPORT.
struct ModemStatusReport {
    std::string link_name;
    uint8_t reference = 0;  // TP-MR
    uint8_t status = 0;     // TP-ST
    std::array<uint8_t, 7> scts_octets{};  // as received (swapped BCD)
    // Decoded service centre time stamp and discharge time (two-digit years).
    int sc_year = 0, sc_month = 0, sc_day = 0, sc_hour = 0, sc_minute = 0;
    int dt_year = 0, dt_month = 0, dt_day = 0, dt_hour = 0, dt_minute = 0;
    std::string recipient;   // the report's recipient address
    std::string smsc;        // the SMSC address
    std::string own_number;  // the modem's own number (addressee of unmatched reports)
    std::string report_text; // the long "Report: ..." text
};

// What a modem report gives: the gateway's message id ("unknown" when not
// found), the submitting user and the original sender.
struct ModemReportMatch {
    bool found = false;
    std::string message_id = "unknown";
    std::string submit_user;
    std::string sender;
};
// Looks the report up by its time stamp key, then by its reference key.
ModemReportMatch lookup_modem_report(std::string_view link, const ModemStatusReport& report);

// The receipt text of a modem report (the common form).
std::string modem_receipt_text(const ModemStatusReport& report, std::string_view message_id);

// Matches, words and stores a status report as a receipt record (".rec"),
// unless its status is temporary (0x20-0x3F: nothing is stored) or the
// "SMSIN" accounting refuses it. Returns the record's path, empty when none
// was stored.
std::string process_modem_status_report(const ModemStatusReport& report);

}  // namespace inbound
