// UCP and CIMD links against the test SMSCs of common/: what a session puts
// on the wire for the queue pass, the connection attempt and its failure
// texts, the cycle without unbind, and the inbound listener.
#include "links/ucp_cimd/ucp_cimd_link.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "common/cimd_sim.h"
#include "common/ucp_sim.h"
#include "frame/frame_fixture.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/text.h"
#include "protocols/cimd/cimd.h"
#include "protocols/ucp/ucp.h"

namespace {

namespace ucp = protocols::ucp;
namespace cimd = protocols::cimd;
using links::UcpCimdKind;

// A port nobody listens on (a listener bound to it was closed again).
uint16_t closed_port() {
    uint16_t port = 0;
    platform::Socket l = platform::tcp_listen("127.0.0.1", 0, 1, &port);
    return port;
}

bool poll_until(const std::function<bool()>& cond, unsigned ms = 3000) {
    uint64_t start = platform::monotonic_ms();
    while (!cond()) {
        if (platform::monotonic_ms() - start > ms) return false;
        platform::sleep_ms(5);
    }
    return true;
}

class UcpCimdLinkTest : public frame_test::FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        load("[SMSGW]\r\nDebug=Yes\r\n");
    }
    void TearDown() override {
        ucp::UCPSetReceiveMessageCallback(nullptr);
        cimd::CIMDSetReceiveMessageCallbackEx(nullptr);
        FrameTest::TearDown();
    }

    // Worker state of a link to 127.0.0.1:port.
    static void settle(links::WorkerState& w, UcpCimdKind kind, uint16_t port) {
        std::string word(links::kind_word(kind));
        w.settings.name = word + " - 127.0.0.1:" + std::to_string(port);
        w.settings.address.kind =
            kind == UcpCimdKind::Ucp ? links::LinkKind::Ucp : links::LinkKind::Cimd;
        w.settings.address.host = "127.0.0.1";
        w.settings.address.port = port;
        w.settings.user_name = "user";
        w.settings.password = "secret";
        w.settings.command_timeout_s = 5;
    }

    // The same with the link's engine options set, then connected and logged in.
    static links::LinkAttempt settle_and_open(links::WorkerState& w, UcpCimdKind kind,
                                              uint16_t port) {
        settle(w, kind, port);
        links::set_ucp_cimd_link_options(kind, w.settings);
        return links::open_ucp_cimd_link(w, kind);
    }

    std::string debug_log() { return frame_test::slurp(home_ + "LOGS/SMSDEBUG.LOG"); }
};

// The session's submit as it reaches the two kinds of SMSC.
struct Outbound {
    store::SmsMessage msg;
    links::OutboundMessage out;
    Outbound(std::string sender, std::string recipient, std::string data, std::string udh = "",
             bool binary = false, int dcs = 0, int pid = 0, int flags = 0) {
        msg.pid = uint8_t(pid);
        msg.dcs = uint8_t(dcs);
        out.msg = &msg;
        out.message_id = "MSG00000001";
        out.sender = std::move(sender);
        out.recipient = std::move(recipient);
        out.data = std::move(data);
        out.udh = std::move(udh);
        out.binary = binary;
        out.flags = flags;
    }
};

}  // namespace

TEST(UcpCimdOptionText, ItemsPresentJoinedInOrder) {
    struct Case {
        const char* billing;
        const char* user;
        const char* id;
        const char* want;
    } cases[] = {
        {"", "", "", ""},
        {"", "", "MSG1", "OurMsgId=MSG1"},
        {"B7", "", "MSG1", "BillingInfo=B7; OurMsgId=MSG1"},
        {"", "alice", "MSG1", "LocalUser=alice; OurMsgId=MSG1"},
        {"B7", "alice", "MSG1", "BillingInfo=B7; LocalUser=alice; OurMsgId=MSG1"},
        {"B7", "alice", "", "BillingInfo=B7; LocalUser=alice"},
    };
    for (const Case& k : cases) {
        store::SmsMessage msg;
        msg.billing_info = k.billing;
        msg.submit_user = k.user;
        links::OutboundMessage m;
        m.msg = &msg;
        m.message_id = k.id;
        EXPECT_EQ(links::ucp_cimd_option_text(m), k.want) << k.billing << "|" << k.user;
    }
    links::OutboundMessage bare;  // no record: only the id
    bare.message_id = "X";
    EXPECT_EQ(links::ucp_cimd_option_text(bare), "OurMsgId=X");
}

