// The HTTP submission handler: a request with recipients and a text or data
// becomes request files in the outbound queue, answered with their message
// identifiers once every file is in place.
#pragma once

#include "frontends/http/http_server.h"

namespace frontends::http {

// Answers one submission request completely; always true (answered).
bool handle_submission(Connection& c, Request& r);

// Registers handle_submission for the submission row of the dispatch, and
// the web menu pages.
void register_submit_handler();

}  // namespace frontends::http
