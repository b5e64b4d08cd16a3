// Black-box tests of UCP/EMI and CIMD2 links: the real gateway binary sends
// queued request files to the test SMSCs of common/ (which frame and check
// everything with their own code) and receives from them, on its own
// connection and on the link's receive port. Each test has its own home,
// its own SMSC on a free port and short reconnect and retry schedules.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/cimd_sim.h"
#include "common/ucp_sim.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/text.h"
#include "protocols/cimd/cimd.h"
#include "protocols/ucp/ucp.h"
#include "system/harness.h"
#include "system/link_fixture.h"

namespace fs = std::filesystem;

namespace {

enum class Kind { Ucp, Cimd };

std::string kind_name(Kind k) {
    return k == Kind::Ucp ? "UCP" : "CIMD";
}

using linktest::contains;
using linktest::Keys;
using linktest::request;
using linktest::ucs2_hex;

// A free port for the gateway's receive port (a listener bound to it was
// closed again).
unsigned free_port() {
    uint16_t port = 0;
    platform::Socket l = platform::tcp_listen("127.0.0.1", 0, 1, &port);
    return port;
}

// --- the SMSC: one face over both test SMSCs -----------------------------------------------

// A submit as the SMSC saw it: UCP fields by position, CIMD parameters by code.
using Submit = std::map<int, std::string>;

class Smsc {
  public:
    explicit Smsc(Kind kind) : kind_(kind) {
        if (kind_ == Kind::Ucp) {
            u_ = std::make_unique<ucp_sim::Smsc>();
            u_->max_session_ms = 300000;
        } else {
            c_ = std::make_unique<cimd_sim::Smsc>();
            c_->max_session_ms = 300000;
        }
    }
    // Behaviour is set before serving starts.
    void refuse_logins() {
        if (u_)
            u_->user = "somebody else";
        else
            c_->user = "somebody else";
    }
    // Refuses submits to the listed recipients with their error codes;
    // others are accepted.
    void refuse_by_recipient(std::map<std::string, int> codes) {
        if (u_) {
            u_->submit_reply = [codes, this](const ucp_sim::SimFrame& f) {
                auto it = codes.find(f.fields.empty() ? "" : f.fields[0]);
                if (it != codes.end())
                    return ucp_sim::sim_frame(f.trn, 'R', 51,
                                              {"N", platform::strprintf("%02d", it->second), ""});
                return ucp_sim::sim_frame(f.trn, 'R', 51, {"A", "", f.fields[0] + ":" + u_->scts});
            };
        } else {
            c_->submit_reply = [codes, this](const cimd_sim::SimPacket& p) {
                std::string dest = p.params.count(21) ? p.params.at(21) : "";
                auto it = codes.find(dest);
                if (it != codes.end())
                    return cimd_sim::sim_packet(53, p.number, {{900, std::to_string(it->second)}});
                return cimd_sim::sim_packet(53, p.number, {{21, dest}, {60, c_->scts}});
            };
        }
    }
    void serve() { u_ ? u_->serve() : c_->serve(); }

    unsigned port() const { return u_ ? u_->port : c_->port; }
    std::string link() const { return kind_name(kind_) + " - 127.0.0.1:" + std::to_string(port()); }
    std::string scts() const { return u_ ? u_->scts : c_->scts; }

