// The support module's process-wide state and its reset for tests.
#include "support/support_state.h"

#include <openssl/crypto.h>

namespace support {

SupportState& support_state() {
    static SupportState s;
    return s;
}

void reset_support_for_tests() {
    SupportState& s = support_state();
    {
        std::lock_guard<std::mutex> g(s.directories.lock);
        s.directories.ready = false;
        s.directories.roots = SupportState::Roots{};
    }
    {
        std::lock_guard<std::mutex> g(s.accounts.path_lock);
        s.accounts.path_override.clear();
    }
    {
        std::lock_guard<std::mutex> g(s.accounts.verified_lock);
        OPENSSL_cleanse(s.accounts.verified_key.data(), s.accounts.verified_key.size());
        s.accounts.verified_key_ready = false;
        s.accounts.verified.clear();
    }
    {
        std::lock_guard<std::mutex> g(s.ini.names_lock);
        s.ini.sms_ini.clear();
        s.ini.mmsc_ini.clear();
    }
    {
        std::lock_guard<std::mutex> g(s.ini.publish_lock);
        s.ini.files.publish(std::make_shared<const SupportState::IniFiles>());
    }
    // Connections close outside the configuration lock, as a change of the
    // tracking directory closes them.
    sqlSMSCMessageIdCloseAll();
    {
        std::lock_guard<std::mutex> g(s.tracking.config_lock);
        s.tracking.configured_dir.clear();
        s.tracking.resolved_dir.clear();
        s.tracking.retain_days = kDefaultTrackingRetainDays;
    }
    {
        std::lock_guard<std::mutex> g(s.tracking.cache_lock);
        s.tracking.use_counter = 0;
    }
    std::lock_guard<std::mutex> g(s.events.lock);
    s.events.by_name.clear();
}

}  // namespace support
