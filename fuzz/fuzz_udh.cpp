// Fuzz target: user data headers and binary splitting, both fed from what
// clients submit. The first input byte picks the split options; the rest is
// split at the first NUL into UDH hex and data hex.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "delivery/segmentation.h"

namespace {
uint8_t fixed_reference() { return 0x42; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint8_t opts = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t nul = rest.find('\0');
    std::string_view udh = rest.substr(0, nul);
    std::string_view payload = nul == std::string_view::npos ? std::string_view{} : rest.substr(nul + 1);

    std::vector<delivery::UdhElement> elements;
    std::string error;
    if (delivery::parse_udh(udh, elements, error)) {
        (void)delivery::format_udh_elements(elements);
        auto stripped = delivery::remove_concat_elements(udh);
        if (!stripped) __builtin_trap();  // parsed once, must parse again
    }

    delivery::SegmentLimits limits;
    limits.concat_ref_16bit = opts & 1;
    limits.repeat_udh_all_segments = opts & 2;
    limits.max_segments = (opts & 4) ? 100 : 0;
    const uint8_t dcs_choices[] = {0x00, 0x04, 0x08, 0xF5, 0xF1, 0x18};
    uint8_t dcs = dcs_choices[(opts >> 3) % 6];
    delivery::SegmentPlan plan;
    if (delivery::split_binary(udh, payload, dcs, limits, plan, error, &fixed_reference)) {
        if (plan.segments.empty()) __builtin_trap();
        if (plan.split && plan.segments.size() > 255) __builtin_trap();
    }
    return 0;
}
