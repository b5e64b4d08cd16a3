// Receipt tracking registrations and the receipts the gateway makes itself.
#include "inbound/receipts.h"

#include <string>

#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "inbound/inbound_store.h"
#include "inbound/receipt_thread.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "radio/charset/charset.h"
#include "records/message_log.h"
#include "store/request_codec.h"
#include "store/retry.h"
#include "support/tracking.h"

namespace inbound {

namespace {

constexpr size_t kReceiptTextChars = 19;

// The first n characters (code points) of UTF-8 text; a byte that does not
// start a valid sequence counts as one character, and no sequence is split.
std::string first_chars(std::string_view text, size_t n) {
    size_t i = 0;
    for (size_t count = 0; count < n && i < text.size(); ++count) {
        radio::charset::next_code_point(text, i);
    }
    return std::string(text.substr(0, i));
}

// The message's text as a receipt quotes it: texts as they are; binary data
// only when its coding is a text coding (GSM 7-bit with its header, UCS-2),
// other binary data has no text to quote.
std::string message_text(const store::SmsMessage& msg) {
    if (!msg.binary) return msg.data;
    if (radio::charset::dcs_is_ucs2(msg.dcs)) return radio::charset::ucs2_hex_to_utf8(msg.data);
    if (radio::charset::dcs_is_gsm7(msg.dcs)) {
        std::string utf8;
        radio::charset::GSM7ToUTF8String(msg.udh, msg.data, utf8);
        return utf8;
    }
    return {};
}

struct GatewayReceipt {
    std::string_view trace_name;
    std::string_view link_name;
    std::string message_id;
    std::string text;
    uint32_t state = 0;  // kFlagFailed / kFlagInTransit
    std::string smpp_options;
};

// The [SMS-IN] record of a receipt the gateway makes, addressed back to the
// submitter: stored as ".rec", counted and logged like a received receipt.
std::string store_gateway_receipt(const store::SmsMessage& msg, const GatewayReceipt& g) {
    store::SmsMessage r;
    r.link_name = g.link_name;
    r.local_user_route = msg.submit_user;
    r.sender = msg.phone_number;
    r.phone_number = msg.sender;
    r.data = g.text;
    r.flags = store::kFlagReceipt | g.state;
    r.receipt_message_id = g.message_id;
    r.service_type = msg.service_type;
    r.validity = msg.validity;
    r.smpp_options = g.smpp_options;

    std::string path = write_inbound_record(
        "rec", store::format_request(r, store::RecordLayout::GatewayReceipt), g.trace_name);
    if (path.empty()) return path;
    records::LogContent content;
    content.data = g.text;
    records::write_inbound_log(msg.phone_number, g.link_name, msg.sender, content, g.message_id,
                               "");
    return path;
}

void failure_receipt_adapter(const std::string& request_path, const store::SmsMessage& msg,
                             std::string_view link_name, std::string_view error_text,
                             uint32_t error_code) {
    (void)error_text;
    time_t created = platform::file_mtime(request_path).value_or(platform::now());
    make_rejection_receipt(request_path, msg, link_name, error_code, created);
}

}  // namespace

std::string message_id_from_path(std::string_view path) {
    size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return std::string(name.substr(0, name.find('.')));
}

void register_smsc_message_id(std::string_view tracking_link, std::string_view smsc_id,
                              std::string_view request_path, const store::SmsMessage& msg) {
    if (smsc_id.empty()) return;
    if (!(msg.flags & (store::kFlagReceiptRequested | store::kFlagNonDeliveryReceiptRequested)))
        return;
    std::string id = message_id_from_path(request_path);
    if (!support::SMSCMessageIdAdd(tracking_link, smsc_id, id, msg.submit_user, msg.sender,
                                   msg.phone_number)) {
        frame::debug_tracef("SMSCMessageIdAdd", "Unable to record message id %.*s for %.*s",
                            int(smsc_id.size()), smsc_id.data(), int(tracking_link.size()),
                            tracking_link.data());
        return;
    }
    // A receipt that came before this response may be waiting for it.
    if (receipts_waiting()) frame::inbound_receipt_event().set();
}

std::string gateway_receipt_text(std::string_view message_id, bool delivered,
                                 std::string_view state, uint32_t error_code, time_t submitted,
                                 time_t done, std::string_view text) {
    platform::LocalTime s = platform::to_local(submitted);
    platform::LocalTime d = platform::to_local(done);
    std::string id(message_id);
    std::string st(state);
    std::string out = platform::strprintf(
        "id:%s sub:001 dlvrd:%03d submit date:%02d%02d%02d%02d%02d done "
        "date:%02d%02d%02d%02d%02d stat:%s err:%03X text:",
        id.c_str(), delivered ? 1 : 0, s.year % 100, s.month, s.day, s.hour, s.minute, d.year % 100,
        d.month, d.day, d.hour, d.minute, st.c_str(), unsigned(error_code & 0xFFF));
    out += first_chars(text, kReceiptTextChars);
    return out;
}

std::string make_rejection_receipt(const std::string& request_path, const store::SmsMessage& msg,
                                   std::string_view link_name, uint32_t error_code,
                                   time_t created) {
    if (!(msg.flags & (store::kFlagReceiptRequested | store::kFlagNonDeliveryReceiptRequested)))
        return {};
    GatewayReceipt g;
    g.trace_name = "GenerateFailureReceipt";
    g.link_name = link_name;
    g.message_id = message_id_from_path(request_path);
    g.text = gateway_receipt_text(g.message_id, false, "REJECTD", error_code, created,
                                  platform::now(), message_text(msg));
    g.state = store::kFlagFailed;
    g.smpp_options = msg.smpp_options;
    return store_gateway_receipt(msg, g);
}

std::string make_intermediate_receipt(const std::string& request_path, const store::SmsMessage& msg,
                                      std::string_view link_name, time_t created) {
    if (!(msg.flags & store::kFlagReceiptRequested)) return {};
    const std::string section = frame::link_section_name(link_name);
    std::string state(platform::trim(frame::link_string(section, "DeliveryReportEnrouteStat", "")));
    if (state.empty()) state = "ENROUTE";
    std::string options(
        platform::trim(frame::link_string(section, "DeliveryReportEnrouteSMPPOptions", "")));
    GatewayReceipt g;
    g.trace_name = "GenerateIntermediateReceipt";
    g.link_name = link_name;
    g.message_id = message_id_from_path(request_path);
    g.text = gateway_receipt_text(g.message_id, true, state, 0, created, platform::now(),
                                  message_text(msg));
    g.state = store::kFlagInTransit;
    g.smpp_options = options.empty() ? msg.smpp_options : options;
    return store_gateway_receipt(msg, g);
}

void install_failure_receipt_hook() {
    store::set_failure_receipt_hook(&failure_receipt_adapter);
}

}  // namespace inbound
