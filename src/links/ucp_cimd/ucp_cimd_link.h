// UCP/EMI and CIMD2 links: the sessions the queue pass drives, the opening of
// the outbound connection, and the per-link listener that takes the SMSC's
// own connections on the link's receive port.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "links/core/link_kind.h"
#include "platform/net.h"
#include "protocols/cimd/cimd.h"
#include "protocols/common/message.h"
#include "protocols/ucp/ucp.h"

namespace links {

enum class UcpCimdKind { Ucp, Cimd };

// "UCP" or "CIMD": the word every text of the kind carries.
std::string_view kind_word(UcpCimdKind kind);

// The option text of a submit: the items present among "BillingInfo=",
// "LocalUser=" (the submitting account) and "OurMsgId=" (the gateway's
// message id), joined by "; ".
std::string ucp_cimd_option_text(const OutboundMessage& m);

// The engine's record of a submit: the gateway's id as the reference and the
// submitting account as the local user (both kept for the receipt), the
// billing information as the one option.
protocols::common::SubmitRecord ucp_cimd_submit_record(const OutboundMessage& m);

struct LinkAttempt;

// A logged-in UCP or CIMD connection: the engine session of an attempt that
// came up. The socket stays the attempt's; the session only talks over it.
class UcpCimdSession final : public LinkSession {
  public:
    UcpCimdSession(UcpCimdKind kind, WorkerState& w, const LinkAttempt& up);

    SubmitResult submit(const OutboundMessage& m) override;
    bool enquire_link() override;
    bool link_ok() override;
    void yield(bool wait) override;
    store::ErrorClass classify(int64_t code) const override;
    bool queue_full(int64_t) const override { return false; }
    // The status is asked after a failed message; enquiries wait for the
    // end of the pass.
    bool enquire_after_failure() const override { return false; }
    WindowedSubmit* windowed() override { return nullptr; }

  private:
    UcpCimdKind kind_;
    WorkerState& w_;
    std::optional<protocols::ucp::Session> ucp_;
    std::optional<protocols::cimd::Session> cimd_;
};

// One connection attempt up to the login: socket, local bind, the credit and
// quiet-hour check, connect, login. On success the socket is returned with
// the engine session of the link's kind on it; otherwise the socket is
// invalid and `failure` holds the text to report (empty when may_connect
// refused, which has recorded its own failure).
struct LinkAttempt {
    platform::Socket socket;
    std::string failure;
    std::optional<protocols::ucp::Session> ucp;    // UCP links
    std::optional<protocols::cimd::Session> cimd;  // CIMD links
};
LinkAttempt open_ucp_cimd_link(WorkerState& w, UcpCimdKind kind);

// The connection cycles: one attempt and, when it comes up, the session;
// the listener for the SMSC's own connections is started (or stopped) first.
void run_ucp_cycle(WorkerState& w);
void run_cimd_cycle(WorkerState& w);

// Registers the "UCP - " and "CIMD - " kinds with the core.
void register_ucp_cimd_link_kinds();

// Hands the link's settings to the engine (command time-out).
void set_ucp_cimd_link_options(UcpCimdKind kind, const LinkSettings& s);

// --- inbound listener ----------------------------------------------------------------

// Starts the listener ("ThreadProcessUCPReceive" / "ThreadProcessCIMDReceive")
// of a link unless one already runs for it on the same address and port; a
// listener of the link on another address or port is stopped first.
// still_wanted is asked about once a second (false: the link stopped, the
// listener and its connections end). False when the thread could not start.
bool ensure_inbound_listener(UcpCimdKind kind, const std::string& link_name,
                             const std::string& bind_ip, unsigned port,
                             std::function<bool()> still_wanted);
// Stops the link's listener and its connection threads; waits for them at
// most wait_ms. True when they have all left (or none ran).
bool stop_inbound_listener(const std::string& link_name, unsigned wait_ms = 5000);
// The port the link's listener accepts on; 0 while it is not listening.
unsigned inbound_listener_port(const std::string& link_name);
// Connection threads of the link's listener that are still running.
unsigned inbound_connection_count(const std::string& link_name);
// Connections one listener serves at once; further ones are closed at once.
inline constexpr unsigned kMaxInboundConnections = 100;
// Tests: a lower limit (0 restores kMaxInboundConnections).
void set_inbound_connection_limit_for_tests(unsigned limit);

}  // namespace links
