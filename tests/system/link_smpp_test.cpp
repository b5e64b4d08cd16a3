// Black-box tests of SMPP links: the real gateway binary sends queued
// request files to an SMSC made of the npm "smpp" package (npm_smsc.js) and
// receives from it. Each test has its own home, its own SMSC on a free port
// and short reconnect and retry schedules.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/node_peer.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "protocols/smpp/smpp.h"
#include "system/harness.h"
#include "system/link_fixture.h"

namespace fs = std::filesystem;

namespace {

using nodepeer::Event;
using nodepeer::NodePeer;

const std::string kSystemDir = std::string(SMSGW_SOURCE_DIR) + "/tests/system/";

std::string hex_of(std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes) out += platform::strprintf("%02X", unsigned(c));
    return out;
}

std::string bytes_of(std::string_view hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        int hi = nodepeer::hex_digit(hex[i]), lo = nodepeer::hex_digit(hex[i + 1]);
        if (hi < 0 || lo < 0) break;
        out.push_back(char(hi * 16 + lo));
    }
    return out;
}

using linktest::contains;
using linktest::Keys;
using linktest::request;
using linktest::ucs2_hex;

std::string error_text(uint32_t status) {
    return protocols::smpp::SMPPErrorText(status);
}

// --- the SMSC ---------------------------------------------------------------------------

class Smsc {
  public:
    bool start(unsigned port = 0) {
        if (!peer_.start("npm_smsc.js", {std::to_string(port)})) return false;
        Event e;
        if (!peer_.wait("listening", e, 10000)) {
            ADD_FAILURE() << "SMSC did not start listening";
            return false;
        }
        port_ = unsigned(std::stoul(e["port"]));
        return true;
    }
    unsigned port() const { return port_; }
    std::string link() const { return "SMPP - 127.0.0.1:" + std::to_string(port_); }
    NodePeer& peer() { return peer_; }
    void send(const std::string& json) { peer_.send(json); }

    // Every submit_sm seen so far, in arrival order.
    const std::vector<Event>& submits() {
        pump();
        return submits_;
    }
    // How often each text (short_message) was submitted.
    std::map<std::string, int> texts_seen() {
        std::map<std::string, int> seen;
        for (const auto& e : submits()) ++seen[bytes_of(e["short_message"])];
        return seen;
    }
    std::vector<Event> submits_to(const std::string& dest) {
        std::vector<Event> out;
        for (const auto& e : submits())
            if (e["destination_addr"] == dest) out.push_back(e);
        return out;
    }
    bool wait_submits(size_t n, unsigned timeout_ms) {
        return systest::wait_for([&] { return submits().size() >= n; }, timeout_ms, 20);
    }
    bool wait_submits_to(const std::string& dest, size_t n, unsigned timeout_ms) {
        return systest::wait_for([&] { return submits_to(dest).size() >= n; }, timeout_ms, 20);
    }
    // Binds seen so far (all of them, accepted or not).
    std::vector<Event> binds() {
        pump();
        return binds_;
    }
    bool wait_binds(size_t n, unsigned timeout_ms,
                    const std::function<bool(const Event&)>& pred = nullptr) {
        return systest::wait_for(
            [&] {
                size_t k = 0;
                for (const auto& e : binds())
                    if (!pred || pred(e)) ++k;
                return k >= n;
            },
            timeout_ms, 20);
    }
    // Other events (closed, unbind, deliver_resp, ...) by name.
    std::vector<Event> others(const std::string& name) {
        pump();
        std::vector<Event> out;
        for (const auto& e : others_)
            if (e.name == name) out.push_back(e);
        return out;
    }
    bool wait_other(const std::string& name, size_t n, unsigned timeout_ms) {
        return systest::wait_for([&] { return others(name).size() >= n; }, timeout_ms, 20);
    }

  private:
    // One read, then every event sorted into its list (a second read in
    // between could slip later submits into the wrong list).
    void pump() {
        peer_.pump();
        for (auto& e : peer_.take_kept()) {
            if (e.name == "submit_sm")
                submits_.push_back(std::move(e));
            else if (e.name == "bind")
                binds_.push_back(std::move(e));
            else
                others_.push_back(std::move(e));
        }
    }

    NodePeer peer_{kSystemDir};
    unsigned port_ = 0;
    std::vector<Event> submits_, binds_, others_;
};

// --- configuration ------------------------------------------------------------------------

// keys with overrides applied (same key replaced in place, new ones appended).
Keys merged(Keys base, const Keys& over) {
    for (const auto& [k, v] : over) {
        bool found = false;
        for (auto& [bk, bv] : base)
            if (platform::iequals(bk, k)) {
                bv = v;
                found = true;
            }
        if (!found) base.emplace_back(k, v);
    }
    return base;
}

struct LinkDef {
    std::string name;
    Keys keys;
};

// Short schedules everywhere: reconnect after 1 s (capped at 2 s), retry
// after 1 s, one second after a throttling answer.
const Keys kLinkDefaults = {
    {"UserName", "gateway"},
    {"Password", "pw"},
    {"SystemType", "GW"},
    {"InitRetryDelay", "1"},
    {"InitRetryDelayMultiplier", "1"},
    {"InitRetryDelayAfterAttempts", "1"},
    {"InitRetryDelayMax", "2"},
    {"RetryDelay", "1"},
    {"RetryDelayMultiplier", "0"},
    {"RetryDelayAfterAttempts", "1"},
    {"SMPPThrottleErrorDelay", "1"},
    {"CommandTimeout", "10"},
};

// The inbound store is left alone (no inbound routing), so that what the
// links store stays visible.
const Keys kGlobalDefaults = {
    {"Debug", "Yes"},
    {"ReceiveSMS", "No"},
    {"EnableReceiptProcessing", "No"},
};

std::string make_ini(const std::vector<LinkDef>& links, const Keys& global = {}) {
    std::string ini = "[SMSGW]\r\n";
    for (const auto& [k, v] : merged(kGlobalDefaults, global)) ini += k + "=" + v + "\r\n";
    for (size_t i = 0; i < links.size(); ++i)
        ini += "Modem" + std::to_string(i + 1) + "=" + links[i].name + "\r\n";
    for (const auto& l : links) {
        ini += "\r\n[" + l.name + "]\r\n";
        for (const auto& [k, v] : merged(kLinkDefaults, l.keys)) ini += k + "=" + v + "\r\n";
    }
    return ini;
}

// --- log lines ---------------------------------------------------------------------------

struct OutLine {
    std::string raw;
    std::string time, id, submitted_by, recipient, status, details;
};

// Splits an outbound log line. The status column may itself hold ", " (the
// credit texts), so the message columns are taken from the front and the
// details from the first ",<Key>=" after the status.
OutLine parse_out_line(const std::string& line) {
    OutLine o;
    o.raw = line;
    std::vector<std::string> cols;
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        size_t c = line.find(',', pos);
        if (c == std::string::npos) return o;
        cols.push_back(line.substr(pos, c - pos));
        pos = c + 1;
    }
    o.time = cols[0];
    o.id = cols[1];
    o.submitted_by = cols[2];
    o.recipient = cols[3];
    static const std::regex detail(
        ",(SubmitUser|SMSCRouteName|Sender|SMSCMsgId|Binary|PID|DCS|UDH|Data|Text)=");
    std::smatch m;
    std::string rest = line.substr(pos);
    if (std::regex_search(rest, m, detail)) {
        o.status = rest.substr(0, size_t(m.position(0)));
        o.details = rest.substr(size_t(m.position(0)) + 1);
    } else {
        o.status = rest;
    }
    return o;
}

// --- the gateway and its home ------------------------------------------------------------

class Rig : public linktest::Rig {
  public:
    bool kill9() {
        if (!gw_) return false;
        bool ok = gw_->send_signal(SIGKILL) && gw_->wait_exit(10000) == 128 + SIGKILL;
        return ok;
    }

    std::vector<OutLine> out_lines_for(const std::string& id) const {
        std::vector<OutLine> out;
        for (const auto& l : out_lines()) {
            OutLine o = parse_out_line(l);
            if (o.id == id) out.push_back(o);
        }
        return out;
    }

    // User and system CPU seconds the gateway has used so far.
    double cpu_seconds() const {
        if (!gw_) return -1;
        std::string stat = systest::read_text("/proc/" + std::to_string(gw_->pid()) + "/stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos) return -1;
        std::istringstream in(stat.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        // After the name: state (3) ... utime (14) and stime (15).
        for (int i = 3; i <= 15 && in >> field; ++i) {
            if (i == 14) utime = std::stoull(field);
            if (i == 15) stime = std::stoull(field);
        }
        return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
    }
};

class LinkSmppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!systest::test_hooks_built()) GTEST_SKIP() << "needs a build with SMSGW_TEST_HOOKS";
    }
};

}  // namespace

