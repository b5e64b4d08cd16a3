// Black-box tests of the service spine: start-up, stop signals, the
// configuration restart, reloads, the debug trace, crash records and the
// message-id database repair, run against the real binary.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <string>

#include "system/harness.h"

namespace {

using systest::Gateway;
using systest::GatewayOptions;
using systest::TempDir;

constexpr const char* kDebugIni = "[SMSGW]\r\nDebug=Yes\r\n";
constexpr unsigned kStopWithinMs = 3000;

class SpineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!systest::test_hooks_built()) GTEST_SKIP() << "needs a build with SMSGW_TEST_HOOKS";
        ASSERT_FALSE(tmp_.path().empty());
        home_ = tmp_.path() + "/home";
    }

    size_t count(const std::string& hay, const std::string& needle) {
        size_t n = 0;
        for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
        return n;
    }

    TempDir tmp_;
    std::string home_;
};

TEST_F(SpineTest, SecondGatewayOnSameHomeExits255BeforeOpeningAnyLog) {
    Gateway first(home_);
    ASSERT_TRUE(first.start(systest::with_ini(kDebugIni)));
    ASSERT_TRUE(first.wait_ready());
    std::string debug_before = first.debug_log();
    std::string events_before = first.events_log();
    ASSERT_EQ(count(debug_before, "main:  Before InitStatCounters"), 1u);

    Gateway second(home_);
    ASSERT_TRUE(second.start());
    auto status = second.wait_exit(10000);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 255);
    EXPECT_EQ(second.stderr_text(),
              "Kel SMS/MMS Gateway v2014.07.22 is already active on this workstation.\n");
    // Neither the trace nor the event log saw the second process.
    EXPECT_EQ(count(first.debug_log(), "main:  Before InitStatCounters"), 1u);
    EXPECT_EQ(first.events_log(), events_before);
    EXPECT_TRUE(first.running());

    ASSERT_TRUE(first.send_signal(SIGTERM));
    EXPECT_EQ(first.wait_exit(kStopWithinMs), 0);
}

