// Writing an HTTP submission: request files, queues, logs, counters and the
// answer pages.
#include "frontends/http/submit_write.h"

#include <mutex>

#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "records/counters.h"
#include "records/message_log.h"
#include "store/message_id.h"
#include "store/request_codec.h"
#include "store/request_file.h"

namespace frontends::http {

namespace {

constexpr std::string_view kNoCache =
    "Expires: Tue, 01 Jan 1980 1:00:00 GMT\r\nCache-Control: no-cache";
constexpr size_t kTemplateLineMax = 2048;
constexpr std::string_view kLocalInboundRoute = "~SMSIN";

std::string message_id_of(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.resize(dot);
    return name;
}

// Every occurrence of token replaced.
std::string replace_all(std::string text, std::string_view token, std::string_view value) {
    size_t pos = 0;
    while ((pos = text.find(token, pos)) != std::string::npos) {
        text.replace(pos, token.size(), value);
        pos += value.size();
    }
    return text;
}

std::string page(const Connection& c, std::string_view status, std::string_view body) {
    std::string out = platform::strprintf(
        "%s %.*s\r\n%sContent-Type: text/html\r\n%.*s\r\n", http_version(c), int(status.size()),
        status.data(), connection_header(c), int(kNoCache.size()), kNoCache.data());
    out += platform::strprintf("Content-Length: %u\r\n\r\n", unsigned(body.size()));
    out += body;
    return out;
}

// The queue directory of one recipient's files.
std::string queue_dir_for(const SubmitParams& p, const SubmitContext& ctx, const FileTarget& target,
                          size_t position, UserCacheEntry* entry) {
    if (!p.local_route.empty()) {
        uint64_t queued = uint64_t(records::counter_today(records::Counter::InQueueSize)) +
                          records::counter_today(records::Counter::ReceiptQueueSize);
        return frame::inbound_write_dir(queued);
    }
    const bool separate = frame::settings().separate_user_queues;
    std::string subdir;
    uint32_t n = uint32_t(position);
    if (separate) {
        subdir = ctx.account;
        if (entry) {
            std::lock_guard<std::mutex> lock(entry->lock);
            n = entry->queue_file_number++;
        }
    }
    return frame::outbound_queue_dir(p.delayed ? &p.send_time : nullptr, target.route, subdir, n);
}

}  // namespace

std::string submit_template_text(const SubmitParams& p, const SubmitContext& ctx,
                                 const MessageShape& shape, const SubmitPart& part) {
    using store::Key;
    const bool local = !p.local_route.empty();
    std::string t(local ? store::kInboundSection : store::kRequestSection);
    t += "\r\n";
    if (!ctx.account.empty()) store::append_key(t, Key::SubmitUser, ctx.account);
    store::append_key(t, Key::SubmittedBy, ctx.peer);
    if (!p.sender.empty()) store::append_key(t, Key::Sender, p.sender);
    if (p.reply_requested) store::append_key(t, Key::ReplyRequested, "Yes");
    if (p.receipt_requested) store::append_key(t, Key::ReceiptRequested, "Yes");
    if (p.receipt_delivered) store::append_key(t, Key::ReceiptDelivered, "Yes");
    if (p.receipt_failed) store::append_key(t, Key::ReceiptFailed, "Yes");
    if (p.receipt_intransit) store::append_key(t, Key::ReceiptIntransit, "Yes");
    if (!p.receipt_message_id.empty())
        store::append_key(t, Key::ReceiptMessageId, p.receipt_message_id);
    if (local && p.local_route != kLocalInboundRoute)
        store::append_key(t, Key::RouteToLocalUser, p.local_route);
    if (!p.validity.empty()) store::append_key(t, Key::Validity, p.validity);
    if (!p.service_type.empty()) store::append_key(t, Key::ServiceType, p.service_type);
    if (!p.billing_info.empty()) store::append_key(t, Key::BillingInfo, p.billing_info);
    if (!p.acct_info.empty()) store::append_key(t, Key::AcctInfo, p.acct_info);
    if (!p.smpp_options.empty()) store::append_key(t, Key::SmppOptions, p.smpp_options);
    store::append_key(t, Key::Data, part.data);
    if (!part.udh.empty()) store::append_key(t, Key::Udh, part.udh);
    if (p.pid) store::append_key(t, Key::Pid, platform::strprintf("%02X", p.pid));
    if (shape.dcs) store::append_key(t, Key::Dcs, platform::strprintf("%02X", shape.dcs));
    if (shape.binary) store::append_key(t, Key::Binary, "1");
    return t;
}

void append_extra_args(std::string& t, const SubmitParams& p) {
    for (const auto& [name, value] : p.extra_args) {
        if (!store::append_extra_key(t, name, value))
            platform::tracef("SubmitHttpSMS", "ExtraHttpArgList name %s not written", name.c_str());
    }
}

std::string submit_request_text(const SubmitParams& p, const SubmitContext& ctx,
                                const MessageShape& shape, const SubmitPart& part,
                                const FileTarget& target) {
    using store::Key;
    std::string t = submit_template_text(p, ctx, shape, part);
    store::append_key(t, Key::PhoneNumber, target.recipient);
    store::append_key(t, p.local_route.empty() ? Key::SmscRoute : Key::ModemName, target.route);
    if (!target.user_data.empty()) store::append_key(t, Key::UserData, target.user_data);
    append_extra_args(t, p);
    return t;
}

void log_submitted_file(const SubmitParams& p, const SubmitContext& ctx, const MessageShape& shape,
                        const SubmitPart& part, const std::string& id,
                        const std::string& recipient) {
    records::LogContent content{shape.binary, p.pid, shape.dcs, part.udh, part.data};
    records::write_web_log(ctx.peer, ctx.account, id, shape.kind, recipient, content, p.sender);
    records::write_account_log(ctx.account, "SMSSubmit", recipient, ctx.peer, id, shape.kind,
                               content, p.sender);
}

WriteResult write_submission(const SubmitParams& p, const SubmitContext& ctx,
                             const MessageShape& shape, const std::vector<FileTarget>& targets,
                             UserCacheEntry* entry) {
    WriteResult w;
    const bool local = !p.local_route.empty();
    const std::string_view ext = local ? "in" : "req";
    for (size_t i = 0; i < targets.size(); ++i) {
        const FileTarget& target = targets[i];
        const std::string dir = queue_dir_for(p, ctx, target, i, entry);
        const bool live = dir.find("/DELAYQ/") == std::string::npos;
        uint32_t written = 0;
        const uint32_t total = uint32_t(shape.parts.size());
        const uint32_t reference = shape.split ? store::next_message_id() : 0;
        for (uint32_t k = 0; k < total; ++k) {
            std::string text = submit_request_text(p, ctx, shape, shape.parts[k], target);
            std::optional<std::string> path =
                shape.split ? store::create_segment_file(dir, target.recipient, reference, total,
                                                         k + 1, ext, text)
                            : store::create_request_file(dir, ext, text);
            if (!path) {
                platform::tracef("SubmitHttpSMS", "Unable to create request file in %s",
                                 dir.c_str());
                continue;
            }
            ++written;
            w.paths.push_back(*path);
            std::string id = message_id_of(*path);
            if (local) {
                records::add_counter(records::Counter::InQueueSize);
            } else {
                if (live) records::add_counter(records::Counter::OutQueueSize);
                log_submitted_file(p, ctx, shape, shape.parts[k], id, target.recipient);
            }
            w.files.push_back({std::move(id), target.recipient});
        }
        w.per_recipient.push_back(written);
    }
    if (!local && !w.files.empty())
        records::add_counter(records::Counter::Submitted, uint32_t(w.files.size()));
    return w;
}

std::vector<std::string> result_lines(const WriteResult& w) {
    std::vector<std::string> out;
    out.reserve(w.files.size());
    for (const WrittenFile& f : w.files)
        out.push_back("MessageID=" + f.message_id + ", Recipient=" + f.recipient);
    return out;
}

std::string result_page(const Connection& c, std::string_view template_path,
                        std::string_view continue_url, const std::vector<std::string>& lines) {
    std::string body;
    std::optional<std::string> tmpl;
    if (!template_path.empty()) tmpl = platform::read_file(std::string(template_path), 1u << 20);
    if (tmpl) {
        size_t pos = 0;
        while (pos < tmpl->size()) {
            size_t end = tmpl->find('\n', pos);
            if (end == std::string::npos) end = tmpl->size();
            std::string line = tmpl->substr(pos, end - pos);
            pos = end + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.size() > kTemplateLineMax) line.resize(kTemplateLineMax);
            if (line.find("@@ContinueURL@@") != std::string::npos)
                line = replace_all(line, "@@ContinueURL@@", html_escape(continue_url));
            if (line.find("@@SubmitInfo@@") != std::string::npos) {
                for (const std::string& l : lines)
                    body += replace_all(line, "@@SubmitInfo@@", html_escape(l)) + "\r\n";
                continue;
            }
            body += line + "\r\n";
        }
    } else {
        body =
            "<HTML>\r\n<HEAD><TITLE>Message Submitted</TITLE></HEAD>\r\n<BODY>\r\n"
            "<p>Message Submitted<p>\r\n";
        body += "<a href=\"" + html_escape(continue_url) + "\">Continue</a>\r\n";
        for (const std::string& l : lines) body += html_escape(l) + "\r\n";
        body += "<p>\r\n</BODY></HTML>\r\n";
    }
    return page(c, "200 OK", body);
}

std::string invalid_parameter_page(const Connection& c, std::string_view message) {
    std::string body =
        "<HTML><HEAD><TITLE>\r\nInvalid Parameter\r\n</TITLE></HEAD><BODY><H1>\r\n"
        "Error:  Invalid Parameter\r\n</H1>\r\n";
    body += html_escape(message);
    body += "\r\n</BODY></HTML>\r\n";
    return page(c, c.browser ? "200 OK" : "400 Bad Request", body);
}

std::string refusal_page(const Connection& c, std::string_view refusal) {
    std::string r = html_escape(refusal);
    std::string body = "<HTML><HEAD><TITLE>\r\n" + r +
                       "\r\n</TITLE></HEAD><BODY><H1>\r\nError:  " + r + "\r\n</H1>\r\n" + r +
                       "\r\n</BODY></HTML>\r\n";
    return page(c, c.browser ? "200 OK" : "503 Service Unavailable", body);
}

}  // namespace frontends::http