// 1. Codings, headers, optional parameters, sender choice and prefix
// conversion as the SMSC sees them.
TEST_F(LinkSmppTest, LinkSmppContentCodingsHeadersAndAddresses) {
    Smsc a, b;
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    Rig rig;
    // Link A: only its own senders pass, headers stay in the short message.
    // Link B: segment and port information as optional parameters, addresses
    // rewritten.
    std::string ini =
        make_ini({{a.link(), {{"SenderAddress", "KelGW,Alpha2"}, {"SenderAddressOverride", "No"}}},
                  {b.link(),
                   {{"SenderAddress", "Fallback"},
                    {"UseTLV", "Yes"},
                    {"OutRecipPrefixConvert", "07:+447"},
                    {"OutSenderPrefixConvert", "00:+"}}}});
    auto to_a = [&](Keys k) {
        k.emplace_back("SMSCRoute", a.link());
        return request(k);
    };
    auto to_b = [&](Keys k) {
        k.emplace_back("SMSCRoute", b.link());
        return request(k);
    };
    ASSERT_TRUE(rig.queue("5A000001.req", to_a({{"PhoneNumber", "+447700900001"},
                                                {"Sender", "Alpha2"},
                                                {"Data", "Hello world"},
                                                {"ReceiptRequested", "Yes"}})));
    ASSERT_TRUE(rig.queue("5A000002.req", to_a({{"PhoneNumber", "+447700900002"},
                                                {"Sender", "Intruder"},
                                                {"DCS", "8"},
                                                {"Data", "Привет"}})));
    ASSERT_TRUE(rig.queue("5A000003.req", to_a({{"PhoneNumber", "+447700900003"},
                                                {"Binary", "1"},
                                                {"DCS", "F5"},
                                                {"UDH", "0605040B8423F0"},
                                                {"Data", "DEADBEEF"}})));
    const std::string part1 = ucs2_hex("part one, "), part2 = ucs2_hex("part two");
    for (int seq = 1; seq <= 2; ++seq)
        ASSERT_TRUE(rig.queue(platform::strprintf("SAR-447700900004-1f-2-%d.req", seq),
                              to_a({{"PhoneNumber", "+447700900004"},
                                    {"Sender", "KelGW"},
                                    {"Binary", "1"},
                                    {"DCS", "8"},
                                    {"UDH", platform::strprintf("050003A702%02X", seq)},
                                    {"Data", seq == 1 ? part1 : part2}})));
    ASSERT_TRUE(rig.queue(
        "5B000001.req",
        to_b({{"PhoneNumber", "07700900005"}, {"Sender", "00447700900111"}, {"Data", "Plain"}})));
    ASSERT_TRUE(rig.queue("5B000002.req", to_b({{"PhoneNumber", "+447700900006"},
                                                {"Binary", "1"},
                                                {"DCS", "F5"},
                                                {"UDH", "0605040B8423F0"},
                                                {"Data", "0102"}})));
    for (int seq = 1; seq <= 2; ++seq)
        ASSERT_TRUE(rig.queue(platform::strprintf("SAR-447700900007-2a-2-%d.req", seq),
                              to_b({{"PhoneNumber", "+447700900007"},
                                    {"Binary", "1"},
                                    {"DCS", "F5"},
                                    {"UDH", platform::strprintf("050003B502%02X", seq)},
                                    {"Data", seq == 1 ? "4142" : "4344"}})));
    ASSERT_TRUE(rig.start(ini));

    ASSERT_TRUE(a.wait_submits(5, 30000)) << rig.diag();
    ASSERT_TRUE(b.wait_submits(4, 30000)) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.queued() == 0; }, 10000)) << rig.diag();

    auto one = [](Smsc& s, const std::string& dest) {
        auto v = s.submits_to(dest);
        EXPECT_EQ(v.size(), 1u) << dest;
        return v.empty() ? Event{} : v[0];
    };
    Event e = one(a, "447700900001");
    EXPECT_EQ(e["source_addr"], "Alpha2");  // listed: passes
    EXPECT_EQ(e["source_addr_ton"], "5");
    EXPECT_EQ(e["dest_addr_ton"], "1");
    EXPECT_EQ(e["data_coding"], "0");
    EXPECT_EQ(e["esm_class"], "0");
    EXPECT_EQ(e["short_message"], hex_of("Hello world"));
    EXPECT_EQ(e["registered_delivery"], "1");

    e = one(a, "447700900002");
    EXPECT_EQ(e["source_addr"], "KelGW");  // not listed: the link's default sender
    EXPECT_EQ(e["data_coding"], "8");
    EXPECT_EQ(e["short_message"], ucs2_hex("Привет"));
    EXPECT_EQ(e["registered_delivery"], "0");

    e = one(a, "447700900003");
    EXPECT_EQ(e["source_addr"], "KelGW");  // none: the default sender
    EXPECT_EQ(e["data_coding"], "245");
    EXPECT_EQ(e["esm_class"], "64");
    EXPECT_EQ(e["short_message"], "0605040B8423F0DEADBEEF");

    auto segs = a.submits_to("447700900004");
    ASSERT_EQ(segs.size(), 2u);
    EXPECT_EQ(segs[0]["short_message"], "050003A70201" + part1);  // in order
    EXPECT_EQ(segs[1]["short_message"], "050003A70202" + part2);
    for (const auto& s : segs) {
        EXPECT_EQ(s["esm_class"], "64");
        EXPECT_EQ(s["data_coding"], "8");
        EXPECT_EQ(s["source_addr"], "KelGW");
    }

    e = one(b, "447700900005");
    EXPECT_EQ(e["dest_addr_ton"], "1");           // 07... became +447...
    EXPECT_EQ(e["source_addr"], "447700900111");  // 0044... became +44...
    EXPECT_EQ(e["source_addr_ton"], "1");
    EXPECT_EQ(e["short_message"], hex_of("Plain"));

    e = one(b, "447700900006");
    EXPECT_EQ(e["source_addr"], "Fallback");
    EXPECT_EQ(e["destination_port"], "2948");
    EXPECT_EQ(e["source_port"], "9200");
    EXPECT_EQ(e["esm_class"], "0");
    EXPECT_EQ(e["short_message"], "0102");

    segs = b.submits_to("447700900007");
    ASSERT_EQ(segs.size(), 2u);
    for (size_t i = 0; i < segs.size(); ++i) {
        EXPECT_EQ(segs[i]["sar_msg_ref_num"], "181");
        EXPECT_EQ(segs[i]["sar_total_segments"], "2");
        EXPECT_EQ(segs[i]["sar_segment_seqnum"], std::to_string(i + 1));
        EXPECT_EQ(segs[i]["esm_class"], "0");
        EXPECT_EQ(segs[i]["data_coding"], "245");
    }
    EXPECT_EQ(segs[0]["short_message"], "4142");
    EXPECT_EQ(segs[1]["short_message"], "4344");

    // Every file was logged as sent by its link.
    for (const char* id : {"5A000001", "5A000002", "5A000003", "SAR-447700900004-1f-2-1",
                           "SAR-447700900004-1f-2-2"}) {
        auto lines = rig.out_lines_for(id);
        ASSERT_EQ(lines.size(), 1u) << id << rig.diag();
        EXPECT_EQ(lines[0].status, "OK -- " + a.link()) << lines[0].raw;
    }
    for (const char* id :
         {"5B000001", "5B000002", "SAR-447700900007-2a-2-1", "SAR-447700900007-2a-2-2"}) {
        auto lines = rig.out_lines_for(id);
        ASSERT_EQ(lines.size(), 1u) << id << rig.diag();
        EXPECT_EQ(lines[0].status, "OK -- " + b.link()) << lines[0].raw;
    }
}

// 2. Two links with recipient patterns each get exactly their messages; a
// message that no link may carry fails for want of a route.
TEST_F(LinkSmppTest, LinkSmppRoutingPatternsSplitTheQueue) {
    Smsc a, b;
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    Rig rig;
    ASSERT_TRUE(rig.start(make_ini({{a.link(), {{"Route1", "+1555*"}, {"RoutePrefOnly", "Yes"}}},
                                    {b.link(), {{"Route1", "+4477*"}, {"RoutePrefOnly", "Yes"}}}})))
        << rig.diag();
    constexpr int kEach = 10;
    for (int i = 0; i < kEach; ++i) {
        ASSERT_TRUE(rig.queue(platform::strprintf("6A%06d.req", i),
                              request({{"PhoneNumber", platform::strprintf("+1555%07d", i)},
                                       {"Data", platform::strprintf("us %d", i)}})));
        ASSERT_TRUE(rig.queue(platform::strprintf("6B%06d.req", i),
                              request({{"PhoneNumber", platform::strprintf("+4477%07d", i)},
                                       {"Data", platform::strprintf("uk %d", i)}})));
    }
    ASSERT_TRUE(
        rig.queue("6C000000.req", request({{"PhoneNumber", "+33612345678"}, {"Data", "nowhere"}})));
    ASSERT_TRUE(a.wait_submits(kEach, 30000)) << rig.diag();
    ASSERT_TRUE(b.wait_submits(kEach, 30000)) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.queued() == 0; }, 10000)) << rig.diag();
    platform::sleep_ms(1500);  // nothing more may come

    std::set<std::string> got_a, got_b;
    for (const auto& e : a.submits()) got_a.insert(e["destination_addr"]);
    for (const auto& e : b.submits()) got_b.insert(e["destination_addr"]);
    EXPECT_EQ(a.submits().size(), size_t(kEach));
    EXPECT_EQ(b.submits().size(), size_t(kEach));
    for (int i = 0; i < kEach; ++i) {
        EXPECT_TRUE(got_a.count(platform::strprintf("1555%07d", i))) << i;
        EXPECT_TRUE(got_b.count(platform::strprintf("4477%07d", i))) << i;
    }
    // The unroutable message went to the error queue with a system line.
    EXPECT_TRUE(systest::file_exists(rig.q("6C000000.ERR"))) << rig.diag();
    auto lines = rig.out_lines_for("6C000000");
    ASSERT_EQ(lines.size(), 1u) << rig.diag();
    EXPECT_TRUE(contains(lines[0].status, "No SMSC defined to route message")) << lines[0].raw;
    EXPECT_TRUE(contains(platform::to_upper(lines[0].status), "SYSTEM")) << lines[0].raw;
}

