// The shape of an HTTP submission's message: plain GSM text, text through a
// national language shift table, UCS-2 or binary data, and its split into
// segments with their concatenation headers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "delivery/segmentation.h"
#include "frontends/http/submit_params.h"
#include "radio/charset/charset.h"

namespace frontends::http {

// One request file's worth of the message.
struct SubmitPart {
    std::string data;  // UTF-8 text, or hex when the shape is binary
    std::string udh;   // hex with its length octet; "" for none
};

struct MessageShape {
    std::vector<SubmitPart> parts;  // one per segment, at most kHttpMaxSegments
    uint8_t dcs = 0;
    bool binary = false;
    bool split = false;  // the parts carry concatenation headers
    std::string kind;    // log kind: "Text", "LongText", "Binary"
};

// Longest Data of a single unsplit text.
inline constexpr size_t kSingleTextDataMax = 1023;

// What shaping depends on besides the parameters.
struct ShapeSettings {
    delivery::SegmentLimits limits;  // max_segments is set to kHttpMaxSegments here
    std::string shift_tables;        // ShiftTables
    radio::charset::UnicodeSettings unicode;
};
ShapeSettings shape_settings_now();

// Shapes p's text or data. False with error when the message cannot be sent
// as asked (malformed header, more than kHttpMaxSegments segments).
bool shape_message(const SubmitParams& p, const ShapeSettings& s, MessageShape& out,
                   std::string& error,
                   delivery::ReferenceSource next_reference = &delivery::default_reference);

}  // namespace frontends::http
