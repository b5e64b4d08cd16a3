// The shape of an HTTP submission's message and its segments.
#include "frontends/http/submit_shape.h"

#include "frame/settings.h"
#include "platform/text.h"

namespace frontends::http {

namespace {

void take_plan(const delivery::SegmentPlan& plan, MessageShape& out) {
    out.parts.clear();
    for (const delivery::Segment& s : plan.segments) out.parts.push_back({s.data, s.udh});
    out.dcs = plan.dcs;
    out.split = plan.split;
}

bool too_many(const delivery::SegmentPlan& plan, std::string& error) {
    if (!plan.truncated && plan.segments.size() <= delivery::kHttpMaxSegments) return false;
    error = "Message too long (more than 100 segments).";
    return true;
}

}  // namespace

ShapeSettings shape_settings_now() {
    ShapeSettings s;
    s.limits = delivery::segment_limits_from_settings();
    s.shift_tables = frame::ini_string("ShiftTables", "", 1024);
    const frame::GlobalSettings& g = frame::settings();
    s.unicode = {g.disable_http_unicode_sms, g.test_unicode_sms_for_iso88591,
                 g.test_unicode_sms_for_ascii};
    return s;
}

bool shape_message(const SubmitParams& p, const ShapeSettings& s, MessageShape& out,
                   std::string& error, delivery::ReferenceSource next_reference) {
    delivery::SegmentLimits limits = s.limits;
    limits.max_segments = delivery::kHttpMaxSegments;
    delivery::SegmentPlan plan;
    out = MessageShape{};

    if (p.binary) {
        std::string udh = p.udh;
        const size_t octets = (udh.size() + p.text.size()) / 2;
        // A message that has to be split gets its own concatenation elements.
        if (octets > limits.binary_octets && !limits.send_long_messages_as_is &&
            delivery::has_concat_element(udh)) {
            std::optional<std::string> rest = delivery::remove_concat_elements(udh);
            if (rest) udh = *rest;
        }
        if (!delivery::split_binary(udh, p.text, p.dcs, limits, plan, error, next_reference))
            return false;
        if (too_many(plan, error)) return false;
        take_plan(plan, out);
        out.binary = true;
        out.kind = "Binary";
        return true;
    }

    if (radio::charset::UTF8StringRequiresUnicodeEncoding(p.text, s.unicode)) {
        if (!s.shift_tables.empty() &&
            delivery::split_text_with_shift_tables(p.text, s.shift_tables, p.dcs, limits, plan,
                                                   next_reference)) {
            if (too_many(plan, error)) return false;
            take_plan(plan, out);
            out.binary = true;
            out.kind = out.split ? "LongText" : "Text";
            return true;
        }
        plan = delivery::SegmentPlan{};
        if (!delivery::split_text(p.text, true, delivery::unicode_dcs(p.dcs), limits, plan, error,
                                  next_reference))
            return false;
        if (too_many(plan, error)) return false;
        take_plan(plan, out);
        out.binary = true;
        out.kind = out.split ? "LongText" : "Text";
        return true;
    }

    if (limits.send_long_messages_as_is ||
        radio::charset::utf8_septet_count(p.text) <= limits.text_septets) {
        // A single text goes as text; the link converts it.
        std::string data = platform::truncate_field(p.text, kSingleTextDataMax);
        out.parts.push_back({std::move(data), ""});
        out.dcs = p.dcs;
        out.kind = "Text";
        return true;
    }
    if (!delivery::split_text(p.text, false, p.dcs, limits, plan, error, next_reference))
        return false;
    if (too_many(plan, error)) return false;
    take_plan(plan, out);
    out.binary = true;
    out.kind = "LongText";
    return true;
}

}  // namespace frontends::http