    std::vector<Submit> submits() {
        std::vector<Submit> out;
        if (u_) {
            for (const auto& f : u_->frames()) {
                if (f.kind != 'O' || f.ot != 51) continue;
                Submit s;
                for (size_t i = 0; i < f.fields.size(); ++i) s[int(i)] = f.fields[i];
                out.push_back(s);
            }
        } else {
            for (const auto& p : c_->packets())
                if (p.op == 3) out.push_back(p.params);
        }
        return out;
    }
    std::string recipient_of(const Submit& s) const {
        auto it = s.find(u_ ? 0 : 21);
        return it == s.end() ? "" : it->second;
    }
    std::vector<Submit> submits_to(const std::string& recipient) {
        std::vector<Submit> out;
        for (const auto& s : submits())
            if (recipient_of(s) == recipient) out.push_back(s);
        return out;
    }
    bool wait_submits(size_t n, unsigned ms) {
        return systest::wait_for([&] { return submits().size() >= n; }, ms);
    }
    bool wait_submits_to(const std::string& r, size_t n, unsigned ms) {
        return systest::wait_for([&] { return submits_to(r).size() >= n; }, ms);
    }
    size_t logins() {
        return u_ ? u_->count_if(
                        [](const ucp_sim::SimFrame& f) { return f.kind == 'O' && f.ot == 60; })
                  : c_->count_if([](const cimd_sim::SimPacket& p) { return p.op == 1; });
    }
    size_t keep_alives() {
        return u_ ? u_->count_if(
                        [](const ucp_sim::SimFrame& f) { return f.kind == 'O' && f.ot == 31; })
                  : c_->count_if([](const cimd_sim::SimPacket& p) { return p.op == 40; });
    }
    // Answers to what the SMSC delivered (positive ones only).
    size_t delivery_acks() {
        return u_ ? u_->count_if([](const ucp_sim::SimFrame& f) {
            return f.kind == 'R' && (f.ot == 52 || f.ot == 53) && !f.fields.empty() &&
                   f.fields[0] == "A";
        })
                  : c_->count_if([](const cimd_sim::SimPacket& p) {
                        return (p.op == 70 || p.op == 73) && !p.params.count(900);
                    });
    }
    bool wait_accepted(unsigned n, unsigned ms) {
        return u_ ? u_->wait_accepted(n, ms) : c_->wait_accepted(n, ms);
    }
    bool wait_closed(unsigned ms) { return u_ ? u_->wait_closed(ms) : c_->wait_closed(ms); }
    void drop() { u_ ? u_->drop() : c_->drop(); }

    // A mobile user's message to the gateway.
    void deliver_mo(int ref, const std::string& from, const std::string& to,
                    const std::string& text) {
        if (u_)
            u_->send(ucp_sim::sim_frame(ref, 'O', 52,
                                        ucp_sim::fields50({{0, to},
                                                           {1, from},
                                                           {14, "071226101500"},
                                                           {18, "3"},
                                                           {20, ucp_sim::ira_hex(text)}})));
        else
            c_->send(cimd_sim::sim_packet(
                20, ref, {{21, to}, {23, from}, {60, "261207101500"}, {33, text}}));
    }
    // A delivered-notification for a message submitted to `to` (whose SMSC
    // time stamp is the simulator's).
    void deliver_receipt(int ref, const std::string& to, const std::string& from) {
        if (u_)
            u_->send(ucp_sim::sim_frame(ref, 'O', 53,
                                        ucp_sim::fields50({{0, to},
                                                           {1, from},
                                                           {14, u_->scts},
                                                           {15, "0"},
                                                           {16, "000"},
                                                           {17, "010203040607"},
                                                           {18, "3"},
                                                           {20, ucp_sim::ira_hex("Delivered")}})));
        else
            c_->send(cimd_sim::sim_packet(23, ref,
                                          {{21, to},
                                           {23, from},
                                           {60, c_->scts},
                                           {61, "4"},
                                           {62, "0"},
                                           {63, "040302010700"}}));
    }

    // Logs in to the gateway on a connection to its receive port; true once
    // the gateway accepted the login.
    bool login(const std::string& user, const std::string& password) {
        if (u_) {
            u_->send(ucp_sim::sim_frame(
                1, 'O', 60,
                {user, "6", "5", "1", ucp_sim::ira_hex(password), "", "0100", "", "", "", "", ""}));
            ucp_sim::SimFrame f;
            return u_->wait_for(
                       [](const ucp_sim::SimFrame& x) { return x.kind == 'R' && x.ot == 60; },
                       &f) &&
                   !f.fields.empty() && f.fields[0] == "A";
        }
        c_->send(cimd_sim::sim_packet(1, 0, {{10, user}, {11, password}}));
        cimd_sim::SimPacket p;
        return c_->wait_for([](const cimd_sim::SimPacket& x) { return x.op == 51; }, &p) &&
               !p.params.count(900);
    }
    // Answers to deliveries that refused them.
    size_t delivery_refusals() {
        return u_ ? u_->count_if([](const ucp_sim::SimFrame& f) {
            return f.kind == 'R' && f.ot == 52 && !f.fields.empty() && f.fields[0] == "N";
        })
                  : c_->count_if([](const cimd_sim::SimPacket& p) {
                        return p.op == 70 && p.params.count(900);
                    });
    }

