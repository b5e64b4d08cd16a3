// BuildSMSReply: the reply of a 2-way command as outbound request files.
#include "inbound/sms_reply.h"

#include "delivery/segmentation.h"
#include "frame/debug_trace.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "inbound/inbound_store.h"
#include "radio/charset/charset.h"
#include "records/accounting.h"
#include "store/request_file.h"
#include "store/retry.h"
#include "support/events.h"

namespace inbound {

namespace {

constexpr std::string_view kTrace = "BuildSMSReply";

void account_reply(const store::SmsMessage& msg, const std::string& path) {
    if (!records::accounting_callback_enabled("SMSSend")) return;
    records::AccountingMessage m = accounting_message(msg, kTwoWayUser);
    records::AccountingNotice n;
    n.message_id = store::message_id_of(path);
    records::SMSAccountingCallback("SMSSend", m, n);
}

}  // namespace

store::SmsMessage reply_base(const store::SmsMessage& original, const ReplyRoute& route) {
    store::SmsMessage r;
    r.phone_number = original.sender;
    r.sender = original.phone_number;
    r.submitted_by = "Auto-response to " + original.sender;
    r.submit_user = std::string(kTwoWayUser);
    r.route = route.route;
    r.smpp_options = route.smpp_options;
    return r;
}

std::vector<std::string> BuildSMSReply(const store::SmsMessage& original, std::string_view reply,
                                       const ReplyRoute& route) {
    std::vector<std::string> paths;
    if (original.sender.empty()) {
        frame::debug_trace(kTrace, "No sender to reply to, reply dropped");
        return paths;
    }
    store::SmsMessage base = reply_base(original, route);
    const frame::GlobalSettings& g = frame::settings();
    radio::charset::UnicodeSettings us{g.disable_http_unicode_sms, g.test_unicode_sms_for_iso88591,
                                       g.test_unicode_sms_for_ascii};
    delivery::SegmentLimits limits = delivery::segment_limits_from_settings();
    const bool unicode = radio::charset::UTF8StringRequiresUnicodeEncoding(reply, us);
    if (unicode) frame::debug_trace(kTrace, "SMS message must be submitted with Unicode");
    const std::string dir = frame::outbound_queue_dir(nullptr, base.route, "", 0);

    if (!unicode && radio::charset::utf8_septet_count(reply) <= limits.text_septets) {
        base.data = std::string(reply);
        std::optional<std::string> p =
            store::create_request_file(dir, "req", store::format_request(base));
        if (p) paths.push_back(*p);
    } else {
        delivery::SegmentPlan plan;
        std::string error;
        const uint8_t dcs = unicode ? delivery::unicode_dcs(0) : 0;
        if (!delivery::split_text(reply, unicode, dcs, limits, plan, error)) {
            frame::debug_tracef(kTrace, "Reply not built: %s", error.c_str());
            return paths;
        }
        if (!plan.split) {
            const delivery::Segment& s = plan.segments.front();
            base.data = s.data;
            base.udh = s.udh;
            base.dcs = plan.dcs;
            base.binary = true;
            std::optional<std::string> p =
                store::create_request_file(dir, "req", store::format_request(base));
            if (p) paths.push_back(*p);
        } else {
            delivery::QueuedSegments q = delivery::queue_segments(dir, base, plan);
            if (q.failed) {
                // A reply with a part missing would reach the phone garbled:
                // none of it is sent, and the action is tried again.
                for (const std::string& p : q.paths) platform::remove_file(p);
                q.paths.clear();
            }
            paths = std::move(q.paths);
        }
    }
    if (paths.empty()) {
        frame::debug_tracef(kTrace, "Unable to create reply in %s", dir.c_str());
        return paths;
    }
    for (const std::string& p : paths) account_reply(base, p);
    support::SetEventForInterface("SMSOut", base.route);
    return paths;
}

}  // namespace inbound