// --- the connection attempt -------------------------------------------------------------

TEST_F(UcpCimdLinkTest, AttemptFailureTexts) {
    for (UcpCimdKind kind : {UcpCimdKind::Ucp, UcpCimdKind::Cimd}) {
        const std::string word(links::kind_word(kind));
        SCOPED_TRACE(word);
        {
            links::WorkerState w;
            uint16_t port = closed_port();
            links::LinkAttempt a = settle_and_open(w, kind, port);
            EXPECT_FALSE(a.socket);
            EXPECT_EQ(a.failure, word + " Failure -- Unable to connect to " + word +
                                     " server at 127.0.0.1:" + std::to_string(port));
        }
        {
            // The local port is taken by a listener.
            uint16_t busy = 0;
            platform::Socket holder = platform::tcp_listen("127.0.0.1", 0, 1, &busy);
            links::WorkerState w;
            settle(w, kind, closed_port());
            w.settings.local_port = busy;
            w.settings.bind_ip = "127.0.0.1";
            links::LinkAttempt a = links::open_ucp_cimd_link(w, kind);
            EXPECT_FALSE(a.socket);
            EXPECT_EQ(a.failure, word + " Failure -- Unable to bind to local " + word + " port " +
                                     std::to_string(busy));
        }
        {
            links::WorkerState w;
            settle(w, kind, closed_port());
            w.settings.bind_ip = "not an address";
            links::LinkAttempt a = links::open_ucp_cimd_link(w, kind);
            EXPECT_EQ(a.failure, word + " Failure -- Unable to bind to local " + word + " port 0");
        }
    }
}

TEST_F(UcpCimdLinkTest, LoginRefusedCarriesTheEngineText) {
    // refuse spoils the credentials the simulator checks.
    auto refused = [](auto& sim, UcpCimdKind kind, auto refuse, const std::string& failure) {
        sim.serve();
        links::WorkerState w;
        settle(w, kind, sim.port);
        refuse(w.settings);
        links::set_ucp_cimd_link_options(kind, w.settings);
        links::LinkAttempt a = links::open_ucp_cimd_link(w, kind);
        EXPECT_FALSE(a.socket);
        EXPECT_EQ(a.failure, failure);
        EXPECT_TRUE(sim.wait_closed());
    };
    {
        ucp_sim::Smsc sim;
        refused(
            sim, UcpCimdKind::Ucp, [](links::LinkSettings& s) { s.password = "wrong"; },
            "UCP Failure -- Unable to login to UCP server with specified parameters:  "
            "UCP Error 07 - Authentication failure");
    }
    {
        cimd_sim::Smsc sim;
        refused(
            sim, UcpCimdKind::Cimd, [](links::LinkSettings& s) { s.user_name = "someone"; },
            "CIMD Failure -- Unable to login to CIMD server with specified parameters:  "
            "CIMD Error 100 - Invalid login");
    }
}

TEST_F(UcpCimdLinkTest, LocalPortIsBoundAndTraced) {
    ucp_sim::Smsc sim;
    sim.serve();
    links::WorkerState w;
    settle(w, UcpCimdKind::Ucp, sim.port);
    uint16_t local = closed_port();
    w.settings.local_port = local;
    links::set_ucp_cimd_link_options(UcpCimdKind::Ucp, w.settings);
    links::LinkAttempt a = links::open_ucp_cimd_link(w, UcpCimdKind::Ucp);
    ASSERT_TRUE(a.socket) << a.failure;
    EXPECT_EQ(platform::local_port(a.socket.fd()), local);
    ASSERT_TRUE(sim.wait_for([](const ucp_sim::SimFrame& f) { return f.ot == 60; }));
    EXPECT_NE(debug_log().find("ThreadProcessModem:  Debug:  UCP local port bound to " +
                               std::to_string(local) + "\r\n"),
              std::string::npos);
    ucp::UCPReleaseSession(a.socket.fd());
}

