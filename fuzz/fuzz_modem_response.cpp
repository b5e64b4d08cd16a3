// Fuzz target: what a modem answers. The input goes, in chunks whose sizes
// come from its first byte, through the delivery filter as a response read
// grows, with every delivered PDU line decoded, as ReceiveModemCommand does.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "radio/modem_channel.h"
#include "radio/pdu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t chunk = 1 + data[0] % 64;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    radio::ModemChannel ch;  // no device: acknowledgements go nowhere
    ch.phase2 = data[0] & 0x80;
    size_t delivered = 0;
    ch.on_pdu = [&](std::string_view hex) {
        ++delivered;
        (void)radio::pdu::decode(hex);
    };
    ch.on_text = [&](std::string_view sender, std::string_view text) {
        if (sender.size() > 49 || text.size() > 499) __builtin_trap();
        ++delivered;
    };
    std::string buf;
    for (size_t i = 0; i < rest.size(); i += chunk) {
        buf.append(rest.substr(i, chunk));
        const size_t before = buf.size();
        (void)radio::FilterCMTandCDS(ch, buf);
        if (buf.size() > before) __builtin_trap();  // the filter only takes out
    }
    (void)radio::cmgs_reference(buf);
    return 0;
}
