// The SMPP server for client accounts: listeners on SMPPPort and
// SMPPPortSSL, one thread per session (bounded by the connection caps),
// login against the account store, session limits and revalidation, the
// client's submissions (smpp_submit.h) and the delivery of the account's
// user queue to receiver and transceiver sessions.
//
// Settings of [SMSGW] besides the documented ones:
//   SMPPServerBindTimeout          seconds a connection may take to bind (120)
//   SMPPServerMaxConnections       open connections in all (1000)
//   SMPPServerMaxConnectionsPerAddress  open connections of one client address (100)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace frontends::smpp {

inline constexpr unsigned kDefaultBindTimeoutS = 120;
inline constexpr unsigned kDefaultMaxConnections = 1000;
inline constexpr unsigned kDefaultMaxConnectionsPerAddress = 100;
inline constexpr unsigned kDefaultSessionsPerUser = 4;
// Deliveries a session keeps outstanding at most, whatever the window says.
inline constexpr unsigned kMaxWindow = 1000;

// ThrottleSpeed "N[ /S[/C]]": messages, seconds (default 1), connection
// maximum (0: the global one).
struct Throttle {
    unsigned messages = 0;
    unsigned seconds = 1;
    unsigned connections = 0;
};
// False when the text does not begin with a digit.
bool parse_throttle_speed(std::string_view text, Throttle& out);

// Name of the active user flag file of a session: address "-" port "-"
// kind letter ("S" transmitter, "R" receiver, "T" transceiver) "-" account
// ".FLG" (path characters of the account replaced).
std::string active_user_flag_name(std::string_view address, unsigned port, int bind_kind,
                                  std::string_view account);

// Why a bound session must end at revalidation ("" when it may go on).
struct AccountState {
    bool exists = false;
    bool smpp_enabled = false;
    bool password_matches = false;
    bool address_allowed = false;
};
const char* revalidation_failure(const AccountState& s);

// Registers the listeners' thread starters and the engine's callbacks.
void register_smpp_frontend();

}  // namespace frontends::smpp