    // A second SMSC face that connects to the gateway's receive port.
    static std::unique_ptr<Smsc> connect_to(Kind kind, unsigned port) {
        auto s = std::make_unique<Smsc>(kind);
        platform::Socket sock = platform::tcp_connect("127.0.0.1", uint16_t(port), 2000);
        if (!sock) return nullptr;
        if (s->u_)
            s->u_->run(std::move(sock));
        else
            s->c_->run(std::move(sock));
        return s;
    }

  private:
    Kind kind_;
    std::unique_ptr<ucp_sim::Smsc> u_;
    std::unique_ptr<cimd_sim::Smsc> c_;
};

// --- configuration and the gateway ----------------------------------------------------------

std::string make_ini(const std::string& link, const Keys& link_keys, const Keys& global = {}) {
    bool debug_given = false;
    for (const auto& kv : global) debug_given |= platform::iequals(kv.first, "Debug");
    std::string ini = std::string("[SMSGW]\r\n") + (debug_given ? "" : "Debug=Yes\r\n") +
                      "ReceiveSMS=No\r\nEnableReceiptProcessing=No\r\nModem1=" + link + "\r\n";
    for (const auto& [k, v] : global) ini += k + "=" + v + "\r\n";
    ini += "\r\n[" + link + "]\r\n";
    const Keys defaults = {{"UserName", "user"},
                           {"Password", "secret"},
                           {"InitRetryDelay", "1"},
                           {"InitRetryDelayMultiplier", "1"},
                           {"InitRetryDelayAfterAttempts", "1"},
                           {"InitRetryDelayMax", "2"},
                           {"RetryDelay", "1"},
                           {"RetryDelayMultiplier", "0"},
                           {"RetryDelayAfterAttempts", "1"},
                           {"CommandTimeout", "10"}};
    for (const auto& [k, v] : defaults) {
        bool overridden = false;
        for (const auto& kv : link_keys) overridden |= platform::iequals(kv.first, k);
        if (!overridden) ini += k + "=" + v + "\r\n";
    }
    for (const auto& [k, v] : link_keys) ini += k + "=" + v + "\r\n";
    return ini;
}

class Rig : public linktest::Rig {
  public:
    bool rewrite(const std::string& ini) { return gw_ && gw_->rewrite_sms_ini(ini); }
    // Starts the gateway with settings reloads checked every second.
    bool start_fast_reload(const std::string& ini) {
        ::unlink((home_ + "PRIVATE/TEST.READY").c_str());
        systest::GatewayOptions opt = systest::with_ini(ini);
        opt.minute_seconds = 1;
        gw_ = std::make_unique<systest::Gateway>(home_);
        return gw_->start(opt) && gw_->wait_ready();
    }
    // Outbound log lines of one message id (second column).
    std::vector<std::string> out_lines_for(const std::string& id) const {
        std::vector<std::string> out;
        for (const auto& l : out_lines())
            if (contains(l, "," + id + ",")) out.push_back(l);
        return out;
    }
};

class LinkUcpCimdTest : public ::testing::TestWithParam<Kind> {
  protected:
    void SetUp() override {
        if (!systest::test_hooks_built()) GTEST_SKIP() << "needs a build with SMSGW_TEST_HOOKS";
    }
    Kind kind() const { return GetParam(); }
    bool ucp() const { return GetParam() == Kind::Ucp; }
    std::string error_text(int code) const {
        return ucp() ? protocols::ucp::UCPErrorText(code) : protocols::cimd::CIMDErrorText(code);
    }
};

std::string param_name(const ::testing::TestParamInfo<Kind>& info) {
    return kind_name(info.param);
}

}  // namespace

