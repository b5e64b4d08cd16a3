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
#include "inbound/inbound_routing.h"
#include "inbound/inbound_threads.h"
#include "inbound/recombine.h"
#include "inbound/wap_push.h"
#include "platform/text.h"
#include "protocols/common/message.h"
#include "records/accounting.h"
#include "records/counters.h"
#include "records/message_log.h"
#include "store/request_codec.h"
#include "store/request_file.h"
#include "store/retry.h"
#include "support/events.h"
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

namespace {

bool means_any_route(std::string_view v) {
    return platform::iequals(v, "Yes") || platform::iequals(v, "Y") || v == "1" ||
           platform::iequals(v, "TRUE") || platform::iequals(v, "On");
}

// Where the link sends what it receives instead of the inbound store:
// RouteLocal already stands in the record; ReRouteReceived names a route
// ("Yes": any route). A local user "ReRouteReceived-<route>" names one too.
std::string reroute_target(const InboundMessage& m, std::string& local_user) {
    if (platform::istarts_with(local_user, kReRoutePrefix)) {
        std::string route = local_user.substr(kReRoutePrefix.size());
        local_user.clear();
        return route;
    }
    if (!local_user.empty()) return {};
    std::string rr = link_setting(m.link_name, "ReRouteReceived");
    return means_any_route(rr) ? std::string("any") : rr;
}

// A received message handed to another route: an [SMS] request in that
// route's queue (a segment under its segment file name).
StoreResult reroute_message(const InboundMessage& m, const store::SmsMessage& in,
                            const std::string& route, std::string* path) {
    store::SmsMessage r;
    r.phone_number = in.phone_number;
    r.sender = in.sender;
    r.udh = in.udh;
    r.pid = in.pid;
    r.dcs = in.dcs;
    r.data = in.data;
    r.binary = in.binary;
    r.flags = in.flags & (store::kFlagReceiptRequested | store::kFlagNonDeliveryReceiptRequested);
    r.service_type = in.service_type;
    r.smpp_options = in.smpp_options;
    r.received_smsc = in.received_smsc;
    r.submit_user = std::string(kReRoutePrefix) + m.link_name;
    if (!platform::iequals(route, "any")) r.route = route;

    records::AccountingMessage am = accounting_message(r, r.submit_user);
    records::PreAuthAnswer answer;
    if (records::SMSAccountingPreAuth("SMSSend", am, {}, 1, answer) != 0) {
        frame::debug_trace("ProcessInboundSMS", "Message rejected by Accounting PreAuth");
        return StoreResult::Dropped;
    }

    const std::string dir = frame::outbound_queue_dir(nullptr, r.route, "", 0);
    std::optional<std::string> p;
    const UdhInfo udh = parse_udh_info(r.udh);
    const bool segment = udh.concat;
    const uint32_t ref = udh.reference, total = udh.total, seq = udh.sequence;
    if (segment) {
        // One message's segments stay together: keyed by its sender and
        // recipient, so that two senders' sets never share a name.
        p = store::create_segment_file(dir, r.sender + "_" + r.phone_number, ref, total, seq, "req",
                                       store::format_request(r, store::RecordLayout::Segment));
    } else {
        p = store::create_request_file(dir, "req", store::format_request(r));
    }
    if (!p) {
        frame::debug_tracef(kTraceName, "Unable to create re-routed message in %s", dir.c_str());
        return StoreResult::Failed;
    }
    records::add_counter(records::Counter::Received);
    support::SetEventForInterface("SMSOut", r.route);
    if (path) *path = *p;
    return StoreResult::ReRouted;
}

}  // namespace

records::AccountingMessage accounting_message(const store::SmsMessage& m,
                                              std::string_view account) {
    records::AccountingMessage a;
    a.account = std::string(account);
    a.recipient = m.phone_number;
    a.submit_ip = m.submitted_by;
    a.sender = m.sender;
    a.binary = m.binary;
    a.pid = m.pid;
    a.dcs = m.dcs;
    a.udh = m.udh;
    a.message = m.data;
    a.receipt_requested = (m.flags & store::kFlagReceiptRequested) != 0;
    a.route = m.route;
    a.smpp_options = m.smpp_options;
    a.validity = m.validity;
    a.service_type = m.service_type;
    return a;
}

