// Segment sizes, UDH elements, the split of text and binary messages and the
// segment request files.
#include "delivery/segmentation.h"

#include <algorithm>
#include <functional>

#include "frame/debug_trace.h"
#include "frame/settings.h"
#include "platform/text.h"
#include "radio/charset/charset.h"
#include "store/message_id.h"
#include "store/request_codec.h"

namespace delivery {

namespace {

constexpr std::string_view kTraceName = "SplitLongMessage";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Decodes hex into octets; false for an odd length or a non-hex digit.
bool decode_hex(std::string_view hex, std::string& out) {
    out.clear();
    if (hex.size() % 2 != 0) return false;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = hex_value(hex[i]);
        const int lo = hex_value(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(char(hi << 4 | lo));
    }
    return true;
}

std::string encode_hex(std::string_view octets) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(octets.size() * 2);
    for (char c : octets) {
        const auto u = static_cast<unsigned char>(c);
        hex.push_back(kDigits[u >> 4]);
        hex.push_back(kDigits[u & 0x0F]);
    }
    return hex;
}

std::string hex_octet(size_t v) {
    return platform::strprintf("%02X", unsigned(v & 0xFF));
}

std::string ucs2_hex(std::u16string_view units) {
    std::string hex;
    hex.reserve(units.size() * 4);
    for (char16_t u : units) hex += platform::strprintf("%04X", unsigned(u));
    return hex;
}

// Zero bits between a header of udh_octets and the first septet.
unsigned fill_bits(size_t udh_octets) {
    return unsigned((7 - (udh_octets * 8) % 7) % 7);
}

// Septet positions (counting the fill) a header of udh_octets takes.
size_t header_septets(size_t udh_octets) {
    return (udh_octets * 8 + 6) / 7;
}

// The packer fills seven spare bits of a last octet with a space, which a
// reader keeps as text in a full-length segment: true for such a count.
bool ends_in_fill(size_t udh_octets, size_t septets) {
    return septets > 0 && (fill_bits(udh_octets) + 7 * septets) % 8 == 1;
}

size_t segment_cap(const SegmentLimits& limits) {
    if (limits.max_segments == 0) return kMaxSegmentsPerMessage;
    return std::min(limits.max_segments, kMaxSegmentsPerMessage);
}

// Cuts n units into segments of at most per units. A cut at end (pos < end <
// n) is moved down while ok(index, pos, end) refuses it; should nothing
// below be acceptable the full cut is taken. Stops after cap segments;
// returns the [begin, end) ranges.
std::vector<std::pair<size_t, size_t>> cut_ranges(
    size_t n, size_t per, size_t cap, const std::function<bool(size_t, size_t, size_t)>& ok) {
    std::vector<std::pair<size_t, size_t>> ranges;
    size_t pos = 0;
    while (pos < n && ranges.size() < cap) {
        const size_t full = std::min(pos + per, n);
        size_t end = full;
        if (end < n) {
            while (end > pos && !ok(ranges.size(), pos, end)) --end;
            if (end == pos) end = full;
        }
        ranges.emplace_back(pos, end);
        pos = end;
    }
    return ranges;
}

// Marks the septets that begin an escape pair.
std::vector<bool> escape_starts(std::string_view septets) {
    std::vector<bool> starts(septets.size(), false);
    for (size_t i = 0; i < septets.size(); ++i) {
        if (static_cast<uint8_t>(septets[i]) == radio::charset::kGsmEscape &&
            i + 1 < septets.size()) {
            starts[i] = true;
            ++i;
        }
    }
    return starts;
}

bool is_high_surrogate(unsigned u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool is_low_surrogate(unsigned u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

void whole_message(SegmentPlan& plan, std::string udh, std::string data, size_t units,
                   uint8_t dcs) {
    plan = SegmentPlan{};
    plan.segments.push_back(Segment{std::move(udh), std::move(data), units});
    plan.dcs = dcs;
}

// How 7-bit data is laid out in segments: the header elements that follow
// the concatenation element, and the septets of data per segment.
struct SeptetLayout {
    std::string first_others;  // elements after the concatenation element, first segment
    std::string rest_others;   // the same for segments 2 .. n
    size_t per = 0;
    bool filler = false;  // AltLongText: a CR septet leads every segment
};

size_t elements_octets(std::string_view hex) {
    return hex.size() / 2;
}

std::string segment_header(uint8_t ref, size_t total, size_t seq, bool ref16,
                           std::string_view others) {
    const std::string element = concat_element(ref, uint8_t(total), uint8_t(seq), ref16);
    return hex_octet(element.size() / 2 + elements_octets(others)) + element + std::string(others);
}

}  // namespace

// --- sizes ---------------------------------------------------------------------

SegmentLimits segment_limits_from_settings() {
    const frame::GlobalSettings& s = frame::settings();
    SegmentLimits l;
    l.text_septets = s.max_sms_segment_length_text < 40 ? 160 : s.max_sms_segment_length_text;
    l.binary_octets = s.max_sms_segment_length_binary < 40 ? 140 : s.max_sms_segment_length_binary;
    l.concat_ref_16bit = s.concat_ref_16bit;
    l.repeat_udh_all_segments = s.repeat_udh_all_segments;
    l.send_long_messages_as_is = s.send_long_messages_as_is;
    l.alt_long_text = s.alt_long_text;
    l.long_text_dcs = s.long_text_dcs;
    return l;
}

size_t text_septets_per_segment(const SegmentLimits& limits) {
    const size_t t = limits.text_septets < 40 ? 160 : limits.text_septets;
    return (limits.alt_long_text || limits.concat_ref_16bit) ? t - 8 : t - 7;
}

size_t ucs2_units_per_segment(const SegmentLimits& limits) {
    const size_t b = limits.binary_octets < 40 ? 140 : limits.binary_octets;
    return b / 2 - (limits.concat_ref_16bit ? 4 : 3);
}

// --- UDH building ----------------------------------------------------------------

std::string concat_element(uint8_t reference, uint8_t total, uint8_t sequence, bool ref16) {
    // The 16-bit field carries the same 8-bit reference (high octet 00).
    if (ref16) return platform::strprintf("0804%04X%02X%02X", unsigned(reference), total, sequence);
    return platform::strprintf("0003%02X%02X%02X", unsigned(reference), total, sequence);
}

std::string concat_udh(uint8_t reference, uint8_t total, uint8_t sequence, bool ref16) {
    return (ref16 ? "06" : "05") + concat_element(reference, total, sequence, ref16);
}

bool build_explicit_udh(const ExplicitUdhParams& p, std::string& udh, std::string& error) {
    udh.clear();
    if (p.source_port > 0xFFFF || p.dest_port > 0xFFFF) {
        error = platform::strprintf("Invalid port number (source %u, destination %u)",
                                    p.source_port, p.dest_port);
        return false;
    }
    uint32_t num = p.seg_num > 255 ? 0 : p.seg_num;
    uint32_t count = p.seg_count > 255 ? 0 : p.seg_count;
    uint32_t ref = p.seg_ref;
    if (num == 0 || count == 0) num = count = ref = 0;
    const bool segmented = num != 0;
    if (p.source_port != 0 || p.dest_port != 0) {
        udh = segmented ? platform::strprintf("0B0504%04X%04X0003%02X%02X%02X", p.dest_port,
                                              p.source_port, ref & 0xFF, count, num)
                        : platform::strprintf("060504%04X%04X", p.dest_port, p.source_port);
    } else if (segmented) {
        udh = platform::strprintf("050003%02X%02X%02X", ref & 0xFF, count, num);
    }
    return true;
}

uint8_t unicode_dcs(uint8_t dcs) {
    if (dcs < 0x40 || dcs > 0xBF || (dcs >= 0x40 && dcs <= 0x4F)) return uint8_t(dcs | 0x08);
    return 0x08;
}

// --- UDH parsing -------------------------------------------------------------------

bool parse_udh(std::string_view udh_hex, std::vector<UdhElement>& elements, std::string& error) {
    elements.clear();
    std::string octets;
    if (!decode_hex(udh_hex, octets)) {
        error = "User data header is not hexadecimal";
        return false;
    }
    if (octets.empty()) {
        error = "User data header is empty";
        return false;
    }
    if (octets.size() > kMaxUdhOctets) {
        error = platform::strprintf("User data header longer than %zu octets", kMaxUdhOctets);
        return false;
    }
    const size_t length = static_cast<uint8_t>(octets[0]);
    if (length != octets.size() - 1) {
        error = platform::strprintf("User data header length %zu does not match its %zu octets",
                                    length, octets.size() - 1);
        return false;
    }
    size_t i = 1;
    while (i < octets.size()) {
        if (i + 2 > octets.size()) {
            error = "User data header element is cut short";
            return false;
        }
        UdhElement e;
        e.id = static_cast<uint8_t>(octets[i]);
        const size_t len = static_cast<uint8_t>(octets[i + 1]);
        if (i + 2 + len > octets.size()) {
            error = "User data header element is cut short";
            return false;
        }
        e.data = octets.substr(i + 2, len);
        elements.push_back(std::move(e));
        i += 2 + len;
    }
    return true;
}

std::string format_udh_elements(const std::vector<UdhElement>& elements) {
    std::string hex;
    for (const UdhElement& e : elements) {
        hex += hex_octet(e.id);
        hex += hex_octet(e.data.size());
        hex += encode_hex(e.data);
    }
    return hex;
}

bool has_concat_element(std::string_view udh_hex) {
    std::vector<UdhElement> elements;
    std::string error;
    if (udh_hex.empty() || !parse_udh(udh_hex, elements, error)) return false;
    return std::any_of(elements.begin(), elements.end(), [](const UdhElement& e) {
        return e.id == kIeiConcat8 || e.id == kIeiConcat16;
    });
}

std::optional<std::string> remove_concat_elements(std::string_view udh_hex) {
    std::vector<UdhElement> elements;
    std::string error;
    if (!parse_udh(udh_hex, elements, error)) return std::nullopt;
    std::erase_if(elements,
                  [](const UdhElement& e) { return e.id == kIeiConcat8 || e.id == kIeiConcat16; });
    if (elements.empty()) return std::string();
    const std::string rest = format_udh_elements(elements);
    return hex_octet(rest.size() / 2) + rest;
}

// --- splitting -------------------------------------------------------------------------

uint8_t default_reference() {
    return store::next_sequence_number();
}

namespace {

// The common 7-bit split behind text and binary messages.
bool split_septets_with_layout(std::string_view septets, const SeptetLayout& layout,
                               const SegmentLimits& limits, uint8_t dcs, SegmentPlan& plan,
                               ReferenceSource next_reference) {
    const bool ref16 = limits.concat_ref_16bit;
    const size_t concat_octets = ref16 ? 6 : 5;
    const size_t first_udh = 1 + concat_octets + elements_octets(layout.first_others);
    const size_t rest_udh = 1 + concat_octets + elements_octets(layout.rest_others);
    const std::vector<bool> starts = escape_starts(septets);
    const size_t lead = layout.filler ? 1 : 0;

    auto ok = [&](size_t index, size_t pos, size_t end) {
        if (starts[end - 1]) return false;  // would leave the escape without its code
        return !ends_in_fill(index == 0 ? first_udh : rest_udh, end - pos + lead);
    };
    const auto ranges = cut_ranges(septets.size(), layout.per, segment_cap(limits), ok);

    plan = SegmentPlan{};
    plan.split = true;
    plan.dcs = dcs;
    plan.reference = next_reference();
    plan.truncated = !ranges.empty() && ranges.back().second < septets.size();
    const size_t total = ranges.size();
    for (size_t i = 0; i < total; ++i) {
        const auto [b, e] = ranges[i];
        const std::string& others = i == 0 ? layout.first_others : layout.rest_others;
        Segment seg;
        seg.udh = segment_header(plan.reference, total, i + 1, ref16, others);
        std::string text;
        // AltLongText: one fill bit and a CR septet make the first data octet 0x1A;
        // the text then starts on an octet boundary.
        if (layout.filler) text.push_back('\r');
        text.append(septets.substr(b, e - b));
        seg.data = radio::charset::pack_septets(text, seg.udh.size() / 2);
        seg.units = e - b;
        plan.segments.push_back(std::move(seg));
    }
    return true;
}

bool valid_elements_hex(std::string_view hex, std::string& error) {
    std::string octets;
    if (!decode_hex(hex, octets)) {
        error = "User data header elements are not hexadecimal";
        return false;
    }
    if (!octets.empty()) {
        std::vector<UdhElement> elements;
        if (!parse_udh(hex_octet(octets.size()) + std::string(hex), elements, error)) return false;
    }
    return true;
}

}  // namespace

bool split_gsm_septets(std::string_view septets, uint8_t dcs, const SegmentLimits& limits,
                       SegmentPlan& plan, std::string& error, std::string_view other_elements,
                       ReferenceSource next_reference) {
    if (!valid_elements_hex(other_elements, error)) return false;
    const std::string others = platform::to_upper(other_elements);
    const size_t t = limits.text_septets < 40 ? 160 : limits.text_septets;
    const size_t others_octets = elements_octets(others);

    // What one SMS holds: T septets, less the header's septets when it has one.
    const size_t single =
        others_octets == 0 ? t : t - std::min(t, header_septets(1 + others_octets));
    if (septets.size() <= single || limits.send_long_messages_as_is) {
        std::string udh = others_octets == 0 ? std::string() : hex_octet(others_octets) + others;
        std::string data = radio::charset::pack_septets(septets, udh.size() / 2);
        whole_message(plan, std::move(udh), std::move(data), septets.size(), dcs);
        return true;
    }

    const size_t udh_octets = 1 + (limits.concat_ref_16bit ? 6 : 5) + others_octets;
    SeptetLayout layout;
    layout.first_others = others;
    layout.rest_others = others;
    layout.filler = limits.alt_long_text && fill_bits(udh_octets) == 1;
    // With AltLongText a 7-octet header already leaves the text octet-aligned,
    // so only the 6-octet one needs the filler septet.
    const size_t used = header_septets(udh_octets) + (layout.filler ? 1 : 0);
    layout.per = t > used ? t - used : 0;
    if (layout.per < 2) {
        error = "User data header leaves no room for text";
        return false;
    }
    const uint8_t seg_dcs = dcs == 0 ? limits.long_text_dcs : dcs;
    split_septets_with_layout(septets, layout, limits, seg_dcs, plan, next_reference);
    frame::debug_tracef(kTraceName, "Text of %zu septets split into %zu segments", septets.size(),
                        plan.segments.size());
    return true;
}

bool split_ucs2_units(std::u16string_view units, uint8_t dcs, const SegmentLimits& limits,
                      SegmentPlan& plan, std::string& error, ReferenceSource next_reference) {
    (void)error;
    const size_t b = limits.binary_octets < 40 ? 140 : limits.binary_octets;
    if (units.size() <= b / 2 || limits.send_long_messages_as_is) {
        whole_message(plan, std::string(), ucs2_hex(units), units.size(), dcs);
        return true;
    }
    const size_t per = ucs2_units_per_segment(limits);
    auto ok = [&](size_t, size_t, size_t end) {
        return !(is_high_surrogate(units[end - 1]) && is_low_surrogate(units[end]));
    };
    const auto ranges = cut_ranges(units.size(), per, segment_cap(limits), ok);

    plan = SegmentPlan{};
    plan.split = true;
    plan.dcs = dcs;
    plan.reference = next_reference();
    plan.truncated = !ranges.empty() && ranges.back().second < units.size();
    const size_t total = ranges.size();
    for (size_t i = 0; i < total; ++i) {
        const auto [bgn, end] = ranges[i];
        Segment seg;
        seg.udh =
            concat_udh(plan.reference, uint8_t(total), uint8_t(i + 1), limits.concat_ref_16bit);
        seg.data = ucs2_hex(units.substr(bgn, end - bgn));
        seg.units = end - bgn;
        plan.segments.push_back(std::move(seg));
    }
    frame::debug_tracef(kTraceName, "Unicode text of %zu characters split into %zu segments",
                        units.size(), total);
    return true;
}

bool split_text(std::string_view utf8, bool unicode, uint8_t dcs, const SegmentLimits& limits,
                SegmentPlan& plan, std::string& error, ReferenceSource next_reference) {
    if (unicode) {
        const std::u16string units = radio::charset::utf8_to_utf16(utf8);
        return split_ucs2_units(units, dcs, limits, plan, error, next_reference);
    }
    std::string septets = radio::charset::utf8_to_gsm(utf8, kMaxTextSeptets);
    // The conversion finishes an escape pair begun on the last septet allowed;
    // drop that pair instead of keeping half of it.
    if (septets.size() > kMaxTextSeptets) septets.resize(septets.size() - 2);
    return split_gsm_septets(septets, dcs, limits, plan, error, {}, next_reference);
}

bool split_text_with_shift_tables(std::string_view utf8, std::string_view shift_tables, uint8_t dcs,
                                  const SegmentLimits& limits, SegmentPlan& plan,
                                  ReferenceSource next_reference) {
    radio::charset::ShiftTableEncoding enc;
    if (radio::charset::encode_with_shift_tables(utf8, shift_tables, "", enc) == 0) return false;
    std::string septets;
    if (radio::charset::UTF8ToShiftTableString(enc.language, utf8, septets) == 0) return false;
    if (enc.udh_hex.size() < 2) return false;
    std::string error;
    return split_gsm_septets(septets, dcs, limits, plan, error,
                             std::string_view(enc.udh_hex).substr(2), next_reference);
}

bool split_binary(std::string_view udh_hex, std::string_view data_hex, uint8_t dcs,
                  const SegmentLimits& limits, SegmentPlan& plan, std::string& error,
                  ReferenceSource next_reference) {
    const size_t b = limits.binary_octets < 40 ? 140 : limits.binary_octets;
    // A message that fits goes on untouched, as it came.
    if (udh_hex.size() + data_hex.size() <= 2 * b) {
        whole_message(plan, platform::to_upper(udh_hex), platform::to_upper(data_hex),
                      data_hex.size() / 2, dcs);
        return true;
    }
    std::string data;
    if (!decode_hex(data_hex, data)) {
        error = "Message data is not hexadecimal";
        return false;
    }
    std::vector<UdhElement> elements;
    if (!udh_hex.empty() && !parse_udh(udh_hex, elements, error)) return false;
    const bool has_concat = std::any_of(elements.begin(), elements.end(), [](const UdhElement& e) {
        return e.id == kIeiConcat8 || e.id == kIeiConcat16;
    });
    if (has_concat) {  // already one segment of a longer message
        whole_message(plan, platform::to_upper(udh_hex), platform::to_upper(data_hex), data.size(),
                      dcs);
        return true;
    }

    std::erase_if(elements,
                  [](const UdhElement& e) { return e.id == kIeiConcat8 || e.id == kIeiConcat16; });
    const std::string others = format_udh_elements(elements);
    const bool ref16 = limits.concat_ref_16bit;
    const size_t udh_octets = 1 + (ref16 ? 6 : 5) + elements_octets(others);
    const std::string rest_others = limits.repeat_udh_all_segments ? others : std::string();
    const size_t cap = segment_cap(limits);

    if (radio::charset::dcs_is_gsm7(dcs)) {
        const size_t t = limits.text_septets < 40 ? 160 : limits.text_septets;
        const size_t used = header_septets(udh_octets);
        SeptetLayout layout;
        layout.first_others = others;
        layout.rest_others = rest_others;
        layout.per = t > used ? t - used : 0;
        if (layout.per < 2) {
            error = "User data header leaves no room for data";
            return false;
        }
        SegmentPlan p;
        split_septets_with_layout(data, layout, limits, dcs, p, next_reference);
        if (p.truncated) {
            error = platform::strprintf("Message needs more than %zu segments", cap);
            return false;
        }
        plan = std::move(p);
        return true;
    }

    const bool ucs2 = radio::charset::dcs_is_ucs2(dcs);
    size_t per = b > udh_octets ? b - udh_octets : 0;
    if (ucs2) per &= ~size_t(1);  // whole UTF-16 units only
    if (per < (ucs2 ? 4u : 1u)) {
        error = "User data header leaves no room for data";
        return false;
    }
    auto unit_at = [&](size_t i) {
        return unsigned(static_cast<uint8_t>(data[i])) << 8 | static_cast<uint8_t>(data[i + 1]);
    };
    auto ok = [&](size_t, size_t pos, size_t end) {
        if (!ucs2) return true;
        if ((end - pos) % 2 != 0) return false;  // never half a unit
        if (end < 2 || end + 2 > data.size()) return true;
        return !(is_high_surrogate(unit_at(end - 2)) && is_low_surrogate(unit_at(end)));
    };
    const auto ranges = cut_ranges(data.size(), per, cap, ok);
    if (!ranges.empty() && ranges.back().second < data.size()) {
        error = platform::strprintf("Message needs more than %zu segments", cap);
        return false;
    }
    plan = SegmentPlan{};
    plan.split = true;
    plan.dcs = dcs;
    plan.reference = next_reference();
    const size_t total = ranges.size();
    for (size_t i = 0; i < total; ++i) {
        const auto [bgn, end] = ranges[i];
        Segment seg;
        seg.udh =
            segment_header(plan.reference, total, i + 1, ref16, i == 0 ? others : rest_others);
        seg.data = encode_hex(std::string_view(data).substr(bgn, end - bgn));
        seg.units = end - bgn;
        plan.segments.push_back(std::move(seg));
    }
    frame::debug_tracef(kTraceName, "Binary message of %zu octets split into %zu segments",
                        data.size(), total);
    return true;
}

// --- segment files -----------------------------------------------------------------------

std::string segment_request_text(const store::SmsMessage& m, const Segment& segment, uint8_t dcs) {
    store::SmsMessage r = m;
    r.data = segment.data;
    r.udh = segment.udh;
    r.dcs = dcs;
    r.binary = true;
    return store::format_request(r, store::RecordLayout::Segment);
}

QueuedSegments queue_segments(const std::string& queue_dir, const store::SmsMessage& base,
                              const SegmentPlan& plan) {
    QueuedSegments q;
    if (plan.segments.empty()) return q;
    if (!plan.split) {
        const auto path = store::create_request_file(
            queue_dir, "req", segment_request_text(base, plan.segments.front(), plan.dcs));
        if (path)
            q.paths.push_back(*path);
        else
            ++q.failed;
        return q;
    }
    q.message_number = store::next_message_id();
    const uint32_t total = uint32_t(plan.segments.size());
    for (uint32_t i = 0; i < total; ++i) {
        const auto path = store::create_segment_file(
            queue_dir, base.phone_number, q.message_number, total, i + 1, "req",
            segment_request_text(base, plan.segments[i], plan.dcs));
        if (path) {
            q.paths.push_back(*path);
        } else {
            ++q.failed;
            frame::debug_tracef(kTraceName, "Unable to create segment %u of %u for %s", i + 1,
                                total, base.phone_number.c_str());
        }
    }
    return q;
}

}  // namespace delivery
