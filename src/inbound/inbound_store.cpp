// Received messages and receipts become [SMS-IN] records in the inbound
// store; the protocol engines' receive callbacks end here.
#include "inbound/inbound_store.h"

#include <cstdint>
#include <optional>
#include <string>

#include "delivery/routing.h"
#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "platform/text.h"
#include "protocols/cimd/cimd.h"
#include "protocols/cimd/packet.h"
#include "protocols/smpp/smpp.h"
#include "protocols/ucp/frame.h"
#include "protocols/ucp/ucp.h"
#include "records/counters.h"
#include "records/message_log.h"
#include "store/request_codec.h"
#include "store/request_file.h"
#include "support/ini_profile.h"

namespace inbound {

namespace {

constexpr std::string_view kTraceName = "StoreInboundMessage";
constexpr std::string_view kOptionPrefix = "SMPPOption_";
constexpr size_t kOptionPartMax = 99;
constexpr size_t kOptionsMax = store::kSmppOptionsSize - 1;

// Calls fn(name, value) for every "name=value" item of an extra fields text
// until it returns false. Items without "=" are skipped.
template <class F>
void for_each_item(std::string_view extra, F fn) {
    size_t pos = 0;
    while (pos <= extra.size()) {
        size_t end = extra.find(';', pos);
        if (end == std::string_view::npos) end = extra.size();
        std::string_view item = platform::trim(extra.substr(pos, end - pos));
        size_t eq = item.find('=');
        if (eq != std::string_view::npos) {
            if (!fn(platform::trim(item.substr(0, eq)), platform::trim(item.substr(eq + 1))))
                return;
        }
        pos = end + 1;
    }
}

std::string link_setting(std::string_view link_name, std::string_view key) {
    return std::string(
        platform::trim(frame::link_string(frame::link_section_name(link_name), key, "")));
}

}  // namespace

std::string extra_field(std::string_view extra, std::string_view name) {
    std::string found;
    for_each_item(extra, [&](std::string_view n, std::string_view v) {
        if (!platform::iequals(n, name)) return true;
        found.assign(v);
        return false;
    });
    return found;
}

std::string collect_smpp_options(std::string_view extra) {
    std::string out;
    for_each_item(extra, [&](std::string_view n, std::string_view v) {
        if (!platform::istarts_with(n, kOptionPrefix)) return true;
        std::string name(n.substr(kOptionPrefix.size(), kOptionPartMax));
        if (name.empty()) return true;
        if (support::SMSIniGetProfileString("SMPPOptions", name, "").empty()) return true;
        std::string item = std::string(kOptionPrefix) + name + "=" +
                           std::string(v.substr(0, std::min(v.size(), kOptionPartMax)));
        size_t need = item.size() + (out.empty() ? 0 : 2);
        if (out.size() + need > kOptionsMax) return true;  // a cut option would be garbage
        if (!out.empty()) out += "; ";
        out += item;
        return true;
    });
    return out;
}

std::string write_inbound_record(std::string_view ext, std::string_view content,
                                 std::string_view trace_name) {
    const bool rct = platform::iequals(ext, "rct");
    const bool receipt = rct || platform::iequals(ext, "rec");
    uint64_t queued = uint64_t(records::counter_today(records::Counter::InQueueSize)) +
                      records::counter_today(records::Counter::ReceiptQueueSize);
    std::string dir = frame::inbound_write_dir(queued);
    std::optional<std::string> path = store::create_request_file(dir, ext, content);
    if (!path) {
        frame::debug_tracef(trace_name, "Unable to create inbound file in %s", dir.c_str());
        return {};
    }
    records::add_counter(records::Counter::Received);
    records::add_counter(rct ? records::Counter::ReceiptQueueSize : records::Counter::InQueueSize);
    if (receipt)
        frame::inbound_receipt_event().set();
    else
        frame::inbound_sms_event().set();
    return *path;
}

std::string store_inbound_message(const InboundMessage& m) {
    // What the extra fields carry.
    std::string service_type =
        m.service_type.empty() ? extra_field(m.extra, "ServiceType") : m.service_type;
    std::string local_user = extra_field(m.extra, "RouteToLocalUser");
    std::string received_smsc = extra_field(m.extra, "ReceivedSMSC");
    const bool resolve = frame::parse_bool(extra_field(m.extra, "ResolveReceiptID"));
    std::string smpp_options =
        m.smpp_options.empty() ? collect_smpp_options(m.extra) : m.smpp_options;

    // The link's prefix rewriting (an unknown recipient stays unknown).
    std::string sender = m.sender;
    std::string recipient = m.recipient;
    if (!sender.empty())
        delivery::prefix_convert(sender, link_setting(m.link_name, "InSenderPrefixConvert"));
    if (!recipient.empty())
        delivery::prefix_convert(recipient, link_setting(m.link_name, "InRecipPrefixConvert"));

    // Everything of a link may belong to one local user; the inbound
    // threads deliver it there.
    if (local_user.empty()) local_user = link_setting(m.link_name, "RouteLocal");

    const bool is_receipt = (m.flags & store::kFlagReceipt) != 0;
    std::string_view ext = resolve                                       ? "rct"
                           : is_receipt && !m.receipt_message_id.empty() ? "rec"
                                                                         : "in";

    store::SmsMessage r;
    r.link_name = m.link_name;
    r.sender = std::move(sender);
    r.phone_number = std::move(recipient);
    r.udh = m.udh;
    // One octet each on the air; the record holds nothing wider.
    r.pid = uint8_t(unsigned(m.pid) & 0xFF);
    r.dcs = uint8_t(unsigned(m.dcs) & 0xFF);
    r.scts = m.scts;
    r.data = m.data;
    r.binary = m.binary;
    // The receipt state keys need the receipt bit as well.
    r.flags = uint32_t(m.flags);
    if (is_receipt || resolve) r.receipt_message_id = m.receipt_message_id;
    r.service_type = std::move(service_type);
    r.smpp_options = std::move(smpp_options);
    r.local_user_route = std::move(local_user);
    r.received_smsc = std::move(received_smsc);

    // The file, its counts and the wake-up; the link's count once it is safe.
    std::string path = write_inbound_record(
        ext, store::format_request(r, store::RecordLayout::Inbound), kTraceName);
    if (path.empty()) return path;
    records::add_link_counter(m.link_name, records::LinkCounter::Received);
    return path;
}

int receive_message(std::string_view callback_name, const InboundMessage& m) {
    if (frame::debug_on()) {
        std::string line = platform::strprintf(
            "inbound message:  sender=%s, recip=%s, pid=%X, dcs=%X, msgFlags=%X, udh=%s, msg=%s",
            m.sender.c_str(), m.recipient.c_str(), unsigned(m.pid), unsigned(m.dcs),
            unsigned(m.flags), m.udh.c_str(), m.data.c_str());
        if (!m.extra.empty()) line += ", extraParms=" + m.extra;
        frame::debug_trace(callback_name, line);
    }
    // Stored first: a message that is not on disk must not be acknowledged,
    // nor logged as received (the SMSC delivers it again).
    if (store_inbound_message(m).empty()) return kRefuseNotStored;
    if (!frame::parse_bool(extra_field(m.extra, "ResolveReceiptID"))) {
        records::LogContent content;
        content.binary = m.binary;
        content.pid = unsigned(m.pid);
        content.dcs = unsigned(m.dcs);
        content.udh = m.udh;
        content.data = m.data;
        records::write_inbound_log(m.sender, m.link_name, m.recipient, content,
                                   m.receipt_message_id, extra_field(m.extra, "ReceiptMsgIdOrig"));
    }
    return 0;
}

namespace {

InboundMessage from_callback(std::string_view link, std::string_view sender,
                             std::string_view recipient, int pid, int dcs, std::string_view udh,
                             std::string_view message, int flags, int binary,
                             std::string_view smsc_id, std::string_view extra) {
    InboundMessage m;
    m.link_name = link;
    m.sender = sender;
    m.recipient = recipient;
    m.pid = pid;
    m.dcs = dcs;
    m.udh = udh;
    m.data = message;
    m.flags = flags;
    m.binary = binary != 0;
    m.receipt_message_id = smsc_id;
    m.extra = extra;
    return m;
}

// The receive callback of a protocol's full form (flags, receipt id, extra
// parameters): stores the message, then answers with to_status of the result.
template <class ToStatus>
auto full_form_callback(const char* callback_name, ToStatus to_status) {
    return [callback_name, to_status](
               std::string_view link, std::string_view sender, std::string_view recipient, int pid,
               int dcs, std::string_view udh, std::string_view message, int flags, int binary,
               std::string_view smsc_id, std::string_view extra) {
        return to_status(
            receive_message(callback_name, from_callback(link, sender, recipient, pid, dcs, udh,
                                                         message, flags, binary, smsc_id, extra)));
    };
}

}  // namespace

void install_receive_callbacks() {
    namespace smpp = protocols::smpp;
    namespace ucp = protocols::ucp;
    namespace cimd = protocols::cimd;
    smpp::SMPPSetReceiveMessageCallback(
        full_form_callback("SMPPReceiveMessageCallback", [](int st) { return st; }));
    // UCP has no "system error"; "operation not allowed" makes the SMSC keep
    // the message.
    ucp::UCPSetReceiveMessageCallback(full_form_callback(
        "UCPReceiveMessageCallback", [](int st) { return st == 0 ? 0 : ucp::EC_NOT_ALLOWED; }));
    cimd::CIMDSetReceiveMessageCallback(
        [](std::string_view link, std::string_view sender, std::string_view recipient, int pid,
           int dcs, std::string_view udh, std::string_view message, int binary) {
            // The older form cannot refuse: its result is not looked at.
            receive_message(
                "CIMDReceiveMessageCallback",
                from_callback(link, sender, recipient, pid, dcs, udh, message, 0, binary, "", ""));
            return 1;
        });
    // A refusal is answered with "general system error".
    cimd::CIMDSetReceiveMessageCallbackEx(full_form_callback(
        "CIMDReceiveMessageCallbackEx", [](int st) { return st == 0 ? 0 : cimd::EC_GENERAL; }));
}

}  // namespace inbound