class StopSignalTest : public SpineTest, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignalTest, StopsWithinThreeSecondsWithStatusZero) {
    Gateway gw(home_);
    ASSERT_TRUE(gw.start(systest::with_ini(kDebugIni)));
    ASSERT_TRUE(gw.wait_ready());
    ASSERT_TRUE(gw.send_signal(GetParam()));
    auto status = gw.wait_exit(kStopWithinMs);
    ASSERT_TRUE(status.has_value()) << "still running after the stop signal";
    EXPECT_EQ(*status, 0);
    EXPECT_NE(gw.stderr_text().find("Shutdown complete!"), std::string::npos);
    std::string log = gw.debug_log();
    EXPECT_NE(log.find("HandlerRoutine:  Initiating shutdown...\r\n"), std::string::npos);
    EXPECT_NE(log.find("main:  Shutdown:  Closing log files\r\n"), std::string::npos);
    std::string events = gw.events_log();
    // The start text names the web port when the listener could bind it (other
    // gateways of a parallel test run may hold the default port).
    EXPECT_TRUE(std::regex_search(
        events, std::regex("\tSuccess\tKel SMS/MMS Gateway service started\\.( {2}Using web "
                           "port [0-9]+\\.)?\r\n")))
        << events;
    EXPECT_NE(events.find("\tSuccess\tKel SMS/MMS Gateway service stopped.\r\n"),
              std::string::npos);
    // A plain stop does not ask the controller for a restart.
    EXPECT_EQ(gw.status_byte(0), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalTest, ::testing::Values(SIGINT, SIGTERM, SIGQUIT));

TEST_F(SpineTest, HangupDoesNotStop) {
    Gateway gw(home_);
    ASSERT_TRUE(gw.start(systest::with_ini(kDebugIni)));
    ASSERT_TRUE(gw.wait_ready());
    ASSERT_TRUE(gw.send_signal(SIGHUP));
    EXPECT_FALSE(gw.wait_exit(1500).has_value());
    EXPECT_EQ(gw.debug_log().find("Initiating shutdown"), std::string::npos);
    ASSERT_TRUE(gw.send_signal(SIGTERM));
    EXPECT_EQ(gw.wait_exit(kStopWithinMs), 0);
}

TEST_F(SpineTest, RestartTokenThatSortsHigherStopsWithStatusByteSet) {
    Gateway gw(home_);
    std::string base = "[SMSGW]\r\nDebug=Yes\r\nConfigurationUpdateTriggerRestart=abc\r\n";
    ASSERT_TRUE(gw.start(systest::with_ini(base)));
    ASSERT_TRUE(gw.wait_ready());
    // Equal ignoring case, and lower: nothing happens.
    ASSERT_TRUE(
        gw.rewrite_sms_ini("[SMSGW]\r\nDebug=Yes\r\nConfigurationUpdateTriggerRestart=ABC\r\n"));
    EXPECT_FALSE(gw.wait_exit(1500).has_value());
    ASSERT_TRUE(
        gw.rewrite_sms_ini("[SMSGW]\r\nDebug=Yes\r\nConfigurationUpdateTriggerRestart=ab\r\n"));
    EXPECT_FALSE(gw.wait_exit(1500).has_value());
    // Higher: stop for a restart.
    ASSERT_TRUE(
        gw.rewrite_sms_ini("[SMSGW]\r\nDebug=Yes\r\nConfigurationUpdateTriggerRestart=ABD\r\n"));
    auto status = gw.wait_exit(2500);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(gw.status_byte(0), 1);
    EXPECT_NE(gw.debug_log().find("main:  Restarting for configuration update\r\n"),
              std::string::npos);
    EXPECT_NE(gw.stderr_text().find("Shutdown complete!"), std::string::npos);
}

TEST_F(SpineTest, ControllerStopRequestInStatusBlockStops) {
    Gateway gw(home_);
    ASSERT_TRUE(gw.start(systest::with_ini(kDebugIni)));
    ASSERT_TRUE(gw.wait_ready());
    std::string block = systest::read_text(gw.path("PRIVATE/KEL_SMSGW_ShMem"));
    ASSERT_EQ(block.size(), 512u);
    // The controller writes byte 0 in place (the gateway has it mapped).
    FILE* f = std::fopen(gw.path("PRIVATE/KEL_SMSGW_ShMem").c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fputc(1, f);
    std::fclose(f);
    EXPECT_EQ(gw.wait_exit(kStopWithinMs), 0);
}

TEST_F(SpineTest, IniEditIsPickedUpAtTheNextMinuteBoundary) {
    Gateway gw(home_);
    GatewayOptions opt;
    opt.sms_ini = "[SMSGW]\r\nDebug=No\r\n";
    opt.minute_seconds = 1;
    ASSERT_TRUE(gw.start(opt));
    ASSERT_TRUE(gw.wait_ready());
    // With Debug off no debug file is created at all.
    EXPECT_FALSE(systest::file_exists(gw.path("LOGS/SMSDEBUG.LOG")));
    ASSERT_TRUE(gw.rewrite_sms_ini("[SMSGW]\r\nDebug=Yes\r\nUseRouteCache=No\r\n"));
    // The reload traces the route cache setting as its first line.
    EXPECT_TRUE(systest::wait_for(
        [&] { return gw.debug_log().find("UseRouteCache:  No\r\n") != std::string::npos; }, 5000));
    ASSERT_TRUE(gw.send_signal(SIGTERM));
    EXPECT_EQ(gw.wait_exit(kStopWithinMs), 0);
}

TEST_F(SpineTest, TraceLinesHaveTheDesignedFormat) {
    Gateway gw(home_);
    ASSERT_TRUE(
        gw.start(systest::with_ini("[SMSGW]\r\nDebug=Yes\r\nModem1=SMPP - 10.0.0.1:2775\r\n")));
    ASSERT_TRUE(gw.wait_ready());
    ASSERT_TRUE(gw.send_signal(SIGTERM));
    ASSERT_EQ(gw.wait_exit(kStopWithinMs), 0);
    std::string log = gw.debug_log();
    ASSERT_FALSE(log.empty());
    ASSERT_EQ(log.back(), '\n');
    std::regex line_re(R"(^\d\d:[0-5]\d:[0-5]\d:\d\d\d \[(\d+)\] ([^\r\n]+?):  ([^\r\n]*)$)");
    size_t start = 0, lines = 0;
    bool saw_numbered_worker = false;
    while (start < log.size()) {
        size_t end = log.find("\r\n", start);
        ASSERT_NE(end, std::string::npos) << "line without CR LF at " << start;
        std::string line = log.substr(start, end - start);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, line_re)) << line;
        if (m[2] == "ThreadProcessModem" && std::stoul(m[1]) > 0) saw_numbered_worker = true;
        if (m[2] == "main") {
            EXPECT_EQ(m[1], "0") << "the entry routine has no thread number";
        }
        start = end + 2;
        ++lines;
    }
    EXPECT_GT(lines, 5u);
    EXPECT_TRUE(saw_numbered_worker);
    EXPECT_NE(log.find("] main:  Before InitStatCounters\r\n"), std::string::npos);
    EXPECT_NE(log.find("] main:  After CheckDatabaseIntegrity\r\n"), std::string::npos);
}