// The cycle logs in, serves and closes without any logout or unbind.
TEST_F(UcpCimdLinkTest, CycleClosesWithoutUnbind) {
    {
        ucp_sim::Smsc sim;
        sim.serve();
        links::WorkerState w;
        settle(w, UcpCimdKind::Ucp, sim.port);
        w.restart = true;  // the queue pass returns at once
        links::run_ucp_cycle(w);
        EXPECT_EQ(w.failure_count, 0u);
        ASSERT_TRUE(sim.wait_closed());
        std::vector<ucp_sim::SimFrame> got = sim.frames();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].ot, 60);
        EXPECT_EQ(got[0].fields[0], "user");
    }
    {
        cimd_sim::Smsc sim;
        sim.serve();
        links::WorkerState w;
        settle(w, UcpCimdKind::Cimd, sim.port);
        w.restart = true;
        links::run_cimd_cycle(w);
        EXPECT_EQ(w.failure_count, 0u);
        ASSERT_TRUE(sim.wait_closed());
        std::vector<cimd_sim::SimPacket> got = sim.packets();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].op, 1);  // login only; no logout (02)
    }
}

TEST_F(UcpCimdLinkTest, CycleFailureIsCounted) {
    for (UcpCimdKind kind : {UcpCimdKind::Ucp, UcpCimdKind::Cimd}) {
        links::WorkerState w;
        settle(w, kind, closed_port());
        w.failure_count = 2;
        if (kind == UcpCimdKind::Ucp)
            links::run_ucp_cycle(w);
        else
            links::run_cimd_cycle(w);
        EXPECT_EQ(w.failure_count, 3u);
    }
}

// --- the session ---------------------------------------------------------------------------

TEST_F(UcpCimdLinkTest, UcpSessionSubmits) {
    ucp_sim::Smsc sim;
    sim.serve();
    links::WorkerState w;
    links::LinkAttempt a = settle_and_open(w, UcpCimdKind::Ucp, sim.port);
    ASSERT_TRUE(a.socket) << a.failure;
    links::UcpCimdSession s(UcpCimdKind::Ucp, w, a);
    EXPECT_FALSE(s.enquire_after_failure());

    struct Case {
        const char* name;
        Outbound o;
        std::vector<std::pair<int, std::string>> fields;  // of the 51
    } cases[] = {
        {"text with billing",
         Outbound("1234", "0612345678", "Hello"),
         {{0, "0612345678"}, {1, "1234"}, {18, "3"}, {20, "48656C6C6F"}, {30, "0C024237"}}},
        {"unicode",
         Outbound("1234", "0612345678", "\xD0\x9F\xD1\x80\xD0\xB8", "", false, 8),
         {{18, "4"}, {19, "48"}, {20, "041F04400438"}, {30, "020108"}}},
        {"binary with UDH",
         Outbound("1234", "0612345678", "DEADBEEF", "0605040B8423F0", true, 0xF5),
         {{18, "4"}, {19, "32"}, {20, "DEADBEEF"}, {30, "01070605040B8423F00201F5"}}},
        {"segment of a long text",
         Outbound("1234", "0612345678", "Hi!", "050003A70201"),
         {{18, "3"}, {20, "486921"}, {30, "0106050003A70201"}}},
        // The billing information goes whole, separators and all.
        {"billing with separators",
         Outbound("1234", "0612345678", "Hi"),
         {{20, "4869"}, {30, "0C07423B20373D783B"}}},
    };
    cases[0].o.msg.billing_info = "B7";
    cases[std::size(cases) - 1].o.msg.billing_info = "B; 7=x;";
    for (Case& k : cases) {
        k.o.out.msg = &k.o.msg;
        size_t before = sim.count();
        links::SubmitResult r = s.submit(k.o.out);
        EXPECT_EQ(r.code, 0) << k.name << " " << r.error_text;
        EXPECT_EQ(r.smsc_id, "0612345678:010203040506") << k.name;
        ucp_sim::SimFrame f;
        ASSERT_TRUE(
            sim.wait_for([](const ucp_sim::SimFrame& x) { return x.ot == 51; }, &f, 3000, before))
            << k.name;
        ASSERT_EQ(f.fields.size(), 33u) << k.name;
        EXPECT_TRUE(f.checksum_ok && f.length_ok) << k.name;
        for (auto& [i, v] : k.fields) EXPECT_EQ(f.fields[size_t(i)], v) << k.name << " field " << i;
    }
    ucp::UCPReleaseSession(a.socket.fd());
}

