// GSM modem links (serial and by-id devices, "IPModem - " over TCP): one
// modem per link worker, initialised at each cycle, messages sent as
// SMS-SUBMIT PDUs, received messages and status reports polled or taken from
// the device's unsolicited deliveries and handed to the inbound store, and
// the recovery steps when the modem stops answering.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "links/core/link_kind.h"
#include "radio/modem_channel.h"

namespace links {

void register_modem_link_kinds();

// One connection cycle of a modem link (registered for both modem kinds).
void run_modem_cycle(WorkerState& w);

// Submit codes of a modem session: the modem refused with a text listed in
// ModemRejectErrorCodes, or with any other text (retried).
inline constexpr int64_t kModemRejected = 1;
inline constexpr int64_t kModemRefused = 2;
store::ErrorClass classify_modem_code(int64_t code);
// The code of a refused send from the modem's answer.
int64_t modem_refusal_code(std::string_view response, const std::vector<std::string>& reject);

// The SMS-SUBMIT of an outbound message on a modem with these settings.
radio::pdu::BuiltPdu build_modem_pdu(const OutboundMessage& m, const radio::ModemSettings& s,
                                     std::string_view link_validity);

// A PDU line the modem delivered: a message goes to the inbound store, a
// status report becomes a receipt to be matched by its reference key, a
// temporary status is suppressed. True when a message or report was stored.
bool store_modem_pdu(std::string_view link_name, const radio::ModemSettings& s,
                     std::string_view pdu_hex);
// A text-mode delivery.
bool store_modem_text(std::string_view link_name, const radio::ModemSettings& s,
                      std::string_view sender, std::string_view text);

// Shortens the channel's waits for tests (ms per second; 0 restores 1000),
// and the time a modem must have failed before the reboot step runs.
void set_modem_timing_for_tests(unsigned second_ms, unsigned reboot_after_s);

}  // namespace links
