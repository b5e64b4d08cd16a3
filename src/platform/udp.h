// One UDP datagram to an IPv4 address, from a given local port.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Sends data as one datagram from local_port (0: any; SO_REUSEADDR set so
// that several senders may share a well-known port) to ip:port. False when
// the address is not a dotted IPv4 address or the datagram could not be sent.
bool udp_send_datagram(const std::string& ip, uint16_t port, std::string_view data,
                       uint16_t local_port = 0);

// The next datagram on a socket bound with udp_bind, waiting at most
// timeout_ms; false on time-out or error. peer_port receives the sender's port.
bool udp_receive_datagram(int fd, std::string& data, unsigned timeout_ms,
                          uint16_t* peer_port = nullptr);

}  // namespace platform