TEST_F(UcpCimdLinkTest, CimdSessionSubmits) {
    cimd_sim::Smsc sim;
    sim.serve();
    links::WorkerState w;
    links::LinkAttempt a = settle_and_open(w, UcpCimdKind::Cimd, sim.port);
    ASSERT_TRUE(a.socket) << a.failure;
    links::UcpCimdSession s(UcpCimdKind::Cimd, w, a);
    struct Case {
        const char* name;
        Outbound o;
        std::map<int, std::string> params;
    } cases[] = {
        {"text asking for a receipt",
         Outbound("1234", "+358401234567", "Hello", "", false, 0, 0, 0x02),
         {{21, "+358401234567"}, {23, "1234"}, {33, "Hello"}, {56, "62"}}},
        {"unicode",
         Outbound("1234", "+358401234567", "\xD0\x9F\xD1\x80\xD0\xB8", "", false, 8),
         {{21, "+358401234567"}, {23, "1234"}, {30, "8"}, {34, "041F04400438"}}},
        {"binary with UDH and PID",
         Outbound("1234", "+358401234567", "DEADBEEF", "0605040B8423F0", true, 0xF5, 0x41),
         {{21, "+358401234567"},
          {23, "1234"},
          {30, "245"},
          {32, "0605040B8423F0"},
          {34, "DEADBEEF"},
          {52, "65"}}},
    };
    for (Case& k : cases) {
        k.o.out.msg = &k.o.msg;
        size_t before = sim.count();
        links::SubmitResult r = s.submit(k.o.out);
        EXPECT_EQ(r.code, 0) << k.name << " " << r.error_text;
        EXPECT_EQ(r.smsc_id, "+358401234567:040302010600") << k.name;
        cimd_sim::SimPacket p;
        ASSERT_TRUE(
            sim.wait_for([](const cimd_sim::SimPacket& x) { return x.op == 3; }, &p, 3000, before))
            << k.name;
        EXPECT_TRUE(p.checksum_ok) << k.name;
        EXPECT_EQ(p.params, k.params) << k.name;
    }
    cimd::CIMDReleaseSession(a.socket.fd());
}