// 3. A backup link stays idle while its primary is up, takes the primary's
// messages while the primary's SMSC is down and gives them back when it
// returns.
namespace {

// by_route: BackupForRoute names the primary's route instead of its link.
void backup_takes_over_and_gives_back(bool by_route) {
    Smsc primary, backup;
    ASSERT_TRUE(primary.start());
    ASSERT_TRUE(backup.start());
    primary.send(R"({"cmd":"stop"})");
    Event e;
    ASSERT_TRUE(primary.peer().wait("stopped", e, 5000));
    Rig rig;
    ASSERT_TRUE(rig.start(
        make_ini({{primary.link(), {{"RouteName", "Primary"}}},
                  {backup.link(), {{"BackupForRoute", by_route ? "Primary" : primary.link()}}}})))
        << rig.diag();

    // The primary fails to connect: its status file says why.
    std::string status = rig.status_file(primary.link());
    ASSERT_TRUE(systest::wait_for([&] { return systest::file_size(status) > 0; }, 10000))
        << rig.diag();
    EXPECT_TRUE(contains(systest::read_text(status),
                         "SMPP Failure -- Unable to connect to SMPP server at 127.0.0.1:" +
                             std::to_string(primary.port())))
        << systest::read_text(status);

    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(rig.queue(platform::strprintf("7A%06d.req", i),
                              request({{"PhoneNumber", platform::strprintf("+4477009007%02d", i)},
                                       {"Data", platform::strprintf("while down %d", i)},
                                       {"SMSCRoute", "Primary"}})));
    ASSERT_TRUE(backup.wait_submits(3, 20000)) << rig.diag();
    EXPECT_TRUE(contains(rig.gw().debug_log(), "Activating backup route")) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.queued() == 0; }, 10000)) << rig.diag();

    // The primary's SMSC returns: the primary binds, the backup lets go.
    primary.send(R"({"cmd":"listen"})");
    ASSERT_TRUE(primary.peer().wait("listening", e, 5000));
    ASSERT_TRUE(primary.wait_binds(1, 15000)) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return !systest::file_exists(status); }, 10000))
        << rig.diag();
    ASSERT_TRUE(backup.wait_other("closed", 1, 15000)) << "backup session not ended" << rig.diag();
    size_t backup_binds = backup.binds().size();

    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(rig.queue(platform::strprintf("7B%06d.req", i),
                              request({{"PhoneNumber", platform::strprintf("+4477009008%02d", i)},
                                       {"Data", platform::strprintf("back up %d", i)},
                                       {"SMSCRoute", "Primary"}})));
    ASSERT_TRUE(primary.wait_submits(3, 20000)) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.queued() == 0; }, 10000)) << rig.diag();
    platform::sleep_ms(1000);
    EXPECT_EQ(backup.submits().size(), 3u);
    EXPECT_EQ(primary.submits().size(), 3u);
    EXPECT_EQ(backup.binds().size(), backup_binds) << "backup connected again";
    for (const auto& s : primary.submits())
        EXPECT_EQ(s["destination_addr"].substr(0, 10), "4477009008");
}

}  // namespace

TEST_F(LinkSmppTest, LinkSmppBackupTakesOverAndGivesBack) {
    backup_takes_over_and_gives_back(false);
}

TEST_F(LinkSmppTest, LinkSmppBackupForRouteName) {
    backup_takes_over_and_gives_back(true);
}

// 4. Throttling answers slow the link down without a busy loop, and every
// message still gets through.
TEST_F(LinkSmppTest, LinkSmppThrottlingWithoutBusyLoop) {
    Smsc smsc;
    ASSERT_TRUE(smsc.start());
    Rig rig;
    ASSERT_TRUE(
        rig.queue("8A000001.req", request({{"PhoneNumber", "throttle"}, {"Data", "always"}})));
    ASSERT_TRUE(
        rig.queue("8A000002.req", request({{"PhoneNumber", "throttle3"}, {"Data", "thrice"}})));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(rig.queue(platform::strprintf("8B%06d.req", i),
                              request({{"PhoneNumber", platform::strprintf("44770090080%d", i)},
                                       {"Data", "plain"}})));
    ASSERT_TRUE(rig.start(make_ini({{smsc.link(), {{"ReceiveSingleConnection", "Yes"}}}})))
        << rig.diag();

    // CPU use while the link sits in throttling waits.
    ASSERT_TRUE(smsc.wait_submits_to("throttle", 1, 20000)) << rig.diag();
    platform::sleep_ms(300);
    double cpu0 = rig.cpu_seconds();
    uint64_t t0 = platform::monotonic_ms();
    platform::sleep_ms(4000);
    double cpu1 = rig.cpu_seconds();
    double wall = double(platform::monotonic_ms() - t0) / 1000.0;
    ASSERT_GE(cpu0, 0.0);
    double share = (cpu1 - cpu0) / wall;
    std::cout << "[ gateway CPU share while throttled: " << share << " ]\n";
    RecordProperty("throttled_cpu_share_percent", int(share * 100));
    EXPECT_LT(share, 0.25) << "busy loop while throttled?";

    ASSERT_TRUE(smsc.wait_submits_to("throttle3", 4, 30000)) << rig.diag();
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(smsc.wait_submits_to(platform::strprintf("44770090080%d", i), 1, 20000))
            << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.queued() == 1; }, 10000)) << rig.diag();

    // Throttled attempts are at least the throttle delay apart.
    auto t = smsc.submits_to("throttle");
    ASSERT_GE(t.size(), 2u);
    for (size_t i = 1; i < t.size() && i < 5; ++i)
        EXPECT_GE(std::stol(t[i]["t"]) - std::stol(t[i - 1]["t"]), 800) << i;
    auto t3 = smsc.submits_to("throttle3");
    EXPECT_EQ(t3[3]["answer"], "0");
    EXPECT_EQ(t3.size(), 4u);
    for (size_t i = 1; i < t3.size(); ++i)
        EXPECT_GE(std::stol(t3[i]["t"]) - std::stol(t3[i - 1]["t"]), 800) << i;

    // Nothing lost: the always-throttled message waits for its next retry.
    std::string left = systest::read_text(rig.q("8A000001.req"));
    EXPECT_TRUE(contains(left, "[ErrorDetail]")) << left;
    EXPECT_TRUE(contains(left, "LastErrorInfo=" + error_text(0x58) + " -- " + smsc.link())) << left;
    EXPECT_TRUE(rig.out_log_has(",Retry Pending - " + error_text(0x58) + " -- " + smsc.link()))
        << rig.diag();
    auto ok = rig.out_lines_for("8A000002");
    ASSERT_FALSE(ok.empty());
    EXPECT_EQ(ok.back().status, "OK -- " + smsc.link());
    EXPECT_TRUE(rig.running());
}

// 5. An invalid destination (0x0B) fails at once into the error queue, with
// the failure receipt the message asked for.
TEST_F(LinkSmppTest, LinkSmppInvalidDestinationFailsAtOnceWithReceipt) {
    Smsc smsc;
    ASSERT_TRUE(smsc.start());
    Rig rig;
    std::string body = request({{"PhoneNumber", "fail0B"},
                                {"Sender", "+447700900100"},
                                {"Data", "This will not arrive anywhere"},
                                {"ReceiptRequested", "Yes"},
                                {"SubmitUser", "alice"}});
    ASSERT_TRUE(rig.queue("9A000001.req", body));
    // A header the engine cannot encode never reaches the SMSC and is not retried.
    ASSERT_TRUE(rig.queue("9A000002.req", request({{"PhoneNumber", "447700900952"},
                                                   {"UDH", "GG0003"},
                                                   {"Data", "cannot be encoded"}})));
    ASSERT_TRUE(rig.start(make_ini({{smsc.link(), {{"RetryMaxAttempts", "5"}}}}))) << rig.diag();

    ASSERT_TRUE(smsc.wait_submits_to("fail0B", 1, 20000)) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.queued() == 0; }, 10000)) << rig.diag();
    platform::sleep_ms(2500);  // no retry may follow
    EXPECT_EQ(smsc.submits_to("fail0B").size(), 1u);
    EXPECT_TRUE(smsc.submits_to("447700900952").empty());
    EXPECT_TRUE(systest::file_exists(rig.q("9A000002.ERR")));
    EXPECT_EQ(rig.out_lines_for("9A000002").size(), 1u) << rig.diag();

    // The error queue copy holds the message as it was queued.
    std::string copy = systest::read_text(rig.q("9A000001.ERR"));
    EXPECT_EQ(copy.substr(0, body.size()), body) << copy;

    auto lines = rig.out_lines_for("9A000001");
    ASSERT_EQ(lines.size(), 1u) << rig.diag();
    EXPECT_EQ(lines[0].status, error_text(0x0B) + " -- " + smsc.link());

    auto recs = rig.inbound(".rec");
    ASSERT_EQ(recs.size(), 1u) << rig.diag();
    std::string rec = systest::read_text(recs[0]);
    EXPECT_TRUE(contains(rec, "[SMS-IN]")) << rec;
    EXPECT_TRUE(contains(rec, "ReceiptFailed=Yes")) << rec;
    EXPECT_TRUE(contains(rec, "ReceiptMessageId=9A000001")) << rec;
    EXPECT_TRUE(contains(rec, "Sender=fail0B")) << rec;
    EXPECT_TRUE(contains(rec, "PhoneNumber=+447700900100")) << rec;
    EXPECT_TRUE(contains(rec, "RouteToLocalUser=alice")) << rec;
    std::smatch m;
    EXPECT_TRUE(std::regex_search(
        rec, m,
        std::regex("Data=id:9A000001 sub:001 dlvrd:000 submit date:\\d{10} done date:\\d{10} "
                   "stat:REJECTD err:00B text:This will not arriv\r\n")))  // 19 characters
        << rec;
}

