// The SMSC link worker ("ThreadProcessModem"): one thread per (link index,
// thread number) that brings its link up through the connection cycle of its
// kind, serves the outbound queue over it and waits a growing delay after
// every loss. The kinds plug in through link_kind.h.
#pragma once

#include <string>

#include "links/core/link_kind.h"
#include "store/request_file.h"

namespace links {

// --- local delivery ---------------------------------------------------------------------

// Before the route decision the queue pass offers every routable message to
// local delivery: a message whose recipient is a local user is handed to
// inbound processing instead of being sent. Delivered: the worker
// deletes the request file. Kept: the message stays queued (delivery failed
// for now). NotLocal: it is sent as usual.
enum class LocalDelivery { NotLocal, Delivered, Kept };
using LocalDeliveryHook = LocalDelivery (*)(const std::string& request_path,
                                            const store::SmsMessage& msg);
// nullptr restores the default (nothing is local).
void set_local_delivery_hook(LocalDeliveryHook fn);

// --- the worker -------------------------------------------------------------------------

// Body of "ThreadProcessModem" (installed with frame::set_link_worker).
void link_worker_main(const std::string& arg, unsigned link, unsigned thread);
// Installs the worker body, the receive callbacks and the failure receipt
// hook; called once by the entry routine before the service starts, after
// the link kinds have registered (register_link_kinds).
void register_link_workers();

// Tests: every piece of the module's process-wide state back to its start-up
// value (local-delivery hook, gateway-wide throttle, queue cache lists, and
// each registered kind's own state). The kind registrations stay.
void reset_links_state_for_tests();

}  // namespace links
