// The HTTP submission handler: a request with recipients and a text or data
// becomes request files in the outbound queue, answered with their message
// identifiers once every file is in place.
#pragma once

#include <string>

#include "frontends/http/http_server.h"
#include "frontends/http/submit_shape.h"
#include "frontends/http/submit_write.h"

namespace frontends::http {

// What queueing a shaped submission came to.
struct QueuedSubmission {
    bool queued = false;
    std::string refusal;  // why not: an account refusal or "Unable to queue the message."
    WriteResult written;
};

// The account checks (quota, pre-authorisation, credits and queue limits),
// one request file per recipient and segment (or a bulk batch), the durable
// commit when configured and the charges of what was written. Nothing is
// charged for a submission that is refused.
QueuedSubmission queue_submission(const Connection& c, const SubmitParams& p,
                                  const SubmitContext& ctx, const MessageShape& shape);

// Answers one submission request completely; always true (answered).
bool handle_submission(Connection& c, Request& r);

// Registers handle_submission for the submission row of the dispatch, and
// the web menu pages.
void register_submit_handler();

}  // namespace frontends::http