TEST_F(SpineTest, StartupMovesTheOldTraceToBackupReplacingTheOlderBackup) {
    Gateway gw(home_);
    std::filesystem::create_directories(gw.path("LOGS"));
    ASSERT_TRUE(systest::write_text(gw.path("LOGS/SMSDEBUG.LOG"), "yesterday's trace\r\n"));
    ASSERT_TRUE(systest::write_text(gw.path("LOGS/SMSDEBUG.BAK"), "older trace\r\n"));
    ASSERT_TRUE(gw.start(systest::with_ini(kDebugIni)));
    ASSERT_TRUE(gw.wait_ready());
    EXPECT_EQ(systest::read_text(gw.path("LOGS/SMSDEBUG.BAK")), "yesterday's trace\r\n");
    std::string log = gw.debug_log();
    EXPECT_EQ(log.find("yesterday"), std::string::npos);
    EXPECT_EQ(log.find("UseRouteCache:  Yes\r\n"), 17u) << "fresh log starts with the first line";
    ASSERT_TRUE(gw.send_signal(SIGTERM));
    EXPECT_EQ(gw.wait_exit(kStopWithinMs), 0);
}

TEST_F(SpineTest, DebugMaxSizeRollsTheTraceOverOnceTheLimitIsPassed) {
    Gateway gw(home_);
    GatewayOptions opt;
    opt.sms_ini = "[SMSGW]\r\nDebug=Yes\r\nDebugMaxSize=1\r\n";
    opt.minute_seconds = 1;
    ASSERT_TRUE(gw.start(opt));
    ASSERT_TRUE(gw.wait_ready());
    // Grow the live log past 1 MB (the gateway appends, so our bytes land
    // in the same file), then make the gateway trace by changing its INI.
    std::string filler(1048576 + 10, 'x');
    ASSERT_TRUE(systest::append_text(gw.path("LOGS/SMSDEBUG.LOG"), filler));
    ASSERT_TRUE(
        gw.rewrite_sms_ini("[SMSGW]\r\nDebug=Yes\r\nDebugMaxSize=1\r\nUseRouteCache=No\r\n"));
    ASSERT_TRUE(systest::wait_for(
        [&] { return gw.debug_log().find("UseRouteCache:  No") != std::string::npos; }, 5000));
    EXPECT_GT(systest::file_size(gw.path("LOGS/SMSDEBUG.BAK")), 1048576);
    EXPECT_LT(systest::file_size(gw.path("LOGS/SMSDEBUG.LOG")), 4096);
    EXPECT_EQ(gw.debug_log().find('x'), std::string::npos);
    ASSERT_TRUE(gw.send_signal(SIGTERM));
    EXPECT_EQ(gw.wait_exit(kStopWithinMs), 0);
}

TEST_F(SpineTest, UnwritableDebugLogDirectoryLeavesTheGatewayRunning) {
    Gateway gw(home_);
    // LOGS is a plain file: the trace cannot open, the gateway carries on.
    ASSERT_TRUE(systest::write_text(gw.path("LOGS"), "not a directory"));
    ASSERT_TRUE(gw.start(systest::with_ini(kDebugIni)));
    ASSERT_TRUE(gw.wait_ready());
    ASSERT_TRUE(gw.send_signal(SIGINT));
    EXPECT_EQ(gw.wait_exit(kStopWithinMs), 0);
    EXPECT_NE(gw.stderr_text().find("Shutdown complete!"), std::string::npos);
}

