// Value rules and the global settings table.
#include "frame/settings.h"

#include <gtest/gtest.h>

#include "frame/queue_dirs.h"
#include "frame_fixture.h"

namespace {

using frame::parse_bool;
using frame::parse_hex_byte;
using frame::parse_number;
using frame_test::FrameTest;

TEST(ValueRules, Booleans) {
    struct Case {
        const char* text;
        bool value;
    } cases[] = {
        {"Yes", true},   {"yes", true},       {"Y", true},      {"y", true},    {"1", true},
        {"10", true},    {"Yesterday", true}, {"TRUE", true},   {"true", true}, {"True", true},
        {"On", true},    {"on", true},        {"ON", true},     {"", false},    {"No", false},
        {"0", false},    {"Enabled", false},  {"TRUEX", false}, {"Onn", false}, {"T", false},
        {" Yes", false}, {"2", false},        {"off", false},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_bool(c.text), c.value) << '"' << c.text << '"';
}

TEST(ValueRules, Numbers) {
    struct Case {
        const char* text;
        uint32_t value;
    } cases[] = {
        {"512", 512},
        {"  42", 42},
        {"\t7", 7},
        {"+15", 15},
        {"12abc", 12},
        {"abc", 0},
        {"", 0},
        {"-5", 0},
        {"- 5", 0},
        {"0x10", 0},
        {"007", 7},
        {"4294967295", 4294967295u},
        {"99999999999", 4294967295u},
        {"1 2", 1},
        {"+", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_number(c.text), c.value) << '"' << c.text << '"';
}

TEST(ValueRules, HexBytes) {
    struct Case {
        const char* text;
        uint8_t def;
        uint8_t value;
    } cases[] = {
        {"4", 0xF5, 0x04}, {"F5", 0, 0xF5},    {"f5", 0, 0xF5},    {"08", 0xF5, 0x08},
        {"0", 0xF5, 0x00}, {"", 0xF5, 0xF5},   {"G1", 0x11, 0x11}, {"1G", 0, 0x01},
        {"FFF", 0, 0xFF},  {" 4", 0xF5, 0xF5}, {"x4", 0x22, 0x22}, {"a", 0, 0x0A},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parse_hex_byte(c.text, c.def), c.value) << '"' << c.text << '"';
}

TEST_F(FrameTest, MissingIniGivesTheDefaults) {
    std::filesystem::remove(home_ + "SMSGW.INI");
    frame::load_global_settings();
    const frame::GlobalSettings& s = frame::settings();
    EXPECT_FALSE(s.debug);
    EXPECT_EQ(s.debug_max_size_mb, 512u);
    EXPECT_TRUE(s.separate_user_queues);
    EXPECT_EQ(s.user_queue_threshold, 10u);
    EXPECT_EQ(s.max_q_dir_entries, 10000u);
    EXPECT_TRUE(s.use_route_queues);
    EXPECT_TRUE(s.use_route_cache);
    EXPECT_TRUE(s.use_route_cache_on_submit);
    EXPECT_FALSE(s.use_q_cache);
    EXPECT_EQ(s.push_dcs, 0xF5);
    EXPECT_EQ(s.push_pid, 0);
    EXPECT_EQ(s.max_sms_segment_length_text, 160u);
    EXPECT_EQ(s.max_sms_segment_length_binary, 140u);
    EXPECT_EQ(s.modem_app_check_interval_s, 600u);
    EXPECT_EQ(s.max_ring_tone_fragment_count, 6u);
    EXPECT_EQ(s.email_auto_smil_par_dur_text, "3s");
    EXPECT_EQ(s.email_auto_smil_par_dur_image, "5s");
    EXPECT_EQ(s.email_auto_smil_par_dur_video, "11s");
    EXPECT_TRUE(s.nokia3510_compatible);
    EXPECT_EQ(s.q_dir, home_ + "Q/");
    EXPECT_TRUE(std::filesystem::is_directory(home_ + "Q"));
}

TEST_F(FrameTest, DebugSpellings) {
    struct Case {
        const char* value;
        bool on;
    } cases[] = {{"true", true}, {"1", true},        {"yes", true},
                 {"On", true},   {"Enabled", false}, {"", false}};
    for (const Case& c : cases) {
        load(std::string("[SMSGW]\nDebug=") + c.value + "\n");
        EXPECT_EQ(frame::settings().debug, c.on) << c.value;
        EXPECT_EQ(frame::debug_on(), c.on) << c.value;
    }
}

TEST_F(FrameTest, ZeroAndOutOfRangeNumbersFallBackToTheirDefaults) {
    load(
        "[SMSGW]\n"
        "MaxSMSSegmentLengthText=30\nMaxSMSSegmentLengthBinary=39\nMaxQDirEntries=0\n"
        "ModemAppCheckInterval=0\nIPModemMaxBytes=0\nModemMaxBytesPerSend=abc\n"
        "MaxRingToneFragmentCount=0\nDebugMaxSize=0\nUserQueueThreshold=0\n");
    const frame::GlobalSettings& s = frame::settings();
    EXPECT_EQ(s.max_sms_segment_length_text, 160u);
    EXPECT_EQ(s.max_sms_segment_length_binary, 140u);
    EXPECT_EQ(s.max_q_dir_entries, 10000u);
    EXPECT_EQ(s.modem_app_check_interval_s, 600u);
    EXPECT_EQ(s.ip_modem_max_bytes, 1u);
    EXPECT_EQ(s.modem_max_bytes_per_send, 1u);
    EXPECT_EQ(s.max_ring_tone_fragment_count, 6u);
    EXPECT_EQ(s.debug_max_size_mb, 0u) << "0 means no limit, not the default";
    EXPECT_EQ(s.user_queue_threshold, 0u);

    load("[SMSGW]\nMaxSMSSegmentLengthText=40\nMaxSMSSegmentLengthBinary=200\nMaxQDirEntries=50\n");
    EXPECT_EQ(frame::settings().max_sms_segment_length_text, 40u);
    EXPECT_EQ(frame::settings().max_sms_segment_length_binary, 200u);
    EXPECT_EQ(frame::settings().max_q_dir_entries, 50u);
}

TEST_F(FrameTest, PushDcsFallsBackToBinaryDcsThenF5) {
    struct Case {
        const char* ini;
        uint8_t dcs;
    } cases[] = {
        {"PushDCS=4\n", 0x04},
        {"PushDCS=F5\n", 0xF5},
        {"PushDCS=\nBinaryDCS=08\n", 0x08},
        {"BinaryDCS=08\n", 0x08},
        {"PushDCS=04\nBinaryDCS=08\n", 0x04},
        {"", 0xF5},
        {"PushDCS=zz\nBinaryDCS=08\n", 0xF5},
    };
    for (const Case& c : cases) {
        load(std::string("[SMSGW]\n") + c.ini);
        EXPECT_EQ(frame::settings().push_dcs, c.dcs) << c.ini;
    }
    load("[SMSGW]\nPushPID=41\nLongTextDCS=8\n");
    EXPECT_EQ(frame::settings().push_pid, 0x41);
    EXPECT_EQ(frame::settings().long_text_dcs, 0x08);
}

TEST_F(FrameTest, QueueCacheDefaultFollowsShareRoots) {
    struct Case {
        const char* ini;
        bool qcache;
        const char* q_dir;
    } cases[] = {
        {"QDir=\\\\server\\share\\Q\n", true, "\\\\server\\share\\Q/"},
        {"QDir=\\\\server\\share\\Q\nUseQCache=No\n", false, "\\\\server\\share\\Q/"},
        {"QDir=//server/share/Q/\n", true, "//server/share/Q/"},
        {"QDir=/var/spool/q\n", false, "/var/spool/q/"},
        {"QDir=/var/spool/q\nUseQCache=Yes\n", true, "/var/spool/q/"},
    };
    for (const Case& c : cases) {
        load(std::string("[SMSGW]\n") + c.ini);
        EXPECT_EQ(frame::settings().use_q_cache, c.qcache) << c.ini;
        EXPECT_EQ(frame::settings().q_dir, c.q_dir) << c.ini;
    }
}

TEST_F(FrameTest, RouteCacheOnSubmitDefaultsToRouteCache) {
    load("[SMSGW]\nUseRouteCache=No\n");
    EXPECT_FALSE(frame::settings().use_route_cache_on_submit);
    load("[SMSGW]\nUseRouteCache=No\nUseRouteCacheOnSubmit=Yes\n");
    EXPECT_TRUE(frame::settings().use_route_cache_on_submit);
    load("[SMSGW]\nUseRouteCacheOnSubmit=0\n");
    EXPECT_TRUE(frame::settings().use_route_cache);
    EXPECT_FALSE(frame::settings().use_route_cache_on_submit);
}

TEST_F(FrameTest, MmscKeysComeFromMmscIni) {
    load("[SMSGW]\nDebugConsole=Yes\nNokia3510Compatible=No\n",
         "[MMSC]\nEMailAutoSmilParDur=7s\nEMailAutoSmilParDurVideo=20s\n"
         "EMailAutoSmilHeader=<smil>\\r\\n<head>\\x\n");
    const frame::GlobalSettings& s = frame::settings();
    EXPECT_FALSE(s.debug_console) << "DebugConsole is an [MMSC] key";
    EXPECT_TRUE(s.nokia3510_compatible);
    EXPECT_EQ(s.email_auto_smil_par_dur_text, "7s");
    EXPECT_EQ(s.email_auto_smil_par_dur_image, "7s");
    EXPECT_EQ(s.email_auto_smil_par_dur_video, "20s");
    EXPECT_EQ(s.email_auto_smil_header, "<smil>\r\n<head>\\x");

    load("", "[MMSC]\nDebugConsole=1\nMMSNotificationHeaderMaxSize=300\n");
    EXPECT_TRUE(frame::settings().debug_console);
    EXPECT_EQ(frame::settings().mms_notification_header_max_size, 300u);
}

TEST_F(FrameTest, MessageIdPrefixPrefersTheSharedVolume) {
    load("[SMSGW]\nMessageIDPrefix=LOCAL\n");
    EXPECT_EQ(frame::settings().message_id_prefix, "LOCAL");
    frame_test::spit(home_ + "SHAREDVOL.INI", "[SharedVolume]\nMessageIDPrefix=SHARED\n");
    frame::load_global_settings();
    EXPECT_EQ(frame::settings().message_id_prefix, "SHARED");
    // Cut like a buffer of 500 characters.
    load("[SMSGW]\nSMSAccountingURL=" + std::string(600, 'u') + "\n");
    EXPECT_EQ(frame::settings().sms_accounting_url.size(), 500u);
}

TEST_F(FrameTest, SettingsThatBecomePathsStayWhereTheyMayBe) {
    // Each directory key read through the function that turns it into a path.
    struct Reader {
        const char* key;
        std::string (*dir)();
        const char* default_dir;
    } readers[] = {
        {"QDir", [] { return frame::settings().q_dir; }, "Q/"},
        {"SmsInDir", frame::sms_in_dir, "SMS-IN/"},
        {"BulkQDir", frame::bulk_q_dir, "BULKQ/"},
        {"MMSDir", frame::mms_in_dir, "MMS-IN/"},
        {"UsersDir", frame::users_dir, "USERS/"},
        {"PHPDir", frame::php_dir, "PHP/"},
        {"UsersLogDir", [] { return frame::user_log_dir("acct"); }, "USERS/acct/"},
        {"UsersQDir", [] { return frame::user_queue_dir("acct"); }, "USERS/acct/Q/"},
        {"MessageIDTrackingDir", frame::tracking_dir_setting, nullptr},
        {"DataDir", frame::mms_data_dir, "MMSCDATA/"},
    };
    // value -> the directory, relative to the home ("=" prefix: absolute
    // and kept); nullptr: refused, the key's default applies.
    struct Case {
        const char* value;
        const char* dir;
    } cases[] = {
        {"OUT", "OUT/"},
        {"a/b/", "a/b/"},
        {"./a/../b", "./a/../b/"},
        {"/var/spool/x", "=/var/spool/x/"},
        {"\\\\srv\\share\\x", "=\\\\srv\\share\\x/"},
        {"../x", nullptr},
        {"a/../../x", nullptr},
        {"..\\x", nullptr},
        {"..", nullptr},
    };
    for (const Reader& r : readers) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(r.key) + "=" + c.value);
            std::string line = std::string(r.key) + "=" + c.value + "\n";
            bool mmsc = std::string(r.key) == "DataDir";
            load("[SMSGW]\nDebug=Yes\nEnableBulkSmsIn=No\n" + (mmsc ? "" : line),
                 mmsc ? "[MMSC]\n" + line : "");
            std::string want;
            if (!c.dir)
                want = r.default_dir ? home_ + r.default_dir : "";
            else if (c.dir[0] == '=')
                want = c.dir + 1;
            else
                want = home_ + c.dir;
            bool per_account =
                std::string(r.default_dir ? r.default_dir : "").find("acct") != std::string::npos;
            if (per_account && c.dir)
                want += std::string(r.key) == "UsersQDir" ? "acct/Q/" : "acct/";
            EXPECT_EQ(r.dir(), want);
            if (!c.dir) {
                EXPECT_NE(frame_test::slurp(home_ + "LOGS/SMSDEBUG.LOG")
                              .find(std::string(r.key) + ":  Ignoring " + r.key + "=" + c.value),
                          std::string::npos);
            }
        }
    }

    struct Prefix {
        const char* value;
        const char* used;
    } prefixes[] = {
        {"GW", "GW"}, {"A.B", "A.B"}, {"../x", "---x"}, {"a/b\\c", "a-b-c"}, {".hidden", "-hidden"},
    };
    for (const Prefix& p : prefixes) {
        load(std::string("[SMSGW]\nMessageIDPrefix=") + p.value + "\n");
        EXPECT_EQ(frame::settings().message_id_prefix, p.used) << p.value;
    }
}

