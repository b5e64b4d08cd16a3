// Client-side socket helpers of the outbound HTTP client: name resolution
// into a list of addresses to try in turn, connecting one socket to one
// numeric address, and the state test of a connection kept between requests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/net.h"

namespace platform {

struct ResolvedAddress {
    int family = 0;    // AF_INET or AF_INET6
    std::string text;  // numeric form ("192.0.2.1", "::1")
};

// The distinct addresses of host for TCP, in the resolver's order (a
// numeric host gives itself). Empty when the name does not resolve.
std::vector<ResolvedAddress> resolve_tcp_addresses(const std::string& host);

// A new socket of the address's family connected to it within timeout_ms;
// invalid with err set (ETIMEDOUT, the connect error) otherwise.
Socket connect_address(const ResolvedAddress& address, unsigned port, unsigned timeout_ms,
                       int& err);

// State of a connection kept open between requests, tested without waiting.
enum class IdleState {
    Quiet,    // nothing to read: usable
    Pending,  // bytes wait to be read that nobody asked for
    Closed,   // the peer closed it (readable with nothing to read), or an error
};
IdleState idle_connection_state(int fd);

}  // namespace platform