// Texts, Unicode, binary data with a header and the two segments of a long
// message arrive as queued, in order, and the link's log says so.
TEST_P(LinkUcpCimdTest, LinkUcpCimdSubmitsArriveIntact) {
    Smsc smsc(kind());
    smsc.serve();
    Rig rig;
    const std::string part1 = ucs2_hex("part one, "), part2 = ucs2_hex("part two");
    ASSERT_TRUE(rig.queue(
        "UA000001.req",
        request({{"PhoneNumber", "0612345001"}, {"Sender", "1234"}, {"Data", "Hello world"}})));
    ASSERT_TRUE(rig.queue("UA000002.req", request({{"PhoneNumber", "0612345002"},
                                                   {"Sender", "1234"},
                                                   {"DCS", "8"},
                                                   {"Data", "Привет"}})));
    ASSERT_TRUE(rig.queue("UA000003.req", request({{"PhoneNumber", "0612345003"},
                                                   {"Sender", "1234"},
                                                   {"Binary", "1"},
                                                   {"DCS", "F5"},
                                                   {"UDH", "0605040B8423F0"},
                                                   {"Data", "DEADBEEF"}})));
    for (int seq = 1; seq <= 2; ++seq)
        ASSERT_TRUE(rig.queue(platform::strprintf("SAR-0612345004-1f-2-%d.req", seq),
                              request({{"PhoneNumber", "0612345004"},
                                       {"Sender", "1234"},
                                       {"Binary", "1"},
                                       {"DCS", "8"},
                                       {"UDH", platform::strprintf("050003A702%02X", seq)},
                                       {"Data", seq == 1 ? part1 : part2}})));
    ASSERT_TRUE(rig.start(make_ini(smsc.link(), {}))) << rig.diag();
    ASSERT_TRUE(smsc.wait_submits(5, 30000)) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.queued() == 0; }, 10000)) << rig.diag();
    EXPECT_EQ(smsc.logins(), 1u);

    auto one = [&](const std::string& to) {
        auto v = smsc.submits_to(to);
        EXPECT_EQ(v.size(), 1u) << to;
        return v.empty() ? Submit{} : v[0];
    };
    Submit s = one("0612345001");
    auto segs = smsc.submits_to("0612345004");
    ASSERT_EQ(segs.size(), 2u);
    if (ucp()) {
        EXPECT_EQ(s[1], "1234");
        EXPECT_EQ(s[18], "3");
        EXPECT_EQ(s[20], ucp_sim::ira_hex("Hello world"));
        s = one("0612345002");
        EXPECT_EQ(s[18], "4");
        EXPECT_EQ(s[20], ucs2_hex("Привет"));
        EXPECT_EQ(s[30], "020108");
        s = one("0612345003");
        EXPECT_EQ(s[18], "4");
        EXPECT_EQ(s[20], "DEADBEEF");
        EXPECT_EQ(s[30], "01070605040B8423F00201F5");
        EXPECT_EQ(segs[0][20], part1);  // in order
        EXPECT_EQ(segs[1][20], part2);
        EXPECT_EQ(segs[0][30], "0106050003A70201020108");
        EXPECT_EQ(segs[1][30], "0106050003A70202020108");
    } else {
        EXPECT_EQ(s[23], "1234");
        EXPECT_EQ(s[33], "Hello world");
        s = one("0612345002");
        EXPECT_EQ(s[30], "8");
        EXPECT_EQ(s[34], ucs2_hex("Привет"));
        s = one("0612345003");
        EXPECT_EQ(s[30], "245");
        EXPECT_EQ(s[32], "0605040B8423F0");
        EXPECT_EQ(s[34], "DEADBEEF");
        EXPECT_EQ(segs[0][32], "050003A70201");
        EXPECT_EQ(segs[1][32], "050003A70202");
        EXPECT_EQ(segs[0][34], part1);
        EXPECT_EQ(segs[1][34], part2);
    }
    for (const char* id : {"UA000001", "UA000002", "UA000003"}) {
        auto lines = rig.out_lines_for(id);
        ASSERT_EQ(lines.size(), 1u) << id << rig.diag();
        EXPECT_TRUE(contains(lines[0], ",OK -- " + smsc.link())) << lines[0];
    }
    EXPECT_FALSE(systest::file_exists(rig.status_file(smsc.link())));
    EXPECT_TRUE(contains(rig.debug_log(), kind_name(kind()) + " connection OK")) << rig.diag();
    EXPECT_TRUE(rig.stop());
}