TEST_F(SpineTest, FaultInWorkerThreadWritesExceptLogAndExits177) {
    Gateway gw(home_);
    GatewayOptions opt;
    opt.sms_ini = kDebugIni;
    opt.env = {"SMSGW_TEST_CRASH_THREAD=1"};
    ASSERT_TRUE(gw.start(opt));
    auto status = gw.wait_exit(15000);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 177);
    std::string rec = systest::read_text(gw.path("PRIVATE/EXCEPT.LOG"));
    std::smatch m;
    ASSERT_TRUE(std::regex_match(rec, m,
                                 std::regex("Exception occurred in thread #([1-9]\\d*)\r\n"
                                            "Thread Description:  ThreadScanAlerts\r\n"
                                            "[A-Z][a-z]+ \\d{1,2}, \\d{4} @ \\d\\d:\\d\\d\r\n"
                                            "-------\r\n")))
        << rec;
    EXPECT_NE(gw.debug_log().find("UnhandledExceptionFilter:  Exception occurred in thread #" +
                                  m[1].str() + "\r\n"),
              std::string::npos);
    EXPECT_EQ(gw.stderr_text().find("Shutdown complete!"), std::string::npos);
}

// Builds a tracking database with an index, then breaks the index's root
// page so that quick_check fails while the table itself can still be dumped.
void make_damaged_database(const std::string& path, int rows) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    std::string sql =
        "PRAGMA page_size=4096; CREATE TABLE ids(link TEXT, smsc_id TEXT, message_id TEXT);"
        "CREATE INDEX ids_key ON ids(link, smsc_id); BEGIN;";
    for (int i = 0; i < rows; ++i)
        sql += "INSERT INTO ids VALUES('SMPP - a','" + std::to_string(100000 + i) + "','M" +
               std::to_string(i) + "');";
    sql += "COMMIT;";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_master WHERE name='ids_key'", -1,
                                 &st, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    int root = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    sqlite3_close(db);
    ASSERT_GT(root, 1);
    FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fseek(f, long(root - 1) * 4096, SEEK_SET);
    std::fputc(0x77, f);  // not a valid b-tree page type
    std::fclose(f);
}

int count_rows(const std::string& path, std::string* check) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return -1;
    int n = -1;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM ids", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        n = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    if (sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        *check = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return n;
}

TEST_F(SpineTest, DamagedTrackingDatabaseIsRenamedAndRebuiltThroughDump) {
    Gateway gw(home_);
    std::filesystem::create_directories(gw.path("SMPPData"));
    std::time_t t = std::time(nullptr);
    std::tm lt{};
    localtime_r(&t, &lt);
    char name[32];
    std::snprintf(name, sizeof(name), "%04d%02d%02d.DB", lt.tm_year + 1900, lt.tm_mon + 1,
                  lt.tm_mday);
    std::string db = gw.path(std::string("SMPPData/") + name);
    make_damaged_database(db, 400);
    std::string check;
    count_rows(db, &check);
    ASSERT_FALSE(check.empty());
    ASSERT_NE(check, "ok") << "the test database must be damaged";

    ASSERT_TRUE(gw.start(systest::with_ini(kDebugIni)));
    ASSERT_TRUE(gw.wait_ready());
    ASSERT_TRUE(gw.send_signal(SIGTERM));
    ASSERT_EQ(gw.wait_exit(kStopWithinMs), 0);

    std::string damaged;
    for (const auto& e : std::filesystem::directory_iterator(gw.path("SMPPData"))) {
        std::string n = e.path().filename().string();
        if (n.size() > 8 && n.compare(n.size() - 8, 8, ".damaged") == 0) damaged = n;
    }
    ASSERT_TRUE(std::regex_match(damaged, std::regex(std::string(name) + "\\d{14}\\.damaged")))
        << damaged;
    EXPECT_FALSE(systest::file_exists(db + ".tmp"));
    check.clear();
    EXPECT_EQ(count_rows(db, &check), 400);
    EXPECT_EQ(check, "ok");
    std::string log = gw.debug_log();
    EXPECT_NE(log.find("DatabaseIsCorrupt:  " + db + "\r\n"), std::string::npos);
    EXPECT_NE(log.find(".damaged .dump\r\n"), std::string::npos);
}

}  // namespace