// 6. A submit failure (0x45) is retried on the retry schedule until the SMSC
// accepts; one that keeps failing fails after RetryMaxAttempts retries.
TEST_F(LinkSmppTest, LinkSmppSubmitFailRetriedOnSchedule) {
    Smsc smsc;
    ASSERT_TRUE(smsc.start());
    Rig rig;
    ASSERT_TRUE(rig.queue("AA000001.req",
                          request({{"PhoneNumber", "fail45x2"}, {"Data", "third time lucky"}})));
    ASSERT_TRUE(rig.queue("AA000002.req",
                          request({{"PhoneNumber", "fail45"}, {"Data", "never accepted"}})));
    ASSERT_TRUE(
        rig.start(make_ini({{smsc.link(), {{"RetryDelay", "2"}, {"RetryMaxAttempts", "2"}}}})))
        << rig.diag();
    const std::string why = error_text(0x45) + " -- " + smsc.link();

    // After the first failure the file waits with its retry record.
    ASSERT_TRUE(smsc.wait_submits_to("fail45x2", 1, 20000)) << rig.diag();
    std::string waiting;
    ASSERT_TRUE(systest::wait_for(
        [&] {
            waiting = systest::read_text(rig.q("AA000001.req"));
            return contains(waiting, "RetryCount=");
        },
        5000))
        << waiting << rig.diag();
    EXPECT_TRUE(contains(waiting, "[ErrorDetail]\r\nRetryCount=1\r\nLastRetryTime=")) << waiting;
    EXPECT_TRUE(std::regex_search(waiting, std::regex("LastRetryTime=\\d{14}\r\n"))) << waiting;
    EXPECT_TRUE(contains(waiting, "LastErrorInfo=" + why + "\r\n")) << waiting;

    ASSERT_TRUE(smsc.wait_submits_to("fail45x2", 3, 30000)) << rig.diag();
    ASSERT_TRUE(smsc.wait_submits_to("fail45", 3, 30000)) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.queued() == 0; }, 15000)) << rig.diag();
    platform::sleep_ms(2500);

    for (const char* dest : {"fail45x2", "fail45"}) {
        auto v = smsc.submits_to(dest);
        ASSERT_EQ(v.size(), 3u) << dest << rig.diag();
        // RetryDelay 2 s measured from a time stamp of whole seconds.
        for (size_t i = 1; i < v.size(); ++i)
            EXPECT_GE(std::stol(v[i]["t"]) - std::stol(v[i - 1]["t"]), 1000) << dest << i;
    }
    EXPECT_EQ(smsc.submits_to("fail45x2")[2]["answer"], "0");

    auto lines = rig.out_lines_for("AA000001");
    ASSERT_EQ(lines.size(), 3u) << rig.diag();
    EXPECT_EQ(lines[0].status, "Retry Pending - " + why);
    EXPECT_EQ(lines[1].status, "Retry Pending - " + why);
    EXPECT_EQ(lines[2].status, "OK -- " + smsc.link());
    EXPECT_FALSE(systest::file_exists(rig.q("AA000001.ERR")));

    lines = rig.out_lines_for("AA000002");
    ASSERT_EQ(lines.size(), 3u) << rig.diag();
    EXPECT_EQ(lines[0].status, "Retry Pending - " + why);
    EXPECT_EQ(lines[1].status, "Retry Pending - " + why);
    EXPECT_EQ(lines[2].status, why);
    std::string copy = systest::read_text(rig.q("AA000002.ERR"));
    EXPECT_TRUE(contains(copy, "PhoneNumber=fail45")) << copy;
}

// 7. A dropped connection is brought back on the reconnect schedule, and the
// message in flight is sent again; refused logins wait longer each time.
TEST_F(LinkSmppTest, LinkSmppReconnectsOnSchedule) {
    Smsc smsc;
    ASSERT_TRUE(smsc.start());
    Rig rig;
    // Delay n seconds after the n-th failure.
    ASSERT_TRUE(rig.start(make_ini({{smsc.link(),
                                     {{"ReceiveSingleConnection", "Yes"},
                                      {"InitRetryDelay", "1"},
                                      {"InitRetryDelayMultiplier", "1"},
                                      {"InitRetryDelayAfterAttempts", "1"},
                                      {"InitRetryDelayMax", "10"}}}})))
        << rig.diag();
    ASSERT_TRUE(smsc.wait_binds(1, 15000)) << rig.diag();
    EXPECT_EQ(smsc.binds()[0]["command"], "bind_transceiver");
    EXPECT_EQ(smsc.binds()[0]["system_id"], "gateway");
    EXPECT_EQ(smsc.binds()[0]["password"], "pw");
    EXPECT_EQ(smsc.binds()[0]["system_type"], "GW");

    // The SMSC drops the connection on the first submit.
    ASSERT_TRUE(rig.queue("BA000001.req", request({{"PhoneNumber", "dropx1"}, {"Data", "again"}})));
    ASSERT_TRUE(smsc.wait_submits_to("dropx1", 2, 20000)) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.queued() == 0; }, 10000)) << rig.diag();
    auto d = smsc.submits_to("dropx1");
    EXPECT_EQ(d[0]["answer"], "drop");
    EXPECT_EQ(d[1]["answer"], "0");
    EXPECT_NE(d[0]["session"], d[1]["session"]);
    ASSERT_GE(smsc.binds().size(), 2u);
    auto lines = rig.out_lines_for("BA000001");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().status, "OK -- " + smsc.link());

    // Logins refused: each attempt waits longer than the one before.
    smsc.send(R"({"cmd":"bind_status","status":13})");
    size_t before = smsc.binds().size();
    smsc.send(R"({"cmd":"close"})");
    ASSERT_TRUE(smsc.wait_binds(before + 4, 40000)) << rig.diag();
    auto b = smsc.binds();
    std::vector<long> t;
    for (size_t i = before; i < b.size(); ++i) t.push_back(std::stol(b[i]["t"]));
    // Delays 2, 3, 4 s after the 2nd, 3rd and 4th failure (in whole-second steps).
    long g1 = t[1] - t[0], g2 = t[2] - t[1], g3 = t[3] - t[2];
    std::cout << "[ login retry gaps: " << g1 << " " << g2 << " " << g3 << " ms ]\n";
    EXPECT_GE(g1, 900);
    EXPECT_LE(g1, 4500);
    EXPECT_GE(g2, 1900);
    EXPECT_LE(g2, 5500);
    EXPECT_GE(g3, 2900);
    EXPECT_LE(g3, 6500);
    EXPECT_GT(g3, g1);
    std::string status = systest::read_text(rig.status_file(smsc.link()));
    EXPECT_TRUE(contains(
        status, "SMPP Failure -- Unable to login to SMPP server with specified parameters:  "))
        << status;
    EXPECT_TRUE(rig.out_log_has("SMPP Failure -- Unable to login to SMPP server")) << rig.diag();

    // Logins accepted again: the link comes up and its status file goes.
    smsc.send(R"({"cmd":"bind_status","status":0})");
    ASSERT_TRUE(systest::wait_for(
        [&] {
            auto all = smsc.binds();
            return all.size() > before + 4 && all.back()["status"] == "0";
        },
        20000))
        << rig.diag();
    ASSERT_TRUE(systest::wait_for(
        [&] { return !systest::file_exists(rig.status_file(smsc.link())); }, 10000))
        << rig.diag();
    ASSERT_TRUE(
        rig.queue("BA000002.req", request({{"PhoneNumber", "447700900777"}, {"Data", "up"}})));
    EXPECT_TRUE(smsc.wait_submits_to("447700900777", 1, 15000)) << rig.diag();
}

// 8. A mobile-originated message and a delivery receipt become files in
// the inbound store.
TEST_F(LinkSmppTest, LinkSmppInboundMessageAndReceiptStored) {
    Smsc smsc;
    ASSERT_TRUE(smsc.start());
    Rig rig;
    ASSERT_TRUE(rig.queue("CA000001.req", request({{"PhoneNumber", "+447700900010"},
                                                   {"Sender", "+447700900100"},
                                                   {"Data", "receipt please"},
                                                   {"ReceiptRequested", "Yes"},
                                                   {"SubmitUser", "alice"}})));
    ASSERT_TRUE(rig.start(make_ini({{smsc.link(), {}}}))) << rig.diag();
    // Transmitter and a separate receiver.
    ASSERT_TRUE(smsc.wait_binds(2, 15000)) << rig.diag();
    std::set<std::string> kinds;
    for (const auto& b : smsc.binds()) kinds.insert(b["command"]);
    EXPECT_TRUE(kinds.count("bind_transmitter"));
    EXPECT_TRUE(kinds.count("bind_receiver"));
    ASSERT_TRUE(smsc.wait_submits_to("447700900010", 1, 15000)) << rig.diag();
    std::string smsc_id = smsc.submits_to("447700900010")[0]["message_id"];
    EXPECT_EQ(smsc.submits_to("447700900010")[0]["registered_delivery"], "1");

    smsc.send(R"({"cmd":"deliver","tag":"mo","source_addr_ton":1,"source_addr_npi":1,)"
              R"("source_addr":"447700900999","destination_addr":"12345","short_message":")" +
              hex_of("Hello gateway") + R"("})");
    ASSERT_TRUE(smsc.wait_other("deliver_resp", 1, 10000)) << rig.diag();
    EXPECT_EQ(smsc.others("deliver_resp")[0]["status"], "0");

    const std::string receipt_text = "id:" + smsc_id +
                                     " sub:001 dlvrd:001 submit date:2612072300 done "
                                     "date:2612072301 stat:DELIVRD err:000 text:receipt please";
    smsc.send(R"({"cmd":"deliver","tag":"receipt","source_addr_ton":1,"source_addr_npi":1,)"
              R"("source_addr":"447700900010","destination_addr":"447700900100","esm_class":4,)"
              R"("short_message":")" +
              hex_of(receipt_text) + R"(","receipted_message_id":")" + smsc_id +
              R"(","message_state":2})");
    ASSERT_TRUE(smsc.wait_other("deliver_resp", 2, 10000)) << rig.diag();
    EXPECT_EQ(smsc.others("deliver_resp")[1]["status"], "0");

    // UCS-2 text, and binary data with a port header.
    smsc.send(R"({"cmd":"deliver","tag":"ucs2","source_addr":"447700900998",)"
              R"("destination_addr":"12345","data_coding":8,"short_message":")" +
              ucs2_hex("Привет") + R"("})");
    smsc.send(R"({"cmd":"deliver","tag":"bin","source_addr":"447700900997",)"
              R"("destination_addr":"12345","data_coding":4,"esm_class":64,)"
              R"("short_message":"0605040B8423F0C0FFEE"})");
    ASSERT_TRUE(smsc.wait_other("deliver_resp", 4, 10000)) << rig.diag();
    for (const auto& r : smsc.others("deliver_resp")) EXPECT_EQ(r["status"], "0") << r["tag"];

    std::string in, in_ucs2, in_bin;
    ASSERT_TRUE(systest::wait_for([&] { return rig.inbound(".in").size() == 3; }, 5000))
        << rig.diag();
    for (const auto& path : rig.inbound(".in")) {
        std::string text = systest::read_text(path);
        if (contains(text, "Sender=+447700900999")) in = text;
        if (contains(text, "Sender=447700900998")) in_ucs2 = text;
        if (contains(text, "Sender=447700900997")) in_bin = text;
    }
    EXPECT_TRUE(contains(in_ucs2, "dcs=8\r\n")) << in_ucs2;
    EXPECT_TRUE(contains(in_ucs2, "Data=Привет\r\n")) << in_ucs2;
    EXPECT_TRUE(contains(in_bin, "UDH=0605040B8423F0\r\n")) << in_bin;
    EXPECT_TRUE(contains(in_bin, "Data=C0FFEE\r\n")) << in_bin;
    EXPECT_TRUE(contains(in_bin, "Binary=1\r\n")) << in_bin;
    EXPECT_TRUE(contains(in_bin, "dcs=4\r\n")) << in_bin;

    EXPECT_EQ(in.rfind("[SMS-IN]\r\n", 0), 0u) << in;
    EXPECT_TRUE(contains(in, "ModemName=" + smsc.link() + "\r\n")) << in;
    EXPECT_TRUE(contains(in, "Sender=+447700900999\r\n")) << in;
    EXPECT_TRUE(contains(in, "PhoneNumber=12345\r\n")) << in;
    EXPECT_TRUE(contains(in, "Data=Hello gateway\r\n")) << in;
    EXPECT_FALSE(contains(in, "Receipt")) << in;

    ASSERT_TRUE(systest::wait_for([&] { return rig.inbound(".rct").size() == 1; }, 5000))
        << rig.diag();
    std::string rct = systest::read_text(rig.inbound(".rct")[0]);
    EXPECT_EQ(rct.rfind("[SMS-IN]\r\n", 0), 0u) << rct;
    EXPECT_TRUE(contains(rct, "ReceiptDelivered=Yes\r\n")) << rct;
    EXPECT_TRUE(contains(rct, "ReceiptMessageId=" + smsc_id + "\r\n")) << rct;
    EXPECT_TRUE(contains(rct, "Sender=+447700900010\r\n")) << rct;
    EXPECT_TRUE(contains(rct, "Data=" + receipt_text + "\r\n")) << rct;

    // The message is in the inbound log; the receipt still has to be matched.
    bool logged = false;
    for (const auto& l : rig.in_lines()) logged |= contains(l, "Hello gateway");
    EXPECT_TRUE(logged) << rig.diag();
}

