// Modem references and status reports.
#include "inbound/modem_receipts.h"

#include <string>

#include "frame/debug_trace.h"
#include "frame/settings.h"
#include "inbound/inbound_store.h"
#include "inbound/receipt_thread.h"
#include "inbound/receipts.h"
#include "platform/text.h"
#include "records/message_log.h"
#include "store/request_codec.h"
#include "support/tracking.h"

namespace inbound {

namespace {

constexpr std::string_view kTraceName = "ProcessStatusReport";
constexpr size_t kKeyRecipientChars = 8;

std::string_view recipient_tail(std::string_view recipient) {
    return recipient.size() > kKeyRecipientChars
               ? recipient.substr(recipient.size() - kKeyRecipientChars)
               : recipient;
}

bool delivered_status(uint8_t st) {
    return st <= 0x02;
}
bool temporary_status(uint8_t st) {
    return st >= 0x20 && st <= 0x3F;
}

}  // namespace

std::string modem_registration_key(unsigned reference, std::string_view recipient) {
    std::string tail(recipient_tail(recipient));
    return platform::strprintf("%02X-%s", reference & 0xFF, tail.c_str());
}

unsigned cmgs_reference(std::string_view response) {
    size_t at = platform::ifind(response, "+CMGS:");
    if (at == std::string_view::npos) return 0;
    size_t i = at + 6;
    while (i < response.size() && response[i] == ' ') ++i;
    unsigned v = 0;
    bool any = false;
    while (i < response.size() && response[i] >= '0' && response[i] <= '9' && v < 100000) {
        v = v * 10 + unsigned(response[i] - '0');
        any = true;
        ++i;
    }
    return any ? v : 0;
}

bool register_modem_reference(std::string_view link, std::string_view cmgs_response,
                              std::string_view message_file, std::string_view submit_user,
                              std::string_view sender, std::string_view recipient) {
    unsigned ref = cmgs_reference(cmgs_response);
    if (ref < 1 || ref > 255) return false;
    return support::SMSCMessageIdAdd(link, modem_registration_key(ref, recipient),
                                     message_id_from_path(message_file), submit_user, sender,
                                     recipient) != 0;
}

std::string modem_timestamp_key(const std::array<uint8_t, 7>& o, std::string_view recipient) {
    std::string key;
    for (uint8_t octet : o) {
        unsigned decimal = unsigned(octet & 0x0F) * 10 + unsigned(octet >> 4);
        key += platform::strprintf("%02X", decimal);
    }
    key += '-';
    key += recipient_tail(recipient);
    return key;
}

ModemReportMatch lookup_modem_report(std::string_view link, const ModemStatusReport& report) {
    ModemReportMatch m;
    std::string recipient = report.recipient;
    std::string message_id, user, sender;
    if (support::SMSCMessageIdGet(link, modem_timestamp_key(report.scts_octets, report.recipient),
                                  message_id, user, sender, recipient) ||
        support::SMSCMessageIdGet(link, modem_registration_key(report.reference, report.recipient),
                                  message_id, user, sender, recipient)) {
        m.found = true;
        m.message_id = message_id;
        m.submit_user = user;
        m.sender = sender;
    }
    return m;
}

std::string modem_receipt_text(const ModemStatusReport& r, std::string_view message_id) {
    const bool delivered = delivered_status(r.status);
    std::string id(message_id);
    return platform::strprintf(
        "id:%s sub:001 dlvrd:%03d submit date:%02d%02d%02d%02d%02d done "
        "date:%02d%02d%02d%02d%02d stat:%s err:%03X",
        id.c_str(), delivered ? 1 : 0, r.sc_year % 100, r.sc_month, r.sc_day, r.sc_hour,
        r.sc_minute, r.dt_year % 100, r.dt_month, r.dt_day, r.dt_hour, r.dt_minute,
        delivered ? "DELIVRD" : "REJECTD", unsigned(r.status));
}

std::string process_modem_status_report(const ModemStatusReport& report) {
    ModemReportMatch match = lookup_modem_report(report.link_name, report);
    if (!match.found) match.sender = report.own_number;
    if (temporary_status(report.status)) {
        frame::debug_trace(kTraceName,
                           "Delivery report indicates temporary delivery error.  Delivery report "
                           "suppressed.");
        return {};
    }
    InboundMessage m;
    m.link_name = report.link_name;
    m.sender = report.recipient;
    m.recipient = match.sender;
    m.data = frame::settings().old_modem_receipt_format
                 ? report.report_text
                 : modem_receipt_text(report, match.message_id);
    m.flags = int(store::kFlagReceipt |
                  (delivered_status(report.status) ? store::kFlagDelivered : store::kFlagFailed));
    m.receipt_message_id = match.message_id;
    if (match.found && !match.submit_user.empty())
        m.options.emplace_back("RouteToLocalUser", match.submit_user);
    if (!report.smsc.empty()) m.options.emplace_back("ReceivedSMSC", report.smsc);

    store::SmsMessage as_record;
    as_record.link_name = m.link_name;
    as_record.sender = m.sender;
    as_record.phone_number = m.recipient;
    as_record.data = m.data;
    as_record.local_user_route = match.submit_user;
    as_record.receipt_message_id = match.message_id;
    if (account_received_receipt(as_record, match.message_id) != 0) {
        frame::debug_trace(kTraceName, "Receipt rejected by Accounting PreAuth");
        return {};
    }
    // Stored, then logged (the inbound log line of a received receipt).
    std::string path = store_inbound_message(m);
    if (path.empty()) return path;
    records::LogContent content;
    content.data = m.data;
    records::write_inbound_log(m.sender, m.link_name, m.recipient, content, m.receipt_message_id,
                               "");
    return path;
}

}  // namespace inbound
