// Replies of the 2-way commands: the answer text becomes request files in
// the outbound queue, addressed back to the sender of the received message.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "store/request_codec.h"

namespace inbound {

// The account replies are submitted and accounted under.
inline constexpr std::string_view kTwoWayUser = "localsystem-2way";

// How a reply goes out.
struct ReplyRoute {
    std::string route;         // SMSCRoute (the arrival route with 2WayReplySameServer)
    std::string smpp_options;  // options copied from the received message
};

// The request record every file of a reply starts from: PhoneNumber the
// original sender, Sender the original recipient, SubmittedBy "Auto-response
// to <sender>", SubmitUser "localsystem-2way", route and options.
store::SmsMessage reply_base(const store::SmsMessage& original, const ReplyRoute& route);

// Writes the reply: one request file for a text that fits one message (as
// text, or as UCS-2 hex with DCS 8 when it needs Unicode), else one segment
// file per part with the concatenation header (8-bit reference, 16-bit with
// ConcatRef16Bit). Each file is accounted with "SMSSend" for
// "localsystem-2way" and the route's "SMSOut" event is signalled. Returns
// the paths written (empty on failure, traced under "BuildSMSReply").
std::vector<std::string> BuildSMSReply(const store::SmsMessage& original, std::string_view reply,
                                       const ReplyRoute& route);

}  // namespace inbound