// A refused login is reported with the engine's text in the link status
// file and the message log; nothing is sent and the link tries again.
TEST_P(LinkUcpCimdTest, LinkUcpCimdLoginRefused) {
    Smsc smsc(kind());
    smsc.refuse_logins();
    smsc.serve();
    Rig rig;
    ASSERT_TRUE(rig.queue("UB000001.req", request({{"PhoneNumber", "0612345101"}, {"Data", "x"}})));
    ASSERT_TRUE(rig.start(make_ini(smsc.link(), {}))) << rig.diag();
    const std::string word = kind_name(kind());
    const std::string want = word + " Failure -- Unable to login to " + word +
                             " server with specified parameters:  " + error_text(ucp() ? 7 : 100);
    std::string status = rig.status_file(smsc.link());
    ASSERT_TRUE(systest::wait_for([&] { return systest::read_text(status) == want; }, 15000))
        << systest::read_text(status) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return smsc.logins() >= 2; }, 15000)) << rig.diag();
    EXPECT_TRUE(rig.out_log_has(",System,")) << rig.diag();
    EXPECT_TRUE(rig.out_log_has(want)) << rig.diag();
    EXPECT_EQ(smsc.submits().size(), 0u);
    EXPECT_EQ(rig.queued(), 1u);
    EXPECT_TRUE(rig.stop());
}

// The connection is refused outright: the connect failure text.
TEST_P(LinkUcpCimdTest, LinkUcpCimdConnectFailure) {
    unsigned port = free_port();
    const std::string word = kind_name(kind());
    const std::string link = word + " - 127.0.0.1:" + std::to_string(port);
    Rig rig;
    ASSERT_TRUE(rig.start(make_ini(link, {}))) << rig.diag();
    const std::string want = word + " Failure -- Unable to connect to " + word +
                             " server at 127.0.0.1:" + std::to_string(port);
    ASSERT_TRUE(
        systest::wait_for([&] { return systest::read_text(rig.status_file(link)) == want; }, 15000))
        << rig.diag();
    EXPECT_TRUE(rig.out_log_has(want)) << rig.diag();
    EXPECT_TRUE(rig.stop());
}

// KeepAlive=1: an idle link asks the SMSC (UCP 31 alert, CIMD 40 alive).
TEST_P(LinkUcpCimdTest, LinkUcpCimdKeepAlive) {
    Smsc smsc(kind());
    smsc.serve();
    Rig rig;
    ASSERT_TRUE(rig.start(make_ini(smsc.link(), {{"KeepAlive", "1"}}))) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return smsc.keep_alives() >= 2; }, 15000)) << rig.diag();
    EXPECT_EQ(smsc.logins(), 1u);  // the answered keep-alives keep the one session
    EXPECT_TRUE(rig.stop());
}

// Without KeepAlive the link never asks; without Receive nobody listens on
// the receive port.
TEST_P(LinkUcpCimdTest, LinkUcpCimdDefaults) {
    Smsc smsc(kind());
    smsc.serve();
    Rig rig;
    unsigned receive_port = free_port();
    ASSERT_TRUE(rig.start(make_ini(smsc.link(), {{"ReceivePort", std::to_string(receive_port)}})))
        << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return smsc.logins() >= 1; }, 10000)) << rig.diag();
    platform::sleep_ms(2500);
    EXPECT_EQ(smsc.keep_alives(), 0u);
    EXPECT_FALSE(platform::tcp_connect("127.0.0.1", uint16_t(receive_port), 1000));
    EXPECT_FALSE(contains(rig.debug_log(), "Receive started on port")) << rig.diag();
    EXPECT_TRUE(rig.stop());
}

// The receive port closes when the link leaves the configuration.
TEST_P(LinkUcpCimdTest, LinkUcpCimdListenerStopsWithTheLink) {
    Smsc smsc(kind());
    smsc.serve();
    Rig rig;
    unsigned receive_port = free_port();
    ASSERT_TRUE(rig.start(
        make_ini(smsc.link(), {{"Receive", "Yes"}, {"ReceivePort", std::to_string(receive_port)}})))
        << rig.diag();
    ASSERT_TRUE(systest::wait_for(
        [&] { return bool(platform::tcp_connect("127.0.0.1", uint16_t(receive_port), 500)); },
        10000))
        << rig.diag();
    ASSERT_TRUE(rig.rewrite("[SMSGW]\r\nDebug=Yes\r\nReceiveSMS=No\r\n"));
    EXPECT_TRUE(systest::wait_for(
        [&] { return !platform::tcp_connect("127.0.0.1", uint16_t(receive_port), 500); }, 20000))
        << rig.diag();
    EXPECT_TRUE(rig.stop());
}

