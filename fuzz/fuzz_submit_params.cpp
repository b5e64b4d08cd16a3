// Fuzz target for the HTTP submission parameters: any query becomes either a
// validation message or request file texts that load back with exactly the
// recipient, data, header and coding that were meant, whatever the values
// hold (CR, LF, NUL, ";", "Key=Value").
#include <cstdint>
#include <string>
#include <string_view>

#include "frontends/http/submit_params.h"
#include "frontends/http/submit_shape.h"
#include "frontends/http/submit_write.h"
#include "platform/text.h"
#include "store/request_codec.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

uint8_t fixed_reference() {
    return 0x11;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace frontends::http;
    std::string request = "GET /?";
    request.append(reinterpret_cast<const char*>(data), size);
    request += " HTTP/1.1\r\n\r\n";

    SubmitSettings settings;  // no list directory: nothing is read from disk
    settings.extra_http_arg_list = "Campaign;PhoneNumber;Data";
    SubmitContext ctx{"alice", "Shop,Alt", "127.0.0.1"};
    SubmitParams p;
    read_submit_params(request, ctx, settings, p);
    p.smsc_route.clear();  // route validation reads the configuration
    if (!p.receipt_message_id.empty()) inject_receipt(p, nullptr, platform::LocalTime{});
    if (!validate_submit_params(p).empty()) return 0;
    MessageShape shape;
    std::string error;
    if (!shape_message(p, ShapeSettings{}, shape, error, &fixed_reference)) return 0;
    check(!shape.parts.empty() && shape.parts.size() <= delivery::kHttpMaxSegments);
    for (size_t r = 0; r < p.recipients.size() && r < 3; ++r) {
        FileTarget target{p.recipients[r], "", ""};
        for (const SubmitPart& part : shape.parts) {
            std::string text = submit_request_text(p, ctx, shape, part, target);
            store::SmsMessage m = store::parse_request(text);
            check(m.phone_number == target.recipient.substr(0, store::kPhoneNumberSize - 1));
            check(m.route.empty() && m.link_name.empty());
            check(m.binary == shape.binary);
            check(m.dcs == shape.dcs);
            check(m.udh == part.udh.substr(0, store::kUdhSize - 1));
            check(m.submit_user == "alice");
            // The forced sender list always wins, in the caller's spelling.
            check(platform::iequals(m.sender, "Shop") || platform::iequals(m.sender, "Alt"));
            // Other control characters become blanks, and the file format
            // reads a written backslash-n as a line feed: those texts cannot
            // come back unchanged.
            bool plain =
                part.data.size() < store::kDataSize && part.data.find('\\') == std::string::npos;
            for (char ch : part.data)
                if (static_cast<unsigned char>(ch) < 32 && ch != '\r' && ch != '\n') plain = false;
            if (plain) check(m.data == part.data);
        }
    }
    return 0;
}