// 9a. Quiet hours stop the link from connecting at all; once they are
// lifted the message goes.
TEST_F(LinkSmppTest, LinkSmppQuietHoursStopSending) {
    Smsc smsc;
    ASSERT_TRUE(smsc.start());
    Rig rig;
    ASSERT_TRUE(
        rig.queue("DA000001.req", request({{"PhoneNumber", "447700900301"}, {"Data", "hush"}})));
    // Start = end (not both 0): quiet around the clock, whatever the hour.
    ASSERT_TRUE(
        rig.start(make_ini({{smsc.link(), {{"QuietHourStart", "3"}, {"QuietHourEnd", "3"}}}})))
        << rig.diag();
    std::string status = rig.status_file(smsc.link());
    ASSERT_TRUE(systest::wait_for([&] { return systest::file_size(status) > 0; }, 10000))
        << rig.diag();
    EXPECT_TRUE(contains(systest::read_text(status), "Quiet Hours configured between 3 and 3"))
        << systest::read_text(status);
    platform::sleep_ms(3000);
    EXPECT_EQ(smsc.binds().size(), 0u);
    EXPECT_EQ(smsc.submits().size(), 0u);
    EXPECT_TRUE(systest::file_exists(rig.q("DA000001.req")));
    EXPECT_TRUE(rig.out_log_has("Quiet Hours configured between 3 and 3")) << rig.diag();

    ASSERT_TRUE(rig.gw().rewrite_sms_ini(make_ini({{smsc.link(), {}}})));
    ASSERT_TRUE(smsc.wait_submits_to("447700900301", 1, 30000)) << rig.diag();
    EXPECT_TRUE(systest::wait_for([&] { return rig.queued() == 0; }, 10000)) << rig.diag();
}

// 9b. A daily credit limit of 2 lets exactly two messages through.
TEST_F(LinkSmppTest, LinkSmppDailyCreditLimit) {
    Smsc smsc;
    ASSERT_TRUE(smsc.start());
    Rig rig;
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(rig.queue(platform::strprintf("DB%06d.req", i),
                              request({{"PhoneNumber", platform::strprintf("4477009004%02d", i)},
                                       {"Data", "counted"}})));
    ASSERT_TRUE(rig.start(make_ini({{smsc.link(), {{"CreditLimitDay", "2"}}}}))) << rig.diag();
    ASSERT_TRUE(smsc.wait_submits(2, 20000)) << rig.diag();
    std::string status = rig.status_file(smsc.link());
    ASSERT_TRUE(systest::wait_for([&] { return systest::file_size(status) > 0; }, 10000))
        << rig.diag();
    EXPECT_TRUE(contains(systest::read_text(status), "Credit Exceeded -- Daily Limit is 2, sent 2"))
        << systest::read_text(status);
    platform::sleep_ms(4000);
    EXPECT_EQ(smsc.submits().size(), 2u);
    EXPECT_EQ(rig.queued(), 3u);
    EXPECT_TRUE(rig.out_log_has("Credit Exceeded -- Daily Limit is 2, sent 2")) << rig.diag();
}

// 10. The outbound log's status column: sent, retry pending and failed.
TEST_F(LinkSmppTest, LinkSmppMessageLogLines) {
    Smsc smsc;
    ASSERT_TRUE(smsc.start());
    Rig rig;
    auto msg = [](const std::string& to, const std::string& text) {
        return request({{"PhoneNumber", to},
                        {"Sender", "+447700900100"},
                        {"SubmittedBy", "tester"},
                        {"SubmitUser", "bob"},
                        {"Data", text}});
    };
    ASSERT_TRUE(rig.queue("EA000001.req", msg("+447700900020", "Log test")));
    ASSERT_TRUE(rig.queue("EA000002.req", msg("fail45x1", "Retry once")));
    ASSERT_TRUE(rig.queue("EA000003.req", msg("fail0B", "Fails")));
    ASSERT_TRUE(rig.start(make_ini({{smsc.link(), {}}}))) << rig.diag();
    ASSERT_TRUE(smsc.wait_submits_to("fail45x1", 2, 20000)) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.queued() == 0; }, 15000)) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.out_lines_for("EA000002").size() == 2; }, 5000))
        << rig.diag();
    const std::string link = smsc.link();
    const std::regex stamp("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}$");

    auto ok = rig.out_lines_for("EA000001");
    ASSERT_EQ(ok.size(), 1u) << rig.diag();
    EXPECT_TRUE(std::regex_match(ok[0].time, stamp)) << ok[0].raw;
    EXPECT_EQ(ok[0].submitted_by, "tester");
    EXPECT_EQ(ok[0].recipient, "+447700900020");
    EXPECT_EQ(ok[0].status, "OK -- " + link);
    std::string smsc_id = smsc.submits_to("447700900020")[0]["message_id"];
    EXPECT_TRUE(contains(ok[0].details, "SubmitUser=bob")) << ok[0].raw;
    EXPECT_TRUE(contains(ok[0].details, "Sender=+447700900100")) << ok[0].raw;
    EXPECT_TRUE(contains(ok[0].details, "SMSCMsgId=" + smsc_id)) << ok[0].raw;
    EXPECT_TRUE(contains(ok[0].details, "Text=\"Log test\"")) << ok[0].raw;

    auto retry = rig.out_lines_for("EA000002");
    ASSERT_EQ(retry.size(), 2u) << rig.diag();
    EXPECT_EQ(retry[0].status, "Retry Pending - " + error_text(0x45) + " -- " + link);
    EXPECT_EQ(retry[0].recipient, "fail45x1");
    EXPECT_EQ(retry[1].status, "OK -- " + link);

    auto failed = rig.out_lines_for("EA000003");
    ASSERT_EQ(failed.size(), 1u) << rig.diag();
    EXPECT_EQ(failed[0].status, error_text(0x0B) + " -- " + link);
    EXPECT_TRUE(contains(failed[0].details, "Text=\"Fails\"")) << failed[0].raw;
}

// Bad request files never stop the link: the good message behind them goes.
TEST_F(LinkSmppTest, LinkSmppBadRequestFilesDoNotStopTheLink) {
    Smsc smsc;
    ASSERT_TRUE(smsc.start());
    Rig rig;
    std::string junk;
    for (int i = 0; i < 4096; ++i) junk.push_back(char((i * 131 + 7) & 0xFF));
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"F0000001.req", ""},
        {"F0000002.req", "\x1A[SMS]\r\nPhoneNumber=+447700900001\r\nData=x\r\n"},
        {"F0000003.req", "no section at all\r\nPhoneNumber=+447700900001\r\n"},
        {"F0000004.req",
         "[SMS]\r\nPhoneNumber=+447700900031\r\nBinary=1\r\nDCS=F5\r\nData=ZZZ\r\n"},
        {"F0000005.req", "[SMS]\r\nPhoneNumber=+447700900032\r\nUDH=ABC\r\nData=odd header\r\n"},
        {"F0000006.req", "[SMS]\r\nPhoneNumber=+447700900033\r\nDCS=8\r\nData=\xFF\xFE\xC3\r\n"},
        {"F0000007.req",
         "[SMS]\r\nPhoneNumber=+447700900034\r\nData=" + std::string(20000, 'A') + "\r\n"},
        {"F0000008.req", junk},
        {"F0000009.req", "[SMS]\r\nPhoneNumber=+" + std::string(400, '4') + "\r\nData=x\r\n"},
        {"F0000010.req", "[SMS]\r\nPhoneNumber=+447700900035\r\nBinary=1\r\nUDH=" +
                             std::string(498, 'F') + "\r\nData=00\r\n"},
        {"F0000011.req", "[SMS]\r\nPhoneNumber=+447700900036\r\nSender=" + std::string(300, 'S') +
                             "\r\nDCS=ZZ\r\nPID=\r\nData=\\r\\n\\\r\n"},
    };
    for (const auto& [name, body] : bad) ASSERT_TRUE(rig.queue(name, body));
    ASSERT_TRUE(
        rig.queue("F9999999.req", request({{"PhoneNumber", "447700900999"}, {"Data", "good"}})));
    ASSERT_TRUE(rig.start(make_ini({{smsc.link(), {}}}))) << rig.diag();
    ASSERT_TRUE(smsc.wait_submits_to("447700900999", 1, 30000)) << rig.diag();
    platform::sleep_ms(3000);
    EXPECT_TRUE(rig.running()) << rig.diag();
    EXPECT_FALSE(systest::file_exists(rig.home() + "PRIVATE/EXCEPT.LOG"))
        << systest::read_text(rig.home() + "PRIVATE/EXCEPT.LOG");
    // No recipient: deleted without a log line.
    for (const char* id : {"F0000001", "F0000002", "F0000003"}) {
        EXPECT_FALSE(systest::file_exists(rig.q(std::string(id) + ".req"))) << id;
        EXPECT_TRUE(rig.out_lines_for(id).empty()) << id;
    }
}