// A mobile-originated message and a receipt on the link's own connection,
// and another message over a connection the SMSC opens to the receive port,
// all end up in the inbound store.
TEST_P(LinkUcpCimdTest, LinkUcpCimdInboundOnBothPaths) {
    Smsc smsc(kind());
    smsc.serve();
    Rig rig;
    unsigned receive_port = free_port();
    ASSERT_TRUE(rig.queue("UC000001.req", request({{"PhoneNumber", "0612345201"},
                                                   {"Sender", "1234"},
                                                   {"Data", "receipt please"},
                                                   {"ReceiptRequested", "Yes"},
                                                   {"SubmitUser", "alice"}})));
    ASSERT_TRUE(rig.start(
        make_ini(smsc.link(), {{"Receive", "Yes"}, {"ReceivePort", std::to_string(receive_port)}})))
        << rig.diag();
    ASSERT_TRUE(smsc.wait_submits_to("0612345201", 1, 20000)) << rig.diag();

    // On the link's own connection.
    smsc.deliver_mo(ucp() ? 10 : 2, "0687654321", "1234", "Hello gateway");
    smsc.deliver_receipt(ucp() ? 11 : 4, "0612345201", "1234");
    ASSERT_TRUE(systest::wait_for([&] { return smsc.delivery_acks() >= 2; }, 10000)) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.inbound(".in").size() == 1; }, 5000))
        << rig.diag();
    std::string in = systest::read_text(rig.inbound(".in")[0]);
    EXPECT_EQ(in.rfind("[SMS-IN]\r\n", 0), 0u) << in;
    EXPECT_TRUE(contains(in, "ModemName=" + smsc.link() + "\r\n")) << in;
    EXPECT_TRUE(contains(in, "Sender=0687654321\r\n")) << in;
    EXPECT_TRUE(contains(in, "PhoneNumber=1234\r\n")) << in;
    EXPECT_TRUE(contains(in, "Data=Hello gateway\r\n")) << in;
    // The submit carried the gateway's id: the receipt comes back resolved.
    ASSERT_TRUE(systest::wait_for([&] { return rig.inbound(".rec").size() == 1; }, 5000))
        << rig.diag();
    std::string rec = systest::read_text(rig.inbound(".rec")[0]);
    EXPECT_TRUE(contains(rec, "ReceiptDelivered=Yes\r\n")) << rec;
    EXPECT_TRUE(contains(rec, "ReceiptMessageId=UC000001\r\n")) << rec;
    EXPECT_TRUE(contains(rec, "RouteToLocalUser=alice\r\n")) << rec;

    // A receipt the gateway knows nothing of waits to be resolved (.rct).
    smsc.deliver_receipt(ucp() ? 12 : 6, "0699999999", "1234");
    ASSERT_TRUE(systest::wait_for([&] { return rig.inbound(".rct").size() == 1; }, 10000))
        << rig.diag();

    // Over the receive port.
    std::unique_ptr<Smsc> in_smsc;
    ASSERT_TRUE(systest::wait_for(
        [&] { return (in_smsc = Smsc::connect_to(kind(), receive_port)) != nullptr; }, 10000))
        << rig.diag();
    ASSERT_TRUE(in_smsc->login("user", "secret")) << rig.diag();
    in_smsc->deliver_mo(ucp() ? 20 : 2, "0611111111", "5678", "Via the receive port");
    ASSERT_TRUE(systest::wait_for([&] { return in_smsc->delivery_acks() >= 1; }, 10000))
        << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.inbound(".in").size() == 2; }, 5000))
        << rig.diag();
    bool found = false;
    for (const auto& path : rig.inbound(".in")) {
        std::string t = systest::read_text(path);
        if (!contains(t, "Data=Via the receive port\r\n")) continue;
        found = true;
        EXPECT_TRUE(contains(t, "ModemName=" + smsc.link() + "\r\n")) << t;
        EXPECT_TRUE(contains(t, "Sender=0611111111\r\n")) << t;
    }
    EXPECT_TRUE(found) << rig.diag();
    const std::string word = kind_name(kind());
    std::string log = rig.debug_log();
    EXPECT_TRUE(contains(log, word + " Receive started on port " + std::to_string(receive_port)))
        << rig.diag();
    EXPECT_TRUE(contains(log, "Processing " + word + " connection from 127.0.0.1..."))
        << rig.diag();
    in_smsc->drop();
    EXPECT_TRUE(
        systest::wait_for([&] { return contains(rig.debug_log(), "Releasing Connection"); }, 10000))
        << rig.diag();
    EXPECT_TRUE(rig.stop());
}