// Refusals come back with the engine's code and text; the link's reject list
// decides between a permanent failure and a retry.
TEST_F(UcpCimdLinkTest, RefusalsAreClassified) {
    ucp_sim::Smsc usim;
    usim.serve();
    cimd_sim::Smsc csim;
    csim.serve();
    struct Case {
        UcpCimdKind kind;
        int code;
        const char* reject;
        store::ErrorClass want;
    } cases[] = {
        {UcpCimdKind::Ucp, 24, "", store::ErrorClass::Retryable},
        {UcpCimdKind::Ucp, 24, "3, 24", store::ErrorClass::Reject},
        {UcpCimdKind::Ucp, 24, "All", store::ErrorClass::Reject},
        {UcpCimdKind::Ucp, 2, "24", store::ErrorClass::Retryable},
        {UcpCimdKind::Cimd, 300, "", store::ErrorClass::Retryable},
        {UcpCimdKind::Cimd, 300, "300;301", store::ErrorClass::Reject},
        {UcpCimdKind::Cimd, 300, "all", store::ErrorClass::Reject},
    };
    for (const Case& k : cases) {
        const bool u = k.kind == UcpCimdKind::Ucp;
        SCOPED_TRACE(std::string(links::kind_word(k.kind)) + " " + std::to_string(k.code) + " [" +
                     k.reject + "]");
        links::WorkerState w;
        settle(w, k.kind, u ? usim.port : csim.port);
        w.settings.reject_codes = links::parse_error_codes(k.reject, false);
        links::set_ucp_cimd_link_options(k.kind, w.settings);
        links::LinkAttempt a = links::open_ucp_cimd_link(w, k.kind);
        ASSERT_TRUE(a.socket) << a.failure;
        links::UcpCimdSession s(k.kind, w, a);
        if (u)
            usim.submit_nack = k.code;
        else
            csim.submit_error = k.code;
        Outbound o("1234", "+358401234567", "x");
        links::SubmitResult r = s.submit(o.out);
        EXPECT_EQ(r.code, k.code);
        EXPECT_EQ(r.error_text, u ? ucp::UCPErrorText(k.code) : cimd::CIMDErrorText(k.code));
        EXPECT_TRUE(r.smsc_id.empty());
        EXPECT_EQ(s.classify(r.code), k.want);
        EXPECT_TRUE(s.link_ok());  // a refusal leaves the connection up
        // Connection troubles are never rejected, not even by "All".
        EXPECT_EQ(s.classify(-1), store::ErrorClass::Retryable);
        EXPECT_EQ(s.classify(-2), store::ErrorClass::Retryable);
        usim.submit_nack = 0;
        csim.submit_error = 0;
        if (u)
            ucp::UCPReleaseSession(a.socket.fd());
        else
            cimd::CIMDReleaseSession(a.socket.fd());
        a.socket.close();
        if (u)
            ASSERT_TRUE(usim.wait_closed());
        else
            ASSERT_TRUE(csim.wait_closed());
    }
}

TEST_F(UcpCimdLinkTest, KeepAliveStatusAndLoss) {
    {
        ucp_sim::Smsc sim;
        sim.serve();
        links::WorkerState w;
        settle(w, UcpCimdKind::Ucp, sim.port);
        links::LinkAttempt a = links::open_ucp_cimd_link(w, UcpCimdKind::Ucp);
        ASSERT_TRUE(a.socket) << a.failure;
        links::UcpCimdSession s(UcpCimdKind::Ucp, w, a);
        EXPECT_TRUE(s.enquire_link());
        ucp_sim::SimFrame f;
        ASSERT_TRUE(sim.wait_for([](const ucp_sim::SimFrame& x) { return x.ot == 31; }, &f));
        EXPECT_EQ(f.fields, (std::vector<std::string>{"user", "0539"}));
        EXPECT_TRUE(s.link_ok());
        sim.drop();
        EXPECT_TRUE(poll_until([&] {
            s.yield(false);
            return !s.link_ok();
        }));
        EXPECT_FALSE(s.enquire_link());
        Outbound o("1234", "0612", "x");
        links::SubmitResult r = s.submit(o.out);
        EXPECT_EQ(r.code, ucp::UCP_ERR_CONNECTION);
        EXPECT_EQ(s.classify(r.code), store::ErrorClass::Retryable);
        ucp::UCPReleaseSession(a.socket.fd());
    }
    {
        cimd_sim::Smsc sim;
        sim.serve();
        links::WorkerState w;
        settle(w, UcpCimdKind::Cimd, sim.port);
        links::LinkAttempt a = links::open_ucp_cimd_link(w, UcpCimdKind::Cimd);
        ASSERT_TRUE(a.socket) << a.failure;
        links::UcpCimdSession s(UcpCimdKind::Cimd, w, a);
        EXPECT_TRUE(s.enquire_link());
        ASSERT_TRUE(sim.wait_for([](const cimd_sim::SimPacket& x) { return x.op == 40; }));
        sim.drop();
        EXPECT_TRUE(poll_until([&] {
            s.yield(false);
            return !s.link_ok();
        }));
        EXPECT_FALSE(s.enquire_link());
        cimd::CIMDReleaseSession(a.socket.fd());
    }
}

