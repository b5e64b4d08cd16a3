// Hook through which the lower layers (platform, support, protocols) write
// debug trace lines. The frame installs the real debug trace at start-up;
// until then, and in unit tests that install nothing, tracing is a no-op.
#pragma once

#include <string_view>

namespace platform {

using TraceFn = void (*)(std::string_view name, std::string_view text);

// Installs (or with nullptr removes) the trace writer.
void set_trace_sink(TraceFn fn);

// Writes one trace line through the installed writer, if any.
void trace(std::string_view name, std::string_view text);

// printf-style convenience; formatting is bounded (see strprintf).
void tracef(std::string_view name, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// True when a writer is installed (lets callers skip building costly texts).
bool trace_active();

}  // namespace platform
