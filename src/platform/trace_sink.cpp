// Installable trace writer used by the layers below the frame.
#include "platform/trace_sink.h"

#include <atomic>

#include "platform/text.h"

namespace platform {

namespace {
std::atomic<TraceFn> g_sink{nullptr};
}

void set_trace_sink(TraceFn fn) { g_sink.store(fn, std::memory_order_release); }

bool trace_active() { return g_sink.load(std::memory_order_acquire) != nullptr; }

void trace(std::string_view name, std::string_view text) {
    if (TraceFn fn = g_sink.load(std::memory_order_acquire)) fn(name, text);
}

void tracef(std::string_view name, const char* fmt, ...) {
    TraceFn fn = g_sink.load(std::memory_order_acquire);
    if (!fn) return;
    va_list ap;
    va_start(ap, fmt);
    std::string text = vstrprintf(fmt, ap);
    va_end(ap);
    fn(name, text);
}

}  // namespace platform