TEST_F(FrameTest, UnknownKeysAndOtherSectionsAreIgnored) {
    load("[Other]\nDebug=Yes\n[SMSGW]\nNoSuchKey=1\nDebug=No\nFlushOutLog=On\n");
    EXPECT_FALSE(frame::settings().debug);
    EXPECT_TRUE(frame::settings().flush_out_log);
}

TEST_F(FrameTest, ReloadKeepsEarlierTablesReadable) {
    load("[SMSGW]\nSMSAccountingURL=http://first/\n");
    const frame::GlobalSettings& before = frame::settings();
    load("[SMSGW]\nSMSAccountingURL=http://second/\n");
    // A reader that held the old table still sees intact values.
    EXPECT_EQ(before.sms_accounting_url, "http://first/");
    EXPECT_EQ(frame::settings().sms_accounting_url, "http://second/");
}

TEST_F(FrameTest, LinkSettingsFallBackToTheGlobalSection) {
    frame_test::spit(home_ + "SMSGW.INI",
                     "[SMSGW]\nRetryDelay=30\nReceive=Yes\nName=global\n"
                     "[SMPP - host:1]\nRetryDelay=5\nReceive=\nName=\n");
    EXPECT_EQ(frame::link_number("SMPP - host:1", "RetryDelay", 60), 5u);
    EXPECT_TRUE(frame::link_bool("SMPP - host:1", "Receive", false)) << "empty falls back";
    EXPECT_EQ(frame::link_string("SMPP - host:1", "Name", "def"), "global");
    EXPECT_EQ(frame::link_string("SMPP - host:1", "Missing", "def"), "def");
    EXPECT_EQ(frame::link_number("UCP - none", "RetryDelay", 60), 30u);
    EXPECT_EQ(frame::link_string("SMPP - host:1", "Name", "", 4), "glo");
    EXPECT_EQ(frame::ini_number("Missing", 77), 77u);
    EXPECT_TRUE(frame::ini_bool("Missing", true));
}

}  // namespace
