// The HTTP submission handler: parameters, account checks, files, answer.
#include "frontends/http/submit.h"

#include <initializer_list>

#include "frame/queue_dirs.h"
#include "frontends/http/dlists.h"
#include "frontends/http/submit_bulk.h"
#include "frontends/http/submit_menu.h"
#include "frontends/http/submit_params.h"
#include "frontends/http/submit_push.h"
#include "frontends/http/submit_shape.h"
#include "frontends/http/submit_write.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "records/accounting.h"
#include "store/request_file.h"
#include "support/directories.h"

namespace frontends::http {

namespace {

constexpr const char* kTag = "SubmitHttpSMS";

bool has_any_param(std::string_view request, std::initializer_list<std::string_view> names) {
    std::string v;
    for (std::string_view n : names)
        if (GetRequestParameter(request, n, v, 2)) return true;
    return false;
}

bool has_param_prefix(std::string_view request, std::initializer_list<std::string_view> prefixes) {
    std::string name;
    for (std::string_view p : prefixes)
        if (FindParameterNameByPrefix(request, p, 1, name, 256)) return true;
    return false;
}

// The content families that this gateway does not build yet answer a clear
// error instead of being sent as a plain message.
std::string unavailable_family(std::string_view request) {
    if (has_any_param(request, {"MMSText", "MMSImageFile", "MMSFile", "MMSFile[]", "MMSURL",
                                "MMSWAPPush", "MMSSMSPush"}))
        return "MMS submissions are not available.";
    if (has_any_param(request, {"RingToneDataText", "RingToneDataFile", "RingToneDataURL"}))
        return "Ring tone submissions are not available.";
    if (has_any_param(
            request, {"PictureMessageDataText", "PictureMessageDataFile", "PictureMessageDataURL"}))
        return "Picture message submissions are not available.";
    if (has_any_param(request, {"EMSText"})) return "EMS submissions are not available.";
    if (has_any_param(request, {"VoiceMail", "VoiceMailMessageCount"}))
        return "Voice mail indications are not available.";
    // Settings in the older browser, SyncML and IMPS forms are described by
    // parameters this gateway does not read; OTAXMLSettings takes any document.
    if (has_param_prefix(request, {"OTA_", "OTASYNCML_", "OTAIMPS_"}))
        return "OTA settings by parameters are not available; submit the document as OTAXMLSettings.";
    return "";
}

bool send(Connection& c, const std::string& bytes) {
    if (!SendData(c, bytes)) c.keep_alive = false;
    return true;
}

bool invalid(Connection& c, const std::string& message) {
    platform::trace(kTag, message);
    return send(c, invalid_parameter_page(c, message));
}

}  // namespace

QueuedSubmission queue_submission(const Connection& c, const SubmitParams& p,
                                  const SubmitContext& ctx, const MessageShape& shape) {
    QueuedSubmission q;
    const bool local = !p.local_route.empty();
    records::SubmissionCharge charge;
    if (!local && !c.account.empty()) {
        charge.account = c.account;
        charge.recipients = p.recipients;
        charge.segments = uint32_t(shape.parts.size());
        records::AccountingMessage& m = charge.message;
        m.account = c.account;
        m.submit_ip = c.peer;
        m.sender = p.sender;
        m.binary = shape.binary;
        m.pid = p.pid;
        m.dcs = shape.dcs;
        m.udh = p.udh;
        m.message = p.text;
        m.receipt_requested = p.receipt_requested;
        m.acct_info = p.acct_info;
        m.route = p.smsc_route;
        m.smpp_options = p.smpp_options;
        m.validity = p.validity;
        m.service_type = p.service_type;
        if (!records::check_http_submission(charge)) {
            q.refusal = charge.refusal;
            return q;
        }
    }

    std::vector<FileTarget> targets;
    targets.reserve(p.recipients.size());
    for (size_t i = 0; i < p.recipients.size(); ++i) {
        FileTarget t{p.recipients[i], p.smsc_route, ""};
        if (i < charge.preauth.routes.size() && !charge.preauth.routes[i].empty())
            t.route = charge.preauth.routes[i];
        if (i < charge.preauth.user_data.size()) t.user_data = charge.preauth.user_data[i];
        targets.push_back(std::move(t));
    }
    const bool bulk = !local && use_bulk_queue(targets.size());
    WriteResult& written = q.written;
    written = bulk ? write_bulk_batch(frame::bulk_q_dir(), p, ctx, shape, targets)
                   : write_submission(p, ctx, shape, targets, c.user_entry);
    // With DurableQueue the answer waits until the files are on stable
    // storage (one group commit); files that cannot be made durable are
    // taken back and the submission is refused, uncharged.
    if (bulk ? written.durable_failed : !store::commit_request_files(written.paths)) {
        q.refusal = "Unable to queue the message.";
        return q;
    }
    if (!local && !c.account.empty())
        records::charge_http_submission(charge, written.per_recipient);

    // Not one file could be written (disk full, no queue directory): that
    // is no success, and nothing was charged.
    if (written.files.empty() && !targets.empty()) {
        q.refusal = "Unable to queue the message.";
        return q;
    }
    q.queued = true;
    return q;
}

bool handle_submission(Connection& c, Request& r) {
    const std::string_view request = r.bytes;
    SubmitSettings settings = submit_settings_now();
    SubmitContext ctx{c.account, c.forced_sender_address, c.peer};
    SubmitParams p;
    read_submit_params(request, ctx, settings, p);

    std::string error, push_kind;
    if (is_push_submission(request) && !read_push_submission(request, p, push_kind, error))
        return invalid(c, error);
    if (!p.receipt_message_id.empty())
        inject_receipt(p, &tracked_http_message, platform::local_now());
    error = validate_submit_params(p);
    if (!error.empty()) return invalid(c, error);
    if (push_kind.empty()) error = unavailable_family(request);
    if (!error.empty()) return invalid(c, error);

    MessageShape shape;
    if (push_kind.empty() ? !shape_message(p, shape_settings_now(), shape, error)
                          : !shape_push_message(p, delivery::segment_limits_from_settings(), shape, error))
        return invalid(c, error);
    if (!push_kind.empty()) shape.kind = push_kind;

    QueuedSubmission q = queue_submission(c, p, ctx, shape);
    if (!q.queued) return send(c, refusal_page(c, q.refusal));
    const std::string tmpl = support::GetRealProgramDirectory() + "HTML/SUBMITOK.HTM";
    return send(c, result_page(c, tmpl, p.continue_url, result_lines(q.written)));
}

void register_submit_handler() {
    register_route_handler(Route::Submit, &handle_submission);
    register_web_menu_handler();
    register_dlist_handlers();
}

}  // namespace frontends::http
