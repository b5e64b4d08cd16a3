// The push access protocol ("/PAP", "/PPG"): a multipart request whose
// first part addresses the push and whose second part is the content,
// answered with a PAP 1.0 push-response.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "frontends/http/http_server.h"

namespace frontends::http {

// What the multipart request says, before anything is built.
struct PapRequest {
    std::string push_id;
    std::vector<std::string> addresses;  // as given, "wappush=" and the rest still on
    std::string content_type;            // of the content part
    std::string headers;                 // the content part's push headers, one per line
    std::string application_id;
    std::string content;
};

// Parses the request (headers and body); "" on success, else the refusal text.
std::string parse_pap_request(std::string_view request, std::string_view body, PapRequest& out);

// An address of the control document as a recipient: "wappush=" dropped, cut
// at "@" and at "/TYPE=" (any case).
std::string pap_recipient(std::string_view address);

// The answers.
std::string pap_refusal_body(std::string_view text);
std::string pap_success_body(std::string_view push_id);

bool handle_pap(Connection& c, Request& r);
void register_pap_handler();

}  // namespace frontends::http
