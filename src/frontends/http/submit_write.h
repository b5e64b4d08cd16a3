// Writing an HTTP submission: the request file of each recipient and
// segment, the queue it goes to, the logs and counters of every file, and
// the result and error pages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "frontends/http/http_server.h"
#include "frontends/http/submit_params.h"
#include "frontends/http/submit_shape.h"

namespace frontends::http {

// What one recipient's files carry besides the message.
struct FileTarget {
    std::string recipient;
    std::string route;      // pre-authorised route, else the SMSCRoute parameter
    std::string user_data;  // from the pre-authorisation
};

// The recipient-independent part of a request file: the section header
// through "Binary=" (the bulk queue's message template without its extra
// keys).
std::string submit_template_text(const SubmitParams& p, const SubmitContext& ctx,
                                 const MessageShape& shape, const SubmitPart& part);
// The ExtraHttpArgList lines.
void append_extra_args(std::string& text, const SubmitParams& p);
// The web-log and account-log lines of one file.
void log_submitted_file(const SubmitParams& p, const SubmitContext& ctx, const MessageShape& shape,
                        const SubmitPart& part, const std::string& id,
                        const std::string& recipient);

// The text of one request file ("[SMS]", or "[SMS-IN]" for a local
// delivery), every line written through the request-file codec.
std::string submit_request_text(const SubmitParams& p, const SubmitContext& ctx,
                                const MessageShape& shape, const SubmitPart& part,
                                const FileTarget& target);

struct WrittenFile {
    std::string message_id;  // file name without extension
    std::string recipient;
};
struct WriteResult {
    std::vector<WrittenFile> files;
    std::vector<uint32_t> per_recipient;  // files written for each recipient
    std::vector<std::string> paths;       // every file written, to be made durable
    bool durable_failed = false;          // bulk batch kept although its sync failed
};

// Writes every file of the submission, each complete under its final name
// before the next one is begun; a file that cannot be created is skipped
// (and traced). entry: the account's cache entry for the running queue
// number with SeparateUserQueues (may be null).
WriteResult write_submission(const SubmitParams& p, const SubmitContext& ctx,
                             const MessageShape& shape, const std::vector<FileTarget>& targets,
                             UserCacheEntry* entry);

// "MessageID=%s, Recipient=%s" lines of the result list.
std::vector<std::string> result_lines(const WriteResult& w);

// The result page, from the template file (path) when it can be read, else
// the built-in page.
std::string result_page(const Connection& c, std::string_view template_path,
                        std::string_view continue_url, const std::vector<std::string>& lines);
// A validation failure: 200 for a browser, else 400.
std::string invalid_parameter_page(const Connection& c, std::string_view message);
// An account refusal: 200 for a browser, else 503.
std::string refusal_page(const Connection& c, std::string_view refusal);

}  // namespace frontends::http