// 11. A windowed link killed in the middle of 5,000 messages: after the
// restart every message reaches the SMSC at least once.
TEST_F(LinkSmppTest, LinkSmppCrashMidFlightLosesNothing) {
    constexpr int kMessages = 5000;
    Smsc smsc;
    ASSERT_TRUE(smsc.start());
    Rig rig;
    for (int i = 0; i < kMessages; ++i)
        ASSERT_TRUE(rig.queue(platform::strprintf("C%07d.req", i),
                              request({{"PhoneNumber", "447700900500"},
                                       {"Data", platform::strprintf("crash-%05d", i)}})));
    // Every sent file goes through the deleter pool, which is busy when the
    // gateway is killed.
    const std::string ini = make_ini({{smsc.link(), {{"WindowSize", "100"}}}},
                                     {{"QueueDeleteInlineBelowUs", "0"}, {"QueueDeleteThreads", "2"}});
    ASSERT_TRUE(rig.start(ini)) << rig.diag();
    ASSERT_TRUE(smsc.wait_submits(kMessages / 4, 60000)) << rig.diag();
    ASSERT_TRUE(rig.kill9());
    size_t before_kill = smsc.submits().size();
    std::cout << "[ submits seen before SIGKILL: " << before_kill << ", files waiting for the "
              << "deleter pool: " << rig.files(rig.q(), ".del").size() << " ]\n";

    ASSERT_TRUE(rig.start(ini)) << rig.diag();
    std::map<std::string, int> seen;
    auto count_seen = [&] {
        seen = smsc.texts_seen();
        return seen.size();
    };
    // Until everything arrived, or the queue is empty and nothing moves.
    size_t last = 0;
    uint64_t last_change = platform::monotonic_ms();
    systest::wait_for(
        [&] {
            size_t n = count_seen();
            if (n != last) {
                last = n;
                last_change = platform::monotonic_ms();
            }
            return n >= size_t(kMessages) ||
                   (rig.queued() == 0 && platform::monotonic_ms() - last_change > 5000);
        },
        120000, 200);
    EXPECT_TRUE(systest::wait_for([&] { return rig.queued() == 0; }, 5000)) << rig.diag();
    // Files the killed gateway renamed but had not unlinked yet are swept at
    // the restart; the pool unlinks the rest.
    EXPECT_TRUE(systest::wait_for([&] { return rig.files(rig.q(), ".del").empty(); }, 10000))
        << rig.files(rig.q(), ".del").size() << " files waiting for deletion";
    count_seen();
    int twice = 0;
    std::string missing;
    size_t n_missing = 0;
    for (int i = 0; i < kMessages; ++i) {
        std::string text = platform::strprintf("crash-%05d", i);
        auto it = seen.find(text);
        if (it == seen.end()) {
            ++n_missing;
            std::string id = platform::strprintf("C%07d", i);
            missing +=
                "\n  " + text + (systest::file_exists(rig.q(id + ".req")) ? " (queued)" : "");
            for (const auto& l : rig.out_lines_for(id)) missing += "\n    log: " + l.raw;
        } else if (it->second > 1) {
            twice += it->second - 1;
        }
    }
    EXPECT_EQ(n_missing, 0u) << "never reached the SMSC:" << missing;
    EXPECT_EQ(seen.size(), size_t(kMessages) - n_missing);  // nothing foreign
    std::cout << "[ crash test: " << kMessages << " messages, " << twice
              << " sent twice after SIGKILL, " << n_missing << " lost ]\n";
    RecordProperty("duplicates_after_sigkill", twice);
    RecordProperty("submits_before_sigkill", int(before_kill));
}

// The windowed (asynchronous) link reaches the same outcomes as the
// synchronous one: throttled submits come back, retries and permanent
// failures are logged and filed alike, slow answers do not hold the window.
TEST_F(LinkSmppTest, LinkSmppWindowedOutcomesMatchSynchronous) {
    Smsc smsc;
    ASSERT_TRUE(smsc.start());
    Rig rig;
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(rig.queue(platform::strprintf("W0%06d.req", i),
                              request({{"PhoneNumber", platform::strprintf("4477009010%02d", i)},
                                       {"Data", platform::strprintf("window %d", i)}})));
    ASSERT_TRUE(rig.queue("W1000001.req", request({{"PhoneNumber", "throttle2"}, {"Data", "t"}})));
    ASSERT_TRUE(rig.queue("W1000002.req", request({{"PhoneNumber", "fail0B"},
                                                   {"Sender", "+447700900100"},
                                                   {"Data", "rejected"},
                                                   {"ReceiptRequested", "Yes"}})));
    ASSERT_TRUE(rig.queue("W1000003.req", request({{"PhoneNumber", "fail45x1"}, {"Data", "r"}})));
    ASSERT_TRUE(rig.queue("W1000004.req", request({{"PhoneNumber", "slow300"}, {"Data", "s"}})));
    ASSERT_TRUE(rig.start(make_ini({{smsc.link(), {{"WindowSize", "10"}}}}))) << rig.diag();
    ASSERT_TRUE(smsc.wait_submits_to("throttle2", 3, 30000)) << rig.diag();
    ASSERT_TRUE(smsc.wait_submits_to("fail45x1", 2, 30000)) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.queued() == 0; }, 20000)) << rig.diag();
    const std::string link = smsc.link();

    for (int i = 0; i < 20; ++i) {
        std::string id = platform::strprintf("W0%06d", i);
        auto lines = rig.out_lines_for(id);
        ASSERT_EQ(lines.size(), 1u) << id << rig.diag();
        EXPECT_EQ(lines[0].status, "OK -- " + link);
        EXPECT_EQ(smsc.submits_to(platform::strprintf("4477009010%02d", i)).size(), 1u) << i;
    }
    auto t = rig.out_lines_for("W1000001");
    ASSERT_FALSE(t.empty()) << rig.diag();
    EXPECT_EQ(t.back().status, "OK -- " + link);
    EXPECT_EQ(smsc.submits_to("throttle2").size(), 3u);

    auto f = rig.out_lines_for("W1000002");
    ASSERT_EQ(f.size(), 1u) << rig.diag();
    EXPECT_EQ(f[0].status, error_text(0x0B) + " -- " + link);
    EXPECT_TRUE(systest::file_exists(rig.q("W1000002.ERR")));
    auto recs = rig.inbound(".rec");
    ASSERT_EQ(recs.size(), 1u) << rig.diag();
    EXPECT_TRUE(contains(systest::read_text(recs[0]), "ReceiptMessageId=W1000002")) << rig.diag();

    auto r = rig.out_lines_for("W1000003");
    ASSERT_EQ(r.size(), 2u) << rig.diag();
    EXPECT_EQ(r[0].status, "Retry Pending - " + error_text(0x45) + " -- " + link);
    EXPECT_EQ(r[1].status, "OK -- " + link);

    auto s = rig.out_lines_for("W1000004");
    ASSERT_EQ(s.size(), 1u) << rig.diag();
    EXPECT_EQ(s[0].status, "OK -- " + link);
    EXPECT_EQ(smsc.submits_to("slow300").size(), 1u);
}

// One transmitter with three receiver connections, the 3.3 interface
// version, and enquire-links on a one-second keep-alive.
TEST_F(LinkSmppTest, LinkSmppReceiverConnectionsAndKeepAlive) {
    Smsc smsc;
    ASSERT_TRUE(smsc.start());
    Rig rig;
    ASSERT_TRUE(rig.start(make_ini({{smsc.link(),
                                     {{"TransmitterCount", "1"},
                                      {"ReceiverCount", "3"},
                                      {"SMPPVersion", "v3.3"},
                                      {"KeepAlive", "1"}}}})))
        << rig.diag();
    ASSERT_TRUE(smsc.wait_binds(4, 15000)) << rig.diag();
    platform::sleep_ms(1500);
    std::map<std::string, int> kinds;
    std::string transmitter_session;
    for (const auto& b : smsc.binds()) {
        ++kinds[b["command"]];
        EXPECT_EQ(b["interface_version"], "51");
        if (b["command"] == "bind_transmitter") transmitter_session = b["session"];
    }
    EXPECT_EQ(kinds["bind_transmitter"], 1);
    EXPECT_EQ(kinds["bind_receiver"], 3);
    EXPECT_EQ(kinds["bind_transceiver"], 0);
    EXPECT_EQ(smsc.binds().size(), 4u);

    ASSERT_TRUE(
        rig.queue("RA000001.req", request({{"PhoneNumber", "447700900901"}, {"Data", "tx"}})));
    ASSERT_TRUE(smsc.wait_submits(1, 15000)) << rig.diag();
    EXPECT_EQ(smsc.submits()[0]["session"], transmitter_session);

    // Enquire-links keep coming while the link is idle.
    size_t before = smsc.others("enquire_link").size();
    platform::sleep_ms(3500);
    EXPECT_GE(smsc.others("enquire_link").size(), before + 2) << rig.diag();
}

