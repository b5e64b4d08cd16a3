// Collects the engine trace lines written while a test runs.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/trace_sink.h"

namespace testutil {

// The first 1000 trace lines written while an instance lives.
struct TraceCapture {
    static inline std::vector<std::string> lines;
    static void sink(std::string_view, std::string_view text) {
        if (lines.size() < 1000) lines.emplace_back(text);  // lines come from the yielding thread
    }
    TraceCapture() {
        lines.clear();
        platform::set_trace_sink(&sink);
    }
    ~TraceCapture() { platform::set_trace_sink(nullptr); }
};

}  // namespace testutil
