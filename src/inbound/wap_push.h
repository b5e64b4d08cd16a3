// WAP push messages received on port 2948 by links with ReceiveMMS: the
// connectionless WSP push is read, and MMS notifications are queued once
// each (by content location) for the MMS side as "[MMSINQ]" records.
#pragma once

#include <string>
#include <string_view>

#include "store/request_codec.h"

namespace inbound {

inline constexpr unsigned kWapPushPort = 2948;

// A message whose UDH names destination port 2948, received on a link with
// ReceiveMMS (link section, else [SMSGW]): it is for the MMS side.
bool is_wap_push_for_mms(std::string_view udh_hex, std::string_view link_name);

inline constexpr std::string_view kMmsContentType = "application/vnd.wap.mms-message";

struct WapPush {
    bool ok = false;
    std::string error;         // "WAP Push header is missing", "WAP Push data missing"
    std::string content_type;  // well-known value or text
    std::string body;          // octets after the headers
};
// Reads a WSP push PDU (transaction id, PDU type 6, uintvar header length,
// content type, headers, body) from its octets.
WapPush parse_wap_push(std::string_view pdu);

// The X-Mms-Content-Location of an m-notification-ind (empty when absent).
std::string mms_content_location(std::string_view notification);

enum class WapPushResult {
    Queued,        // an MMS notification queued for the MMS side
    Duplicate,     // its content location was seen before: dropped
    NotProcessed,  // not an MMS notification, or not a readable push
    Failed,        // could not be queued (retry)
};
// Processes the push of a stored message (user data hex in msg.data).
WapPushResult process_wap_push(const store::SmsMessage& msg);

}  // namespace inbound
