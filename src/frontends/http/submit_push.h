// WAP push and over-the-air settings submitted over HTTP: the parameters
// that describe the document, compiled and wrapped into a push PDU that
// travels as binary SMS to the WAP push port.
#pragma once

#include <string>
#include <string_view>

#include "frontends/http/submit_params.h"
#include "frontends/http/submit_shape.h"

namespace frontends::http {

// UDH of a push that fits one message: 16-bit ports, destination 2948
// (WAP push), source 9200.
inline constexpr std::string_view kPushPortUdh = "0605040B8423F0";

// True when the request names a WAP push or OTA family this gateway builds
// (WAPURL, WAPSL, WAPSI*, WAPPUSHADV_*, WAPBookmark, OTABookmark,
// OTAXMLSettings, OTAOMA_*).
bool is_push_submission(std::string_view request);

// Reads the push parameters of the request into p: the PDU as binary data
// with the push port header, PushPID and PushDCS. kind receives the log
// kind ("WAPPush", "WAPBookmark", "WAPOTA", "OTAOMA"). False with error when
// the document cannot be built.
bool read_push_submission(std::string_view request, SubmitParams& p, std::string& kind,
                          std::string& error);

// Makes p carry pdu as a binary push message.
void set_push_message(SubmitParams& p, std::string_view pdu);

// The segments of a push PDU (p.text, hex): one message with the port
// header when the PDU fits beside it, else parts of the segment size less
// the ports-and-concatenation header ("0B05040B8423F00003" + reference,
// total, number; "0C05040B8423F00804" with the 16-bit reference). False
// with error beyond 100 segments.
bool shape_push_message(const SubmitParams& p, const delivery::SegmentLimits& limits,
                        MessageShape& out, std::string& error,
                        delivery::ReferenceSource next_reference = &delivery::default_reference);

}  // namespace frontends::http