// While the send limit holds a submit back, the session keeps answering the
// SMSC: a delivery sent between two submits is acknowledged before the second
// submit goes out.
TEST_F(UcpCimdLinkTest, SendLimitWaitKeepsTheSessionServiced) {
    links::reset_global_throttle_for_tests();
    std::atomic<int> delivered{0};
    ucp::UCPSetReceiveMessageCallback([&](std::string_view, std::string_view, std::string_view, int,
                                          int, std::string_view, std::string_view, int, int,
                                          std::string_view, std::string_view) {
        ++delivered;
        return 0;
    });
    ucp_sim::Smsc sim;
    sim.serve();
    links::WorkerState w;
    settle(w, UcpCimdKind::Ucp, sim.port);
    w.pacer.set_interval_ms(400);
    links::LinkAttempt a = links::open_ucp_cimd_link(w, UcpCimdKind::Ucp);
    ASSERT_TRUE(a.socket) << a.failure;
    links::UcpCimdSession s(UcpCimdKind::Ucp, w, a);
    Outbound o("1234", "0612", "x");
    ASSERT_EQ(s.submit(o.out).code, 0);
    sim.send(ucp_sim::sim_frame(
        40, 'O', 52,
        ucp_sim::fields50({{0, "1234"}, {1, "0687"}, {18, "3"}, {20, ucp_sim::ira_hex("Hi")}})));
    ASSERT_EQ(s.submit(o.out).code, 0);
    std::vector<ucp_sim::SimFrame> got = sim.frames();
    std::vector<std::string> order;
    for (const ucp_sim::SimFrame& f : got)
        order.push_back(std::string(1, f.kind) + std::to_string(f.ot));
    EXPECT_EQ(order, (std::vector<std::string>{"O60", "O51", "R52", "O51"}));
    EXPECT_EQ(delivered.load(), 1);
    ucp::UCPReleaseSession(a.socket.fd());
}

// --- the inbound listener -----------------------------------------------------------------