// Receipt settings of a link: one never asks the SMSC for receipts, the
// other reports acceptance at once with an interim "enroute" receipt.
TEST_F(LinkSmppTest, LinkSmppReceiptRequestBlockedAndEnrouteReport) {
    Smsc a, b;
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    Rig rig;
    ASSERT_TRUE(rig.queue("EB000001.req", request({{"PhoneNumber", "447700900801"},
                                                   {"Data", "no receipt asked"},
                                                   {"ReceiptRequested", "Yes"},
                                                   {"SMSCRoute", a.link()}})));
    ASSERT_TRUE(rig.queue("EB000002.req", request({{"PhoneNumber", "447700900802"},
                                                   {"Sender", "+447700900100"},
                                                   {"Data", "enroute please"},
                                                   {"ReceiptRequested", "Yes"},
                                                   {"SubmitUser", "carol"},
                                                   {"SMSCRoute", b.link()}})));
    ASSERT_TRUE(rig.start(make_ini({{a.link(), {{"BlockDeliveryReceiptRequest", "Yes"}}},
                                    {b.link(), {{"DeliveryReportEnroute", "Yes"}}}})))
        << rig.diag();
    ASSERT_TRUE(a.wait_submits(1, 15000)) << rig.diag();
    ASSERT_TRUE(b.wait_submits(1, 15000)) << rig.diag();
    EXPECT_EQ(a.submits()[0]["registered_delivery"], "0");
    EXPECT_EQ(b.submits()[0]["registered_delivery"], "1");

    ASSERT_TRUE(systest::wait_for([&] { return rig.inbound(".rec").size() == 1; }, 5000))
        << rig.diag();
    platform::sleep_ms(500);
    ASSERT_EQ(rig.inbound(".rec").size(), 1u);  // none for the blocked request
    std::string rec = systest::read_text(rig.inbound(".rec")[0]);
    EXPECT_TRUE(contains(rec, "ReceiptIntransit=Yes\r\n")) << rec;
    EXPECT_TRUE(contains(rec, "ReceiptMessageId=EB000002\r\n")) << rec;
    EXPECT_TRUE(contains(rec, "RouteToLocalUser=carol\r\n")) << rec;
    EXPECT_TRUE(contains(rec, "PhoneNumber=+447700900100\r\n")) << rec;
    EXPECT_TRUE(std::regex_search(rec, std::regex("Data=id:EB000002 sub:001 dlvrd:001 submit "
                                                  "date:\\d{10} done date:\\d{10} stat:ENROUTE "
                                                  "err:000 text:enroute please\r\n")))
        << rec;
}

// A status listed in SMPPRejectErrorCodes fails for good at once, and
// ReRouteOnError hands the message to another route, which sends it.
TEST_F(LinkSmppTest, LinkSmppRejectCodeReRoutedToOtherLink) {
    Smsc a, b;
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    a.send(R"({"cmd":"status","status":69})");  // A answers every submit with 0x45
    Rig rig;
    ASSERT_TRUE(rig.queue("RR000001.req", request({{"PhoneNumber", "447700900601"},
                                                   {"Data", "go elsewhere"},
                                                   {"SMSCRoute", a.link()}})));
    ASSERT_TRUE(rig.start(make_ini({{a.link(),
                                     {{"SMPPRejectErrorCodes", "0x0045, 58"},
                                      {"ReRouteOnError", "Second"},
                                      {"RetryMaxAttempts", "5"}}},
                                    {b.link(), {{"RouteName", "Second"}}}})))
        << rig.diag();
    ASSERT_TRUE(b.wait_submits(1, 20000)) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.queued() == 0; }, 10000)) << rig.diag();
    platform::sleep_ms(1000);
    EXPECT_EQ(a.submits().size(), 1u);
    EXPECT_EQ(a.submits()[0]["answer"], "69");
    EXPECT_EQ(b.submits().size(), 1u);
    EXPECT_EQ(bytes_of(b.submits()[0]["short_message"]), "go elsewhere");
    EXPECT_TRUE(contains(rig.gw().debug_log(), "ReRouteOnError=Second")) << rig.diag();
    auto lines = rig.out_lines_for("RR000001");
    ASSERT_FALSE(lines.empty()) << rig.diag();
    EXPECT_EQ(lines.back().status, "OK -- " + b.link());
    for (const auto& l : lines)
        EXPECT_EQ(l.status.find(error_text(0x45) + " -- "), std::string::npos) << l.raw;
    EXPECT_TRUE(Rig::files(rig.q(), ".ERR").empty());
}

// SMSCSendLimit spaces the submits; a changed password reconnects the link
// with the new one.
TEST_F(LinkSmppTest, LinkSmppSendLimitAndSettingsChange) {
    Smsc smsc;
    ASSERT_TRUE(smsc.start());
    Rig rig;
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(rig.queue(platform::strprintf("SL%06d.req", i),
                              request({{"PhoneNumber", platform::strprintf("4477009007%02d", i)},
                                       {"Data", "paced"}})));
    ASSERT_TRUE(rig.start(
        make_ini({{smsc.link(), {{"SMSCSendLimit", "4"}, {"ReceiveSingleConnection", "Yes"}}}})))
        << rig.diag();
    ASSERT_TRUE(smsc.wait_submits(5, 20000)) << rig.diag();
    // 250 ms apart; measured over the whole run, as single gaps seen at
    // the SMSC jitter with the scheduling of both processes.
    auto s = smsc.submits();
    ASSERT_EQ(s.size(), 5u);
    EXPECT_GE(std::stol(s[4]["t"]) - std::stol(s[0]["t"]), 950);

    ASSERT_TRUE(rig.gw().rewrite_sms_ini(make_ini(
        {{smsc.link(),
          {{"SMSCSendLimit", "4"}, {"ReceiveSingleConnection", "Yes"}, {"Password", "pw2"}}}})));
    ASSERT_TRUE(smsc.wait_binds(1, 20000, [](const Event& e) { return e["password"] == "pw2"; }))
        << rig.diag();
    EXPECT_TRUE(contains(rig.gw().debug_log(),
                         "Connection settings have changed, requiring a reconnection"))
        << rig.diag();
    ASSERT_TRUE(
        rig.queue("SL999999.req", request({{"PhoneNumber", "447700900799"}, {"Data", "after"}})));
    EXPECT_TRUE(smsc.wait_submits_to("447700900799", 1, 15000)) << rig.diag();
}

// An SMSC that stops answering: after CommandTimeout the session is given
// up, and the message goes again over the next one.
TEST_F(LinkSmppTest, LinkSmppUnansweredSubmitResentAfterTimeout) {
    Smsc smsc;
    ASSERT_TRUE(smsc.start());
    Rig rig;
    ASSERT_TRUE(
        rig.queue("TO000001.req", request({{"PhoneNumber", "silentx1"}, {"Data", "hello?"}})));
    ASSERT_TRUE(rig.start(
        make_ini({{smsc.link(), {{"CommandTimeout", "2"}, {"ReceiveSingleConnection", "Yes"}}}})))
        << rig.diag();
    ASSERT_TRUE(smsc.wait_submits_to("silentx1", 2, 30000)) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.queued() == 0; }, 10000)) << rig.diag();
    auto v = smsc.submits_to("silentx1");
    EXPECT_EQ(v[0]["answer"], "silent");
    EXPECT_EQ(v[1]["answer"], "0");
    EXPECT_GE(std::stol(v[1]["t"]) - std::stol(v[0]["t"]), 1900);
    EXPECT_NE(v[0]["session"], v[1]["session"]);
    auto lines = rig.out_lines_for("TO000001");
    ASSERT_FALSE(lines.empty()) << rig.diag();
    EXPECT_EQ(lines.back().status, "OK -- " + smsc.link());
}

// Two links without patterns share one queue: every message goes out
// exactly once, and the segments of each long message stay together on one
// link, in order.
TEST_F(LinkSmppTest, LinkSmppTwoLinksShareTheQueueWithoutDuplicates) {
    constexpr int kSingles = 300, kLong = 20, kParts = 3;
    Smsc a, b;
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    Rig rig;
    for (int i = 0; i < kSingles; ++i)
        ASSERT_TRUE(rig.queue(platform::strprintf("S%07d.req", i),
                              request({{"PhoneNumber", "447700900400"},
                                       {"Data", platform::strprintf("single-%04d", i)}})));
    for (int m = 0; m < kLong; ++m)
        for (int p = 1; p <= kParts; ++p)
            ASSERT_TRUE(rig.queue(
                platform::strprintf("SAR-4477009005%02d-%x-%d-%d.req", m, 0x100 + m, kParts, p),
                request({{"PhoneNumber", platform::strprintf("4477009005%02d", m)},
                         {"Binary", "1"},
                         {"DCS", "F5"},
                         {"UDH", platform::strprintf("050003%02X%02X%02X", m, kParts, p)},
                         {"Data", platform::strprintf("%02X%02X", m, p)}})));
    ASSERT_TRUE(rig.start(make_ini({{a.link(), {}}, {b.link(), {{"WindowSize", "20"}}}})))
        << rig.diag();
    const size_t total = size_t(kSingles + kLong * kParts);
    ASSERT_TRUE(systest::wait_for(
        [&] { return a.submits().size() + b.submits().size() >= total && rig.queued() == 0; },
        60000, 100))
        << a.submits().size() << " + " << b.submits().size() << rig.diag();
    platform::sleep_ms(1500);
    EXPECT_EQ(a.submits().size() + b.submits().size(), total);
    std::cout << "[ shared queue: " << a.submits().size() << " by the synchronous link, "
              << b.submits().size() << " by the windowed link ]\n";

    std::map<std::string, int> singles;
    for (Smsc* s : {&a, &b})
        for (const auto& e : s->submits_to("447700900400")) ++singles[bytes_of(e["short_message"])];
    EXPECT_EQ(singles.size(), size_t(kSingles));
    for (const auto& [text, n] : singles) EXPECT_EQ(n, 1) << text;

    for (int m = 0; m < kLong; ++m) {
        std::string dest = platform::strprintf("4477009005%02d", m);
        auto on_a = a.submits_to(dest), on_b = b.submits_to(dest);
        EXPECT_TRUE(on_a.empty() || on_b.empty()) << dest << " split over both links";
        auto& parts = on_a.empty() ? on_b : on_a;
        ASSERT_EQ(parts.size(), size_t(kParts)) << dest;
        for (int p = 1; p <= kParts; ++p)
            EXPECT_EQ(parts[size_t(p - 1)]["short_message"],
                      platform::strprintf("050003%02X%02X%02X%02X%02X", m, kParts, p, m, p))
                << dest;
    }
}

