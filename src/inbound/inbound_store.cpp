// Received messages and receipts become [SMS-IN] records in the inbound
// store; every receive path ends here.
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
#include "protocols/common/message.h"
#include "records/counters.h"
#include "records/message_log.h"
#include "store/request_codec.h"
#include "store/request_file.h"
#include "support/ini_profile.h"

namespace inbound {

namespace {

namespace common = protocols::common;

constexpr std::string_view kTraceName = "StoreInboundMessage";
constexpr std::string_view kOptionPrefix = "SMPPOption_";
constexpr size_t kOptionPartMax = 99;
constexpr size_t kOptionsMax = store::kSmppOptionsSize - 1;

std::string link_setting(std::string_view link_name, std::string_view key) {
    return std::string(
        platform::trim(frame::link_string(frame::link_section_name(link_name), key, "")));
}

}  // namespace

std::string collect_smpp_options(const common::Options& options) {
    std::string out;
    for (const auto& [n, v] : options) {
        if (!platform::istarts_with(n, kOptionPrefix)) continue;
        std::string_view name = std::string_view(n).substr(kOptionPrefix.size(), kOptionPartMax);
        if (name.empty()) continue;
        if (support::SMSIniGetProfileString("SMPPOptions", name, "").empty()) continue;
        std::string item;
        common::append_option_item(item, std::string(kOptionPrefix) + std::string(name),
                                   std::string_view(v).substr(0, kOptionPartMax));
        size_t need = item.size() + (out.empty() ? 0 : 2);
        if (out.size() + need > kOptionsMax) continue;  // a cut option would be garbage
        if (!out.empty()) out += "; ";
        out += item;
    }
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

InboundRecord inbound_record(const InboundMessage& m) {
    // What the options carry. Each is taken by its name only: no value can
    // stand in for another option.
    std::string service_type =
        m.service_type.empty() ? common::option(m.options, "ServiceType") : m.service_type;
    std::string local_user = common::option(m.options, "RouteToLocalUser");
    std::string received_smsc = common::option(m.options, "ReceivedSMSC");
    const bool resolve = frame::parse_bool(common::option(m.options, "ResolveReceiptID"));
    std::string smpp_options =
        m.smpp_options.empty() ? collect_smpp_options(m.options) : m.smpp_options;

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
    InboundRecord out;
    out.ext = resolve ? "rct" : is_receipt && !m.receipt_message_id.empty() ? "rec" : "in";

    store::SmsMessage& r = out.msg;
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
    return out;
}

std::string store_inbound_message(const InboundMessage& m) {
    InboundRecord rec = inbound_record(m);
    // The file, its counts and the wake-up; the link's count once it is safe.
    std::string path = write_inbound_record(
        rec.ext, store::format_request(rec.msg, store::RecordLayout::Inbound), kTraceName);
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
        if (!m.options.empty()) line += ", extraParms=" + common::join_option_text(m.options);
        frame::debug_trace(callback_name, line);
    }
    // Stored first: a message that is not on disk must not be acknowledged,
    // nor logged as received (the SMSC delivers it again).
    if (store_inbound_message(m).empty()) return kRefuseNotStored;
    if (!frame::parse_bool(common::option(m.options, "ResolveReceiptID"))) {
        records::LogContent content;
        content.binary = m.binary;
        content.pid = unsigned(m.pid);
        content.dcs = unsigned(m.dcs);
        content.udh = m.udh;
        content.data = m.data;
        records::write_inbound_log(m.sender, m.link_name, m.recipient, content,
                                   m.receipt_message_id,
                                   common::option(m.options, "ReceiptMsgIdOrig"));
    }
    return 0;
}

int receive_record(std::string_view callback_name, const common::DeliveryRecord& r) {
    InboundMessage m;
    m.link_name = r.link_name;
    m.sender = r.sender;
    m.recipient = r.recipient;
    m.pid = r.pid;
    m.dcs = r.dcs;
    m.udh = r.udh_hex;
    m.data = r.message;
    m.flags = r.flags;
    m.binary = r.binary;
    m.receipt_message_id = r.smsc_message_id;
    m.options = r.options;
    // The engines' time stamps are in their protocol's own form, not the
    // record's local "%04d%02d%02d%02d%02d%02d": SCTS stays unset.
    return receive_message(callback_name, m);
}

}  // namespace inbound
