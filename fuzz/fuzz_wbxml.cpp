// Fuzz target: the document compilers and the push PDU, fed with what push
// submitters send. The first byte picks the compiler family (and, in its
// high bits, the output options); the rest is the document. Every family's
// output must start with its header, and a document the push builder takes
// must give a PDU no larger than asked.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "wbxml/compiler.h"
#include "wbxml/wap_push.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const auto family = static_cast<wbxml::Family>(data[0] % wbxml::kFamilyCount);
    wbxml::CompileOptions o;
    o.use_utf8 = !(data[0] & 0x80);
    o.oma_string_table = !(data[0] & 0x40);
    o.oma_code_pages = !(data[0] & 0x20);
    std::string_view doc(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string out;
    size_t n = wbxml::compile(family, doc, out, (data[0] & 0x10) == 0, true, nullptr, o);
    if (n != out.size()) __builtin_trap();
    if (n != 0 && n < 4) __builtin_trap();  // version, public id, charset, table length

    wbxml::PushRequest r;
    r.content_type = "application/vnd.wap.slc;charset=utf-8";
    r.content = std::string(doc);
    r.kind = wbxml::PushContentKind::Xml;
    r.headers = "X-WAP-Initiator-URI: http://x\nPush-Flag: 1";
    r.max_size = 2000;
    if (data[0] & 0x08) {
        r.security = "USERNETWPIN";
        r.pin = "262011234567890:1234";
    }
    std::string pdu, error;
    if (wbxml::CreateWAPPushBinary(r, pdu, error) == 1) {
        if (pdu.size() > r.max_size || pdu.size() < 3) __builtin_trap();
    } else if (error.empty() || !pdu.empty()) {
        __builtin_trap();
    }
    return 0;
}