// SIGTERM while a windowed link has submits in flight: the gateway stops
// promptly, without dropping answers that are on their way, and, restarted,
// delivers the rest.
TEST_F(LinkSmppTest, LinkSmppStopWithWindowInFlight) {
    constexpr int kMessages = 1500;
    Smsc smsc;
    ASSERT_TRUE(smsc.start());
    Rig rig;
    for (int i = 0; i < kMessages; ++i)
        ASSERT_TRUE(rig.queue(
            platform::strprintf("T%07d.req", i),
            request({{"PhoneNumber", "slow20"}, {"Data", platform::strprintf("stop-%05d", i)}})));
    const std::string ini = make_ini({{smsc.link(), {{"WindowSize", "50"}}}});
    ASSERT_TRUE(rig.start(ini)) << rig.diag();
    ASSERT_TRUE(smsc.wait_submits(kMessages / 5, 60000)) << rig.diag();
    ASSERT_TRUE(rig.gw().send_signal(SIGTERM));
    auto st = rig.gw().wait_exit(20000);
    ASSERT_TRUE(st.has_value()) << "no exit within 20 s" << rig.diag();
    EXPECT_EQ(*st, 0) << rig.diag();
    size_t before = smsc.submits().size();
    // The first run's trace from the stop request on, for the failure text.
    std::string stop_trace = rig.gw().debug_log();
    if (size_t at = stop_trace.find("Initiating shutdown"); at != std::string::npos)
        stop_trace = stop_trace.substr(stop_trace.rfind('\n', at) + 1);
    std::string stop_lines;
    {
        std::istringstream in(stop_trace);
        std::string line;
        while (std::getline(in, line))
            if (!contains(line, "Depth") && !contains(line, "Processing") &&
                !contains(line, "Available Route"))
                stop_lines += line + "\n";
    }

    ASSERT_TRUE(rig.start(ini)) << rig.diag();
    std::map<std::string, int> seen;
    auto count_seen = [&] {
        seen = smsc.texts_seen();
        return seen.size();
    };
    ASSERT_TRUE(systest::wait_for([&] { return count_seen() >= size_t(kMessages); }, 90000, 200))
        << seen.size() << " of " << kMessages << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.queued() == 0; }, 10000)) << rig.diag();
    count_seen();
    int twice = 0;
    for (const auto& [text, n] : seen) twice += n - 1;
    EXPECT_EQ(seen.size(), size_t(kMessages));
    std::cout << "[ stop test: " << before << " submits before SIGTERM, " << twice
              << " sent twice ]\n";
    RecordProperty("duplicates_after_sigterm", twice);
    // The SMSC answers within 20 ms and a stop may take seconds: a clean
    // stop waits for the answers of what it has submitted instead of
    // sending those messages a second time after the restart.
    EXPECT_EQ(twice, 0) << "accepted submits still in the window were resent; trace of the stop:\n"
                        << stop_lines;
}

// Queue subdirectories: a route queue is served only by its route's link,
// whatever the files in it say; other subdirectories by any link.
TEST_F(LinkSmppTest, LinkSmppRouteQueueDirectories) {
    Smsc a, b;
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    Rig rig;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(rig.queue(platform::strprintf("QA%06d.req", i),
                              request({{"PhoneNumber", platform::strprintf("4477009002%02d", i)},
                                       {"Data", "first"},
                                       {"SMSCRoute", "First"}}),
                              "RT_-_First_-_/"));
        // No route of its own: the directory decides.
        ASSERT_TRUE(rig.queue(platform::strprintf("QB%06d.req", i),
                              request({{"PhoneNumber", platform::strprintf("4477009003%02d", i)},
                                       {"Data", "second"}}),
                              "RT_-_Second_-_/"));
        ASSERT_TRUE(rig.queue(platform::strprintf("QC%06d.req", i),
                              request({{"PhoneNumber", platform::strprintf("4477009004%02d", i)},
                                       {"Data", "anyone"}}),
                              "####00AB/"));
    }
    ASSERT_TRUE(rig.start(
        make_ini({{a.link(), {{"RouteName", "First"}}}, {b.link(), {{"RouteName", "Second"}}}})))
        << rig.diag();
    ASSERT_TRUE(systest::wait_for(
        [&] { return a.submits().size() + b.submits().size() >= 15 && rig.queued() == 0; }, 30000,
        50))
        << rig.diag();
    platform::sleep_ms(1000);
    EXPECT_EQ(a.submits().size() + b.submits().size(), 15u);
    for (const auto& e : a.submits())
        EXPECT_NE(e["destination_addr"].substr(0, 10), "4477009003") << "route queue of Second";
    for (const auto& e : b.submits())
        EXPECT_NE(e["destination_addr"].substr(0, 10), "4477009002") << "route queue of First";
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(a.submits_to(platform::strprintf("4477009002%02d", i)).size(), 1u) << i;
        EXPECT_EQ(b.submits_to(platform::strprintf("4477009003%02d", i)).size(), 1u) << i;
        EXPECT_EQ(a.submits_to(platform::strprintf("4477009004%02d", i)).size() +
                      b.submits_to(platform::strprintf("4477009004%02d", i)).size(),
                  1u)
            << i;
    }
}

// "Message queue full" (0x14) for a recipient holds that recipient's other
// messages on the link until the first has left the queue: the attempts of
// the two messages never interleave.
TEST_F(LinkSmppTest, LinkSmppQueueFullHoldsTheRecipient) {
    Smsc smsc;
    ASSERT_TRUE(smsc.start());
    Rig rig;
    ASSERT_TRUE(rig.queue("QF000001.req", request({{"PhoneNumber", "fail14x2"}, {"Data", "A"}})));
    ASSERT_TRUE(rig.queue("QF000002.req", request({{"PhoneNumber", "fail14x2"}, {"Data", "B"}})));
    ASSERT_TRUE(
        rig.queue("QF000003.req", request({{"PhoneNumber", "447700900333"}, {"Data", "C"}})));
    ASSERT_TRUE(rig.start(make_ini({{smsc.link(), {}}}))) << rig.diag();
    ASSERT_TRUE(smsc.wait_submits_to("fail14x2", 4, 30000)) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.queued() == 0; }, 10000)) << rig.diag();
    EXPECT_EQ(smsc.submits_to("447700900333").size(), 1u);  // other recipients go on
    std::string order;
    for (const auto& e : smsc.submits_to("fail14x2")) order += bytes_of(e["short_message"]);
    EXPECT_TRUE(order == "AAAB" || order == "BBBA") << order << rig.diag();
    for (const char* id : {"QF000001", "QF000002"}) {
        auto lines = rig.out_lines_for(id);
        ASSERT_FALSE(lines.empty()) << id;
        EXPECT_EQ(lines.back().status, "OK -- " + smsc.link()) << id;
    }
}

// The engine's PDU trace follows Debug and NoDebugProtocol, from start-up
// and again after SMSGW.INI changed.
TEST_F(LinkSmppTest, LinkSmppDebugModeShowsPduTrace) {
    struct Case {
        Keys global;
        bool pdu_trace;
        Keys after;  // SMSGW.INI rewritten with these ({}: not rewritten)
        bool pdu_trace_after;
    } cases[] = {
        {{{"Debug", "Yes"}}, true, {{"Debug", "Yes"}, {"NoDebugProtocol", "Yes"}}, false},
        {{{"Debug", "Yes"}, {"NoDebugProtocol", "Yes"}}, false, {{"Debug", "Yes"}}, true},
        {{{"Debug", "No"}}, false, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.global.back().first + "=" + c.global.back().second);
        Smsc smsc;
        ASSERT_TRUE(smsc.start());
        Rig rig;
        ASSERT_TRUE(
            rig.queue("DB000001.req", request({{"PhoneNumber", "447700900951"}, {"Data", "one"}})));
        systest::GatewayOptions opt = systest::with_ini(make_ini({{smsc.link(), {}}}, c.global));
        opt.minute_seconds = 1;  // settings reloads within a second
        ASSERT_TRUE(rig.start(opt)) << rig.diag();
        ASSERT_TRUE(smsc.wait_submits(1, 15000)) << rig.diag();
        const std::string pdu_line = "SMPP:  " + smsc.link() + " send submit_sm seq=";
        if (c.global[0].second == "Yes") {
            EXPECT_TRUE(systest::wait_for(
                [&] { return contains(rig.debug_log(), "SMPP connection OK"); }, 5000, 20));
        }
        EXPECT_EQ(contains(rig.debug_log(), pdu_line), c.pdu_trace) << rig.diag();
        if (c.after.empty()) continue;

        ASSERT_TRUE(rig.gw().rewrite_sms_ini(make_ini({{smsc.link(), {}}}, c.after)));
        platform::sleep_ms(2500);  // two reload rounds
        std::string before = rig.debug_log();
        ASSERT_TRUE(
            rig.queue("DB000002.req", request({{"PhoneNumber", "447700900952"}, {"Data", "two"}})));
        ASSERT_TRUE(smsc.wait_submits_to("447700900952", 1, 15000)) << rig.diag();
        platform::sleep_ms(200);
        std::string after = rig.debug_log();
        ASSERT_GE(after.size(), before.size());
        EXPECT_EQ(contains(after.substr(before.size()), pdu_line), c.pdu_trace_after) << rig.diag();
    }
}