StoreResult store_inbound(const InboundMessage& m, std::string* path) {
    InboundRecord rec = inbound_record(m);
    // A receipt whose message id is still to be resolved waits in the store
    // for the receipt thread, and a receipt is never re-sent as a message:
    // only the rest is routed at once.
    const bool resolve = rec.ext == "rct";
    const bool receipt = (rec.msg.flags & store::kFlagReceipt) != 0;
    std::string local = rec.msg.local_user_route;
    std::string route;
    if (!resolve) route = reroute_target(m, local);
    if (receipt) route.clear();
    rec.msg.local_user_route = local;

    if (!resolve && !local.empty() && !is_wap_push_for_mms(rec.msg.udh, m.link_name)) {
        std::string user = InboundRoutingLookup(rec.msg.phone_number, rec.msg.service_type, local);
        if (!user.empty() && !is_inbound_store_user(user)) {
            store::SmsMessage copy = rec.msg;
            copy.local_user_route = user;
            const std::string dir = frame::user_queue_dir(user);
            std::optional<std::string> p =
                store::create_request_file(dir, "req", store::format_request(copy));
            if (!p) {
                frame::debug_tracef(kTraceName, "Unable to create message in %s", dir.c_str());
                return StoreResult::Failed;
            }
            records::add_counter(records::Counter::Received);
            log_local_delivery(user, copy, store::message_id_of(*p));
            if (frame::ini_bool(
                    receipt ? "DuplicateUserReceiptsFor2Way" : "DuplicateUserMessagesFor2Way",
                    false))
                duplicate_for_two_way(copy, receipt, "a");
            records::add_link_counter(m.link_name, records::LinkCounter::Received);
            if (path) *path = *p;
            return StoreResult::LocalUser;
        }
    }
    if (!route.empty()) {
        StoreResult r = reroute_message(m, rec.msg, route, path);
        if (r == StoreResult::ReRouted)
            records::add_link_counter(m.link_name, records::LinkCounter::Received);
        return r;
    }
    // The file, its counts and the wake-up; the link's count once it is safe.
    std::string p = write_inbound_record(
        rec.ext, store::format_request(rec.msg, store::RecordLayout::Inbound), kTraceName);
    if (p.empty()) return StoreResult::Failed;
    records::add_link_counter(m.link_name, records::LinkCounter::Received);
    if (path) *path = p;
    return StoreResult::Stored;
}

std::string store_inbound_message(const InboundMessage& m) {
    std::string path;
    store_inbound(m, &path);
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
    const bool resolve = frame::parse_bool(common::option(m.options, "ResolveReceiptID"));
    if (!resolve && frame::settings().accounting_extended) {
        records::AccountingMessage am;
        am.account = common::option(m.options, "RouteToLocalUser");
        am.recipient = m.recipient;
        am.sender = m.sender;
        am.binary = m.binary;
        am.pid = uint8_t(m.pid);
        am.dcs = uint8_t(m.dcs);
        am.udh = m.udh;
        am.message = m.data;
        am.service_type = common::option(m.options, "ServiceType");
        records::AccountingNotice n;
        n.smsc_name = m.link_name;
        n.smsc_receipt_msg_id = m.receipt_message_id;
        uint32_t answer = records::SMSAccountingCallback("SMSIN", am, n);
        // "Do not accept": acknowledged to the SMSC, nothing kept.
        if (answer == records::kAccountingDoNotAccept) return 0;
        if (answer != 0) return int(answer);
    }
    // Stored first: a message that is not on disk must not be acknowledged,
    // nor logged as received (the SMSC delivers it again).
    StoreResult stored = store_inbound(m, nullptr);
    if (stored == StoreResult::Failed) return kRefuseNotStored;
    if (stored == StoreResult::Dropped) return 0;
    if (!resolve) {
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