// On the receive port the SMSC logs in with the link's credentials first: a
// wrong login and a delivery without one are refused and nothing is stored.
TEST_P(LinkUcpCimdTest, LinkUcpCimdInboundLoginRequired) {
    Smsc smsc(kind());
    smsc.serve();
    Rig rig;
    unsigned receive_port = free_port();
    ASSERT_TRUE(rig.start(
        make_ini(smsc.link(), {{"Receive", "Yes"}, {"ReceivePort", std::to_string(receive_port)}})))
        << rig.diag();
    struct Case {
        const char* password;  // nullptr: no login
        bool login_ok;
    } cases[] = {{nullptr, false}, {"wrong", false}};
    int ref = 2;
    for (const Case& k : cases) {
        std::unique_ptr<Smsc> in_smsc;
        ASSERT_TRUE(systest::wait_for(
            [&] { return (in_smsc = Smsc::connect_to(kind(), receive_port)) != nullptr; }, 10000))
            << rig.diag();
        if (k.password) {
            EXPECT_EQ(in_smsc->login("user", k.password), k.login_ok);
        }
        in_smsc->deliver_mo(ref, "0611111111", "5678", "Forged");
        ASSERT_TRUE(systest::wait_for([&] { return in_smsc->delivery_refusals() >= 1; }, 10000))
            << rig.diag();
        EXPECT_EQ(in_smsc->delivery_acks(), 0u);
        in_smsc->drop();
        ref += 2;
    }
    EXPECT_TRUE(contains(rig.debug_log(), "before the login refused")) << rig.diag();
    EXPECT_TRUE(rig.inbound(".in").empty()) << rig.diag();
    EXPECT_TRUE(rig.stop());
}

// A code in the link's reject list fails the message at once into the error
// queue; any other refusal is retried on the schedule.
TEST_P(LinkUcpCimdTest, LinkUcpCimdErrorCodesClassified) {
    Smsc smsc(kind());
    const int reject = ucp() ? 24 : 300, retry = ucp() ? 2 : 10;
    smsc.refuse_by_recipient({{"0600000001", reject}, {"0600000002", retry}});
    smsc.serve();
    Rig rig;
    ASSERT_TRUE(rig.queue("UD000001.req",
                          request({{"PhoneNumber", "0600000001"}, {"Data", "rejected for good"}})));
    ASSERT_TRUE(rig.queue("UD000002.req",
                          request({{"PhoneNumber", "0600000002"}, {"Data", "tried again"}})));
    // A header the engine cannot encode never reaches the SMSC: it fails at once.
    ASSERT_TRUE(rig.queue("UD000003.req", request({{"PhoneNumber", "0600000003"},
                                                   {"UDH", "GG0003"},
                                                   {"Data", "cannot be encoded"}})));
    const std::string key = ucp() ? "UCPRejectErrorCodes" : "CIMDRejectErrorCodes";
    ASSERT_TRUE(rig.start(
        make_ini(smsc.link(), {{key, std::to_string(reject)}, {"RetryMaxAttempts", "20"}})))
        << rig.diag();
    ASSERT_TRUE(smsc.wait_submits_to("0600000002", 2, 30000)) << rig.diag();
    ASSERT_TRUE(
        systest::wait_for([&] { return systest::file_exists(rig.q("UD000001.ERR")); }, 10000))
        << rig.diag();
    EXPECT_FALSE(systest::file_exists(rig.q("UD000001.req")));
    EXPECT_EQ(smsc.submits_to("0600000001").size(), 1u);
    auto lines = rig.out_lines_for("UD000001");
    ASSERT_EQ(lines.size(), 1u) << rig.diag();
    EXPECT_TRUE(contains(lines[0], "," + error_text(reject) + " -- " + smsc.link())) << lines[0];
    ASSERT_TRUE(
        systest::wait_for([&] { return systest::file_exists(rig.q("UD000003.ERR")); }, 10000))
        << rig.diag();
    EXPECT_FALSE(systest::file_exists(rig.q("UD000003.req")));
    EXPECT_TRUE(smsc.submits_to("0600000003").empty());
    EXPECT_EQ(rig.out_lines_for("UD000003").size(), 1u) << rig.diag();

    EXPECT_TRUE(systest::file_exists(rig.q("UD000002.req")));
    std::string left = systest::read_text(rig.q("UD000002.req"));
    EXPECT_TRUE(contains(left, "[ErrorDetail]")) << left;
    EXPECT_TRUE(contains(left, "LastErrorInfo=" + error_text(retry) + " -- " + smsc.link()))
        << left;
    EXPECT_TRUE(rig.out_log_has(",Retry Pending - " + error_text(retry) + " -- " + smsc.link()))
        << rig.diag();
    // A refusal does not cost the connection.
    EXPECT_EQ(smsc.logins(), 1u);
    EXPECT_TRUE(rig.stop());
}

