// WAP push and OTA submissions.
#include "frontends/http/submit_push.h"

#include <initializer_list>

#include "frame/settings.h"
#include "frontends/http/http_request.h"
#include "platform/text.h"
#include "protocols/common/fields.h"
#include "wbxml/wap_push.h"

namespace frontends::http {

namespace {

constexpr size_t kUrlMax = 1024;
constexpr size_t kDocumentMax = 8192;

std::string param(std::string_view request, std::string_view name, size_t size = kUrlMax) {
    std::string v;
    GetRequestParameter(request, name, v, size);
    return v;
}

bool has_prefix_param(std::string_view request, std::string_view prefix) {
    std::string name;
    return FindParameterNameByPrefix(request, prefix, 1, name, 256);
}

// " name=\"value\"" when value is set (escaped for an attribute).
std::string attr(std::string_view name, std::string_view value) {
    if (value.empty()) return "";
    return " " + std::string(name) + "=\"" + html_escape(value) + "\"";
}

std::string service_indication(std::string_view request, const SubmitParams& p) {
    std::string url = param(request, "WAPSIURL");
    if (url.empty()) url = param(request, "WAPURL");
    std::string text = param(request, "WAPSIText", kDocumentMax);
    if (text.empty()) text = p.binary ? "" : p.text;
    return "<si><indication" + attr("href", url) + attr("si-id", param(request, "WAPSIID")) +
           attr("action", param(request, "WAPSIAction")) +
           attr("created", param(request, "WAPSICreated")) +
           attr("si-expires", param(request, "WAPSIExpires")) + ">" + html_escape(text) +
           "</indication></si>";
}

std::string bookmark(std::string_view url, std::string_view name) {
    return "<wap-provisioningdoc version=\"1.0\"><characteristic type=\"BOOKMARK\">"
           "<parm name=\"NAME\"" + attr("value", name) + "/><parm name=\"URI\"" +
           attr("value", url) + "/></characteristic></wap-provisioningdoc>";
}

}  // namespace

bool is_push_submission(std::string_view request) {
    std::string v;
    for (std::string_view n : {"WAPURL", "WAPSL", "WAPBookmark", "OTABookmark", "OTAXMLSettings"})
        if (GetRequestParameter(request, n, v, 2)) return true;
    for (std::string_view pre : {"WAPSI", "WAPPUSHADV_", "OTAOMA_"})
        if (has_prefix_param(request, pre)) return true;
    return false;
}

void set_push_message(SubmitParams& p, std::string_view pdu) {
    const frame::GlobalSettings& g = frame::settings();
    p.binary = true;
    p.text = protocols::common::to_hex(pdu);
    p.udh = std::string(kPushPortUdh);
    p.pid = g.push_pid;
    p.dcs = g.push_dcs;
    p.source_port = p.dest_port = 0;
}

bool shape_push_message(const SubmitParams& p, const delivery::SegmentLimits& limits,
                        MessageShape& out, std::string& error,
                        delivery::ReferenceSource next_reference) {
    out = MessageShape{};
    out.binary = true;
    out.dcs = p.dcs;
    out.kind = "WAPPush";
    const size_t octets = p.text.size() / 2;
    const size_t room = limits.binary_octets;
    if (octets + kPushPortUdh.size() / 2 <= room) {
        out.parts.push_back({p.text, std::string(kPushPortUdh)});
        return true;
    }
    const size_t header = limits.concat_ref_16bit ? 13 : 12;
    const size_t chunk = room > header ? room - header : 1;
    const size_t total = (octets + chunk - 1) / chunk;
    if (total > delivery::kHttpMaxSegments) {
        error = "Message too long (more than 100 segments).";
        return false;
    }
    unsigned ref = next_reference();
    if (limits.concat_ref_16bit) ref = (ref << 8) | next_reference();
    for (size_t i = 0; i < total; ++i) {
        std::string udh = limits.concat_ref_16bit
                              ? platform::strprintf("0C05040B8423F00804%04X%02X%02X", ref & 0xFFFF,
                                                    unsigned(total), unsigned(i + 1))
                              : platform::strprintf("0B05040B8423F00003%02X%02X%02X", ref & 0xFF,
                                                    unsigned(total), unsigned(i + 1));
        out.parts.push_back({p.text.substr(i * chunk * 2, chunk * 2), std::move(udh)});
    }
    out.split = true;
    return true;
}

bool read_push_submission(std::string_view request, SubmitParams& p, std::string& kind,
                          std::string& error) {
    wbxml::PushRequest push;
    push.kind = wbxml::PushContentKind::Xml;
    push.max_size = 140 * 100;  // at most the 100 segments of a submission
    std::string sl = param(request, "WAPSL");
    std::string bookmark_url = param(request, "WAPBookmark");
    if (bookmark_url.empty()) bookmark_url = param(request, "OTABookmark");
    std::string settings = param(request, "OTAXMLSettings", kDocumentMax);
    if (settings.empty()) settings = param(request, "OTAOMA_XML", kDocumentMax);

    if (has_prefix_param(request, "WAPPUSHADV_")) {
        kind = "WAPPush";
        push.content_type = param(request, "WAPPUSHADV_ContentType");
        push.application_id = param(request, "WAPPUSHADV_AppID");
        push.headers = param(request, "WAPPUSHADV_Headers", kDocumentMax);
        push.security = param(request, "WAPPUSHADV_Security");
        push.pin = param(request, "WAPPUSHADV_PIN");
        std::string hex = param(request, "WAPPUSHADV_ContentHex", kDocumentMax);
        if (!hex.empty()) {
            push.kind = wbxml::PushContentKind::Hex;
            push.content = hex;
        } else {
            push.content = param(request, "WAPPUSHADV_Content", kDocumentMax);
            if (push.content.find('<') == std::string::npos) push.kind = wbxml::PushContentKind::Text;
        }
        if (push.content_type.empty() && push.kind != wbxml::PushContentKind::Xml) {
            error = "WAPPUSHADV_ContentType is required for content that is not XML.";
            return false;
        }
    } else if (!sl.empty()) {
        kind = "WAPPush";
        push.content = "<sl" + attr("href", sl) + attr("action", param(request, "WAPSLAction")) + "/>";
        push.application_id = "x-wap-application:wml.ua";
    } else if (!param(request, "WAPURL").empty() || has_prefix_param(request, "WAPSI")) {
        kind = "WAPPush";
        push.content = service_indication(request, p);
        push.application_id = "x-wap-application:wml.ua";
    } else if (!bookmark_url.empty()) {
        kind = "WAPBookmark";
        std::string name = param(request, "OTABookmarkName");
        if (name.empty()) name = p.binary ? "" : p.text;
        if (name.empty()) name = bookmark_url;
        push.content = bookmark(bookmark_url, name);
    } else if (!settings.empty()) {
        kind = param(request, "OTAOMA_XML").empty() ? "WAPOTA" : "OTAOMA";
        push.content = settings;
        push.security = param(request, "OTAOMA_SEC");
        push.pin = param(request, "OTAOMA_PIN");
    } else {
        error = "WAP push and OTA submissions need WAPURL, WAPSL, WAPPUSHADV_Content, "
                "WAPBookmark or OTAXMLSettings.";
        return false;
    }
    std::string pdu;
    if (!wbxml::CreateWAPPushBinary(push, pdu, error)) return false;
    set_push_message(p, pdu);
    return true;
}

}  // namespace frontends::http
