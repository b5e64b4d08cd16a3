// Process-wide mutable state of the support module in one struct, so that
// tests can put all of it back to what a fresh process starts with. Internal
// to the module: other modules use the functions of directories.h,
// accounts.h, ini_profile.h, tracking.h and events.h.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "platform/snapshot.h"
#include "support/tracking.h"

namespace support {

class InterfaceEvent;  // events.cpp
struct IniParse;       // ini_profile.cpp: one parsed file
struct TrackingDb;     // tracking.cpp: one open daily file

struct SupportState {
    // Directory roots, worked out at first use from $SMSGW_HOME.
    struct Roots {
        std::string program_data;
        std::string private_data;
        std::string logs;
        std::string mms_logs;
        std::string program;
    };
    struct Directories {
        std::mutex lock;
        bool ready = false;  // roots worked out (under lock)
        Roots roots;
    } directories;

    // Account database: the path override, and the successful password
    // checks remembered as keyed digests (the key is drawn at first use).
    struct Accounts {
        std::mutex path_lock;
        std::string path_override;
        static constexpr size_t kMaxVerified = 4096;
        std::mutex verified_lock;
        std::array<unsigned char, 32> verified_key{};
        bool verified_key_ready = false;
        std::unordered_set<std::string> verified;
    } accounts;

    // INI files: the names set for SMSGW.INI and MMSC.INI, the lock that
    // serialises read-modify-write of any file, and the parsed files by path,
    // published as one immutable map (re-parses serialised by publish_lock).
    using IniFiles = std::unordered_map<std::string, std::shared_ptr<const IniParse>>;
    struct Ini {
        std::mutex names_lock;
        std::string sms_ini;
        std::string mmsc_ini;
        std::mutex write_lock;
        std::mutex publish_lock;
        platform::Snapshot<IniFiles> files;
    } ini;

    // Message-id tracking: the configured directory and retention, and one
    // cached connection per daily file (least recently used goes first).
    struct Tracking {
        std::mutex config_lock;
        std::string configured_dir;  // as the frame passed it
        std::string resolved_dir;    // cached result of tracking_directory()
        unsigned retain_days = kDefaultTrackingRetainDays;
        std::mutex cache_lock;
        std::map<std::string, std::shared_ptr<TrackingDb>> cache;
        uint64_t use_counter = 0;
    } tracking;

    // Named events by (kind, name); weak, so an event lives with its handles.
    struct Events {
        std::mutex lock;
        std::map<std::pair<std::string, std::string>, std::weak_ptr<InterfaceEvent>, std::less<>>
            by_name;
    } events;
};

SupportState& support_state();

// Puts all of the module's state back to that of a fresh process: directory
// roots re-read from $SMSGW_HOME, default INI names and no cached parse, no
// account path override or remembered check, tracking connections closed and
// the default directory and retention, no named event (tests only).
void reset_support_for_tests();

}  // namespace support