// The SMSC drops the connection: the link logs in again and goes on.
TEST_P(LinkUcpCimdTest, LinkUcpCimdReconnectAfterDrop) {
    Smsc smsc(kind());
    smsc.serve();
    Rig rig;
    ASSERT_TRUE(
        rig.queue("UE000001.req", request({{"PhoneNumber", "0612345301"}, {"Data", "one"}})));
    ASSERT_TRUE(rig.start(make_ini(smsc.link(), {}))) << rig.diag();
    ASSERT_TRUE(smsc.wait_submits_to("0612345301", 1, 20000)) << rig.diag();
    smsc.drop();
    ASSERT_TRUE(smsc.wait_accepted(2, 20000)) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return smsc.logins() >= 2; }, 10000)) << rig.diag();
    ASSERT_TRUE(
        rig.queue("UE000002.req", request({{"PhoneNumber", "0612345302"}, {"Data", "two"}})));
    ASSERT_TRUE(smsc.wait_submits_to("0612345302", 1, 20000)) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.queued() == 0; }, 10000)) << rig.diag();
    EXPECT_EQ(smsc.submits_to("0612345301").size(), 1u);  // nothing sent twice
    EXPECT_TRUE(rig.stop());
}

// The engine's frame trace follows Debug and NoDebugProtocol, from start-up
// and again after SMSGW.INI changed.
TEST_P(LinkUcpCimdTest, LinkUcpCimdDebugModeShowsFrameTrace) {
    struct Case {
        Keys global;
        bool frame_trace;
        Keys after;  // SMSGW.INI rewritten with these ({}: not rewritten)
        bool frame_trace_after;
    } cases[] = {
        {{{"Debug", "Yes"}}, true, {{"Debug", "Yes"}, {"NoDebugProtocol", "Yes"}}, false},
        {{{"Debug", "Yes"}, {"NoDebugProtocol", "Yes"}}, false, {{"Debug", "Yes"}}, true},
        {{{"Debug", "No"}}, false, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.global.back().first + "=" + c.global.back().second);
        Smsc smsc(kind());
        smsc.serve();
        Rig rig;
        ASSERT_TRUE(
            rig.queue("UK000001.req", request({{"PhoneNumber", "0612345901"}, {"Data", "one"}})));
        ASSERT_TRUE(rig.start_fast_reload(make_ini(smsc.link(), {}, c.global))) << rig.diag();
        ASSERT_TRUE(smsc.wait_submits(1, 15000)) << rig.diag();
        const std::string frame_line = kind_name(kind()) + ":  " + smsc.link() + " send ";
        if (c.global[0].second == "Yes") {
            EXPECT_TRUE(systest::wait_for(
                [&] { return contains(rig.debug_log(), kind_name(kind()) + " connection OK"); },
                5000, 20));
        }
        EXPECT_EQ(contains(rig.debug_log(), frame_line), c.frame_trace) << rig.diag();
        if (c.after.empty()) continue;

        ASSERT_TRUE(rig.rewrite(make_ini(smsc.link(), {}, c.after)));
        platform::sleep_ms(2500);  // two reload rounds
        const std::string before = rig.debug_log();
        ASSERT_TRUE(
            rig.queue("UK000002.req", request({{"PhoneNumber", "0612345902"}, {"Data", "two"}})));
        ASSERT_TRUE(smsc.wait_submits_to("0612345902", 1, 15000)) << rig.diag();
        platform::sleep_ms(200);
        const std::string after = rig.debug_log();
        ASSERT_GE(after.size(), before.size());
        EXPECT_EQ(contains(after.substr(before.size()), frame_line), c.frame_trace_after)
            << rig.diag();
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, LinkUcpCimdTest, ::testing::Values(Kind::Ucp, Kind::Cimd),
                         param_name);
