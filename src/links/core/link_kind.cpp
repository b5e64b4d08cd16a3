// The registry of link kinds and the core's process-wide state.
#include "links/core/link_kind.h"

#include <algorithm>
#include <vector>

#include "frame/global_state.h"
#include "frame/settings.h"
#include "links/core/deleter.h"
#include "links/core/module_state.h"
#include "links/core/queue_cache.h"
#include "links/core/send_control.h"

namespace links {

namespace detail {

ModuleState& module_state() {
    // Never destroyed: worker and helper threads may still read it while
    // the process exits.
    static ModuleState* state = new ModuleState;
    return *state;
}

}  // namespace detail

void register_link_kind(const LinkKindEntry& entry) {
    detail::ModuleState::Kinds& k = detail::module_state().kinds;
    std::lock_guard<std::mutex> lock(k.mu);
    k.entries[entry.kind] = entry;
}

std::optional<LinkKindEntry> find_link_kind(LinkKind kind) {
    detail::ModuleState::Kinds& k = detail::module_state().kinds;
    std::lock_guard<std::mutex> lock(k.mu);
    auto it = k.entries.find(kind);
    if (it == k.entries.end()) return std::nullopt;
    return it->second;
}

void reset_links_state_for_tests() {
    detail::ModuleState& s = detail::module_state();
    s.local_delivery.store(nullptr);
    stop_deleters_for_tests();
    reset_global_throttle_for_tests();
    queue_cache_clear();
    std::vector<void (*)()> resets;
    {
        std::lock_guard<std::mutex> lock(s.kinds.mu);
        for (const auto& [kind, entry] : s.kinds.entries)
            if (entry.reset_for_tests &&
                std::find(resets.begin(), resets.end(), entry.reset_for_tests) == resets.end())
                resets.push_back(entry.reset_for_tests);  // one kind may serve several LinkKinds
    }
    // Outside the lock: a kind's reset may wait for its threads.
    for (void (*reset)() : resets) reset();
}

void register_engine_debug_duties(const char* name, void (*set_debug_mode)(int)) {
    frame::register_duty(frame::Duty::StartLibraries, name, [set_debug_mode] {
        const frame::GlobalSettings& gs = frame::settings();
        set_debug_mode(gs.debug && !gs.no_debug_protocol ? 1 : 0);
    });
    // Reload duties run before the global settings are published again, so
    // this one reads the two keys from the changed file itself.
    frame::register_duty(frame::Duty::Reload, name, [set_debug_mode] {
        const bool on =
            frame::ini_bool("Debug", false) && !frame::ini_bool("NoDebugProtocol", false);
        set_debug_mode(on ? 1 : 0);
    });
}

}  // namespace links
