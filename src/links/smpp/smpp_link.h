// The SMPP connection cycle of the link worker: connection roles, the
// separate receiver connection, the receive-queue threads, and the
// synchronous and windowed (asynchronous) submit sessions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "links/core/link_kind.h"
#include "protocols/common/message.h"
#include "store/request_file.h"

namespace links {

// The submit's options as one text: the message's SMPP options, then
// "LocalUser=", "ServiceType=" and "Validity=" (the message's, else
// default_validity), each only when present, joined by "; ".
std::string smpp_option_text(const store::SmsMessage& msg, std::string_view default_validity);

// What the engine is handed for one submit: the message fields, and as
// options the message's SMPP options, then "LocalUser", "ServiceType" and
// "Validity" (the message's, else default_validity), each only when present.
// Every value stays one option: a ';' inside one never makes another.
protocols::common::SubmitRecord smpp_submit_record(const OutboundMessage& m,
                                                   const store::SmsMessage& msg,
                                                   std::string_view default_validity);

// The engine's 32-bit result as the classification sees it: its own codes
// 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD are -1, -2, -3; peer statuses stay.
int64_t smpp_status_code(uint32_t engine_code);

// Thread number beyond max(TransmitterCount, ReceiverCount): the cycle logs
// "Stopping transmitter" and the worker thread should end.
bool smpp_thread_beyond_counts(const LinkSettings& s, unsigned thread_number);

// Stops the separate receiver and receive-queue threads the calling worker
// thread started (waiting up to 15 s per group). The cycle does it itself
// when it leaves on shutdown or restart; a worker thread that ends calls it
// (it also runs when the thread exits).
void stop_smpp_link_threads();

// Asynchronous submits of every link still waiting for their response
// (tests and diagnostics).
size_t smpp_async_pending_total();

// The connection cycle of worker thread w.thread_number: its connection role,
// one attempt and, when it comes up, the session.
void run_smpp_cycle(WorkerState& w);

// Switches the engine's PDU trace on when Debug is on and NoDebugProtocol
// is off, else off.
void apply_smpp_debug_mode(bool debug, bool no_debug_protocol);

// Registers the "SMPP - " kind with the core, and the duties that set the
// engine's debug mode at start-up and on every settings reload.
void register_smpp_link_kind();

}  // namespace links
