// "/health" and "/metrics" on the web port: no login, both limited to the
// address patterns of MonitorIPAddressList ("," or ";" separated; empty
// allows every address). "/health" answers 200 while the gateway runs with
// at least one link up, else 503, with a one-line reason; "/metrics" gives
// the message counts, queue sizes, link states, SMPP sessions and HTTP
// answers by status in the Prometheus text format.
#pragma once

#include <string>
#include <utility>

#include "frontends/http/http_server.h"

namespace frontends::http {

// Status and the one-line reason of "/health".
std::pair<int, std::string> health_state();
// The "/metrics" document.
std::string metrics_text();
// A label value with '\', '"' and line feeds escaped.
std::string metric_label(std::string_view value);

// Counts one HTTP answer by status (the listener calls it for every answer).
void count_http_status(int status);

bool handle_health_metrics(Connection& c, Request& r);
// Registers the handler and the answer counter.
void register_health_metrics_handler();

}  // namespace frontends::http