TEST_F(UcpCimdLinkTest, ListenerServesInboundConnections) {
    struct Got {
        std::mutex mu;
        std::vector<std::string> items;  // link|sender|recipient|message|flags
        void add(std::string_view link, std::string_view sender, std::string_view recipient,
                 std::string_view message, int flags) {
            std::lock_guard lk(mu);
            items.push_back(std::string(link) + "|" + std::string(sender) + "|" +
                            std::string(recipient) + "|" + std::string(message) + "|" +
                            std::to_string(flags));
        }
        size_t size() {
            std::lock_guard lk(mu);
            return items.size();
        }
    } got;
    ucp::UCPSetReceiveMessageCallback([&](std::string_view link, std::string_view sender,
                                          std::string_view recipient, int, int, std::string_view,
                                          std::string_view message, int flags, int,
                                          std::string_view, std::string_view) {
        got.add(link, sender, recipient, message, flags);
        return 0;
    });
    cimd::CIMDSetReceiveMessageCallbackEx([&](std::string_view link, std::string_view sender,
                                              std::string_view recipient, int, int,
                                              std::string_view, std::string_view message, int flags,
                                              int, std::string_view, std::string_view) {
        got.add(link, sender, recipient, message, flags);
        return 0;
    });

    const std::string ulink = "UCP - 127.0.0.1:1", clink = "CIMD - 127.0.0.1:2";
    ASSERT_TRUE(links::ensure_inbound_listener(UcpCimdKind::Ucp, ulink, "127.0.0.1", 0, nullptr));
    ASSERT_TRUE(links::ensure_inbound_listener(UcpCimdKind::Cimd, clink, "127.0.0.1", 0, nullptr));
    ASSERT_TRUE(poll_until([&] {
        return links::inbound_listener_port(ulink) && links::inbound_listener_port(clink);
    }));
    unsigned uport = links::inbound_listener_port(ulink);
    // Asked again (another attempt of the link): the same listener goes on.
    ASSERT_TRUE(links::ensure_inbound_listener(UcpCimdKind::Ucp, ulink, "127.0.0.1", 0, nullptr));
    EXPECT_EQ(links::inbound_listener_port(ulink), uport);

    ucp_sim::Smsc usmsc;
    usmsc.run(platform::tcp_connect("127.0.0.1", uint16_t(uport), 2000));
    usmsc.send(ucp_sim::sim_frame(
        1, 'O', 52,
        ucp_sim::fields50(
            {{0, "1234"}, {1, "0687"}, {18, "3"}, {20, ucp_sim::ira_hex("MO one")}})));
    ASSERT_TRUE(usmsc.wait_for([](const ucp_sim::SimFrame& f) {
        return f.kind == 'R' && f.trn == 1 && f.ot == 52 && f.fields[0] == "A";
    }));
    cimd_sim::Smsc csmsc;
    csmsc.run(
        platform::tcp_connect("127.0.0.1", uint16_t(links::inbound_listener_port(clink)), 2000));
    csmsc.send(cimd_sim::sim_packet(20, 2, {{21, "1234"}, {23, "+358409"}, {33, "MO two"}}));
    ASSERT_TRUE(
        csmsc.wait_for([](const cimd_sim::SimPacket& p) { return p.op == 70 && p.number == 2; }));
    ASSERT_EQ(got.size(), 2u);
    {
        std::lock_guard lk(got.mu);
        EXPECT_EQ(got.items[0], ulink + "|0687|1234|MO one|0");
        EXPECT_EQ(got.items[1], clink + "|+358409|1234|MO two|0");
    }
    EXPECT_EQ(links::inbound_connection_count(ulink), 1u);

    // The SMSC goes away: its connection thread releases the connection.
    usmsc.drop();
    EXPECT_TRUE(poll_until([&] { return links::inbound_connection_count(ulink) == 0; }));
    // Stopping the link ends the listener and the open CIMD connection.
    EXPECT_TRUE(links::stop_inbound_listener(clink));
    EXPECT_TRUE(csmsc.wait_closed());
    EXPECT_TRUE(links::stop_inbound_listener(ulink));
    EXPECT_EQ(links::inbound_listener_port(ulink), 0u);

    std::string log = debug_log();
    for (const char* line :
         {"ThreadProcessUCPReceive:  UCP Receive started on port ",
          "ThreadProcessCIMDReceive:  CIMD Receive started on port ",
          "ThreadProcessUCPReceiveConnection:  Processing UCP connection from 127.0.0.1...\n",
          "ThreadProcessCIMDReceiveConnection:  Processing CIMD connection from 127.0.0.1...\n",
          "ThreadProcessUCPReceiveConnection:  Releasing Connection\r\n",
          "ThreadProcessCIMDReceiveConnection:  Releasing Connection\r\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
    EXPECT_NE(log.find(platform::strprintf("UCP Receive started on port %u\r\n", uport)),
              std::string::npos);
}

TEST_F(UcpCimdLinkTest, ListenerBindErrorAndRestart) {
    uint16_t busy = 0;
    platform::Socket holder = platform::tcp_listen("127.0.0.1", 0, 1, &busy);
    const std::string link = "UCP - 127.0.0.1:3";
    ASSERT_TRUE(links::ensure_inbound_listener(UcpCimdKind::Ucp, link, "127.0.0.1", busy, nullptr));
    ASSERT_TRUE(poll_until([&] {
        return debug_log().find(
                   "ThreadProcessUCPReceive:  UCP Receive Failure -- Socket Bind "
                   "Error\r\n") != std::string::npos;
    }));
    EXPECT_EQ(links::inbound_listener_port(link), 0u);
    // The port is free at the link's next attempt: the ended listener starts again.
    holder.close();
    ASSERT_TRUE(links::ensure_inbound_listener(UcpCimdKind::Ucp, link, "127.0.0.1", busy, nullptr));
    EXPECT_TRUE(poll_until([&] { return links::inbound_listener_port(link) == busy; }));
    // A new port moves the listener.
    ASSERT_TRUE(links::ensure_inbound_listener(UcpCimdKind::Ucp, link, "127.0.0.1", 0, nullptr));
    EXPECT_TRUE(poll_until([&] {
        unsigned p = links::inbound_listener_port(link);
        return p != 0 && p != busy;
    }));
    EXPECT_TRUE(links::stop_inbound_listener(link));

    const std::string clink = "CIMD - 127.0.0.1:4";
    ASSERT_TRUE(
        links::ensure_inbound_listener(UcpCimdKind::Cimd, clink, "bad address", 0, nullptr));
    EXPECT_TRUE(poll_until([&] {
        return debug_log().find(
                   "ThreadProcessCIMDReceive:  CIMD Receive Failure -- Socket Bind "
                   "Error\r\n") != std::string::npos;
    }));
    EXPECT_TRUE(links::stop_inbound_listener(clink));
}

TEST_F(UcpCimdLinkTest, ListenerEndsWhenTheLinkIsNoLongerWanted) {
    std::atomic<bool> wanted{true};
    const std::string link = "UCP - 127.0.0.1:5";
    ASSERT_TRUE(links::ensure_inbound_listener(UcpCimdKind::Ucp, link, "127.0.0.1", 0,
                                               [&] { return wanted.load(); }));
    ASSERT_TRUE(poll_until([&] { return links::inbound_listener_port(link) != 0; }));
    ucp_sim::Smsc smsc;
    smsc.run(
        platform::tcp_connect("127.0.0.1", uint16_t(links::inbound_listener_port(link)), 2000));
    ASSERT_TRUE(poll_until([&] { return links::inbound_connection_count(link) == 1; }));
    wanted = false;
    EXPECT_TRUE(poll_until([&] { return links::inbound_listener_port(link) == 0; }));
    EXPECT_TRUE(smsc.wait_closed());  // its connections end with it
    EXPECT_TRUE(links::stop_inbound_listener(link));
}

// A peer that opens connection after connection gets no more threads than
// the limit; the connections within it are served as before.
TEST_F(UcpCimdLinkTest, ListenerRefusesConnectionsBeyondTheLimit) {
    links::set_inbound_connection_limit_for_tests(1);
    const std::string link = "CIMD - 127.0.0.1:6";
    ASSERT_TRUE(links::ensure_inbound_listener(UcpCimdKind::Cimd, link, "127.0.0.1", 0, nullptr));
    ASSERT_TRUE(poll_until([&] { return links::inbound_listener_port(link) != 0; }));
    uint16_t port = uint16_t(links::inbound_listener_port(link));
    cimd_sim::Smsc first;
    first.run(platform::tcp_connect("127.0.0.1", port, 2000));
    ASSERT_TRUE(poll_until([&] { return links::inbound_connection_count(link) == 1; }));
    cimd_sim::Smsc second;
    second.run(platform::tcp_connect("127.0.0.1", port, 2000));
    EXPECT_TRUE(second.wait_closed());
    EXPECT_EQ(links::inbound_connection_count(link), 1u);
    first.send(cimd_sim::sim_packet(40, 2, {}));
    EXPECT_TRUE(first.wait_for([](const cimd_sim::SimPacket& p) { return p.op == 90; }));
    EXPECT_NE(debug_log().find("CIMD Receive Failure -- Too many connections, refusing 127.0.0.1"),
              std::string::npos);
    // Once the first has gone, a new one is taken again.
    first.drop();
    ASSERT_TRUE(poll_until([&] { return links::inbound_connection_count(link) == 0; }));
    cimd_sim::Smsc third;
    third.run(platform::tcp_connect("127.0.0.1", port, 2000));
    third.send(cimd_sim::sim_packet(40, 2, {}));
    EXPECT_TRUE(third.wait_for([](const cimd_sim::SimPacket& p) { return p.op == 90; }));
    EXPECT_TRUE(links::stop_inbound_listener(link));
    links::set_inbound_connection_limit_for_tests(0);
}
