// UCP/EMI sessions over loopback against a small SMSC simulator
// (common/ucp_sim.h), which never uses the engine's codec.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/inbox.h"
#include "common/trace_capture.h"
#include "common/ucp_sim.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/trace_sink.h"
#include "protocols/ucp/ucp.h"

namespace ucp = protocols::ucp;

namespace {

constexpr const char* kLink = "UCP - 127.0.0.1:0";

using namespace ucp_sim;

using test_inbox::Inbox;
using test_inbox::Received;

void install_callback(Inbox& inbox) {
    ucp::UCPSetReceiveMessageCallback(inbox.recorder());
}

// A connected, optionally logged-in client session.
struct Client {
    Smsc sim;
    platform::Socket sock{::socket(AF_INET, SOCK_STREAM, 0)};
    int fd() const { return sock.fd(); }

    explicit Client(unsigned timeout_s = 10) {
        ucp::LinkOptions opt;
        opt.command_timeout_s = timeout_s;
        ucp::UCPSetLinkOptions(kLink, opt);
        EXPECT_EQ(ucp::UCPConnect(fd(), kLink, "127.0.0.1", sim.port), 0);
        EXPECT_TRUE(sim.accept());
    }
    ~Client() { ucp::UCPReleaseSession(fd()); }
    // Runs yields until pred holds (bounded).
    bool yield_until(const std::function<bool()>& pred, unsigned ms = 3000) {
        uint64_t start = platform::monotonic_ms();
        while (!pred()) {
            if (platform::monotonic_ms() - start > ms) return false;
            ucp::UCPYield(fd(), kLink, 0);
            platform::sleep_ms(5);
        }
        return true;
    }
};

bool is_result(const SimFrame& f, int trn, int ot) {
    return f.kind == 'R' && f.trn == trn && f.ot == ot;
}

}  // namespace

TEST(UcpSession, LoginAccepted) {
    Client c;
    ASSERT_EQ(ucp::UCPBind(c.fd(), kLink, "user", "secret"), 0);
    SimFrame login;
    ASSERT_TRUE(c.sim.wait_for([](const SimFrame& f) { return f.ot == 60; }, &login));
    EXPECT_TRUE(login.checksum_ok);
    EXPECT_TRUE(login.length_ok);
    EXPECT_EQ(login.kind, 'O');
    EXPECT_EQ(login.fields, (std::vector<std::string>{"user", "6", "5", "1", "736563726574", "",
                                                      "0100", "", "", "", "", ""}));
    EXPECT_EQ(ucp::UCPCheckLinkStatus(c.fd(), kLink), 1);
}

TEST(UcpSession, LoginRefused) {
    Client c;
    EXPECT_EQ(ucp::UCPBind(c.fd(), kLink, "user", "wrong"), 7);
    EXPECT_STREQ(ucp::UCPErrorText(7), "UCP Error 07 - Authentication failure");
}

TEST(UcpSession, NoUserNameSendsNoLogin) {
    Client c;
    EXPECT_EQ(ucp::UCPBind(c.fd(), kLink, "", ""), 0);
    EXPECT_EQ(ucp::UCPEnquireLink(c.fd(), kLink, ""), 0);
    ASSERT_TRUE(c.sim.wait_for([](const SimFrame& f) { return f.ot == 31; }));
    EXPECT_FALSE(c.sim.wait_for([](const SimFrame& f) { return f.ot == 60; }, nullptr, 50));
}

TEST(UcpSession, SubmitsOfEveryCoding) {
    Client c;
    ASSERT_EQ(ucp::UCPBind(c.fd(), kLink, "user", "secret"), 0);
    struct Case {
        const char* name;
        const char* sender;
        const char* recipient;
        int dcs;
        const char* udh;
        const char* data;
        int binary;
        // expected fields of the 51
        std::vector<std::pair<int, std::string>> fields;
    } cases[] = {
        {"text",
         "ALPHA@NUM",
         "+31612345678",
         0,
         "",
         "Hello",
         0,
         {{0, "0031612345678"},
          {1, "10412614190438AB4D"},
          {18, "3"},
          {20, "48656C6C6F"},
          {28, "5039"},
          {30, ""}}},
        {"unicode",
         "1234",
         "0612345678",
         8,
         "",
         "\xD0\x9F\xD1\x80\xD0\xB8",
         0,
         {{0, "0612345678"},
          {1, "1234"},
          {18, "4"},
          {19, "48"},
          {20, "041F04400438"},
          {30, "020108"}}},
        {"binary",
         "1234",
         "0612345678",
         0xF5,
         "0605040B8423F0",
         "DEADBEEF",
         1,
         {{18, "4"}, {19, "32"}, {20, "DEADBEEF"}, {30, "01070605040B8423F00201F5"}}},
        {"long-message segment",
         "1234",
         "0612345678",
         0,
         "050003A70201",
         "90E910",
         1,
         {{18, "3"}, {20, "486921"}, {30, "0106050003A70201"}}},
    };
    for (const Case& k : cases) {
        size_t before = c.sim.count();
        std::string id;
        ASSERT_EQ(ucp::UCPSubmitMessage(c.fd(), kLink, k.sender, "", k.recipient, 0, k.dcs, k.udh,
                                        k.data, 0, k.binary, "", &id),
                  0)
            << k.name;
        SimFrame f;
        ASSERT_TRUE(c.sim.wait_for([](const SimFrame& x) { return x.ot == 51; }, &f, 3000, before))
            << k.name;
        EXPECT_TRUE(f.checksum_ok && f.length_ok) << k.name;
        ASSERT_EQ(f.fields.size(), 33u) << k.name;
        for (auto& [i, v] : k.fields) EXPECT_EQ(f.fields[size_t(i)], v) << k.name << " field " << i;
        EXPECT_EQ(id, f.fields[0] + ":010203040506") << k.name;
    }
}

TEST(UcpSession, SubmitRefusedBySmsc) {
    Client c;
    ASSERT_EQ(ucp::UCPBind(c.fd(), kLink, "user", "secret"), 0);
    c.sim.submit_nack = 24;
    std::string id = "stale";
    EXPECT_EQ(ucp::UCPSubmitMessage(c.fd(), kLink, "1234", "", "0612345678", 0, 0, "", "x", 0, 0,
                                    "", &id),
              24);
    EXPECT_EQ(id, "");
    EXPECT_EQ(ucp::UCPCheckLinkStatus(c.fd(), kLink), 1);  // a refusal does not end the session
    c.sim.submit_nack = 0;
    EXPECT_EQ(
        ucp::UCPSubmitMessage(c.fd(), kLink, "1234", "", "0612345678", 0, 0, "", "x", 0, 0, ""), 0);
    // Refused before sending: no frame goes out.
    size_t before = c.sim.count();
    EXPECT_EQ(
        ucp::UCPSubmitMessage(c.fd(), kLink, "1234", "", "not a number", 0, 0, "", "x", 0, 0, ""),
        ucp::EC_ADC_INVALID);
    EXPECT_FALSE(c.sim.wait_for([](const SimFrame& f) { return f.ot == 51; }, nullptr, 50, before));
}

// Results the engine cannot read close the session; the message is retried.
TEST(UcpSession, UnreadableResultsCloseTheSession) {
    struct Case {
        const char* name;
        std::function<std::string(const SimFrame&)> reply;
    } cases[] = {
        {"NACK without error code",
         [](const SimFrame& f) {
             return sim_frame(f.trn, 'R', 51, {"N", "", ""});
         }},
        {"neither ACK nor NACK",
         [](const SimFrame& f) { return sim_frame(f.trn, 'R', 51, {"X"}); }},
        {"damaged result",
         [](const SimFrame& f) {
             std::string r = sim_frame(f.trn, 'R', 51, {"A", "", "1:010203040506"});
             r[r.size() - 2] = r[r.size() - 2] == '0' ? '1' : '0';
             return r;
         }},
    };
    for (const Case& k : cases) {
        Client c;
        c.sim.submit_reply = k.reply;
        EXPECT_EQ(ucp::UCPSubmitMessage(c.fd(), kLink, "1234", "", "0612", 0, 0, "", "x", 0, 0, ""),
                  ucp::UCP_ERR_CONNECTION)
            << k.name;
        EXPECT_EQ(ucp::UCPCheckLinkStatus(c.fd(), kLink), 0) << k.name;
    }
}

TEST(UcpSession, KeepAlive) {
    Client c;
    ASSERT_EQ(ucp::UCPBind(c.fd(), kLink, "user", "secret"), 0);
    EXPECT_EQ(ucp::UCPEnquireLink(c.fd(), kLink, "user"), 0);
    SimFrame f;
    ASSERT_TRUE(c.sim.wait_for([](const SimFrame& x) { return x.ot == 31; }, &f));
    EXPECT_EQ(f.fields, (std::vector<std::string>{"user", "0539"}));
    c.sim.alert_nack = 3;  // a NACK still proves the SMSC is there
    EXPECT_EQ(ucp::UCPEnquireLink(c.fd(), kLink, "user"), 0);
}

TEST(UcpSession, DeliverAndNotificationReachTheCallback) {
    Inbox inbox;
    install_callback(inbox);
    Client c;
    ASSERT_EQ(ucp::UCPBind(c.fd(), kLink, "user", "secret"), 0);
    ASSERT_EQ(ucp::UCPSubmitMessage(c.fd(), kLink, "1234", "", "0612345678", 0, 0, "", "x", 0x02, 0,
                                    "BillingInfo=B1; LocalUser=alice; OurMsgId=MSG0001"),
              0);

    // 52: a mobile user's message.
    c.sim.send(sim_frame(11, 'O', 52,
                         fields50({{0, "1234"},
                                   {1, "0687654321"},
                                   {14, "020304050607"},
                                   {18, "3"},
                                   {20, ira_hex("Hi there")}})));
    ASSERT_TRUE(c.yield_until([&] { return inbox.size() >= 1; }));
    Received r = inbox.at(0);
    EXPECT_EQ(r.link, kLink);
    EXPECT_EQ(r.sender, "0687654321");
    EXPECT_EQ(r.recipient, "1234");
    EXPECT_EQ(r.message, "Hi there");
    EXPECT_EQ(r.flags, 0);
    EXPECT_EQ(r.binary, 0);
    SimFrame ack;
    ASSERT_TRUE(c.sim.wait_for([](const SimFrame& f) { return is_result(f, 11, 52); }, &ack));
    EXPECT_EQ(ack.fields, (std::vector<std::string>{"A", "", "1234:020304050607"}));
    EXPECT_TRUE(ack.checksum_ok && ack.length_ok);

    // 53 for the submit above: resolved to the gateway's id.
    c.sim.send(sim_frame(12, 'O', 53,
                         fields50({{0, "0612345678"},
                                   {1, "1234"},
                                   {14, "010203040506"},
                                   {15, "0"},
                                   {16, "000"},
                                   {17, "010203040607"},
                                   {18, "3"},
                                   {20, ira_hex("Delivered")}})));
    ASSERT_TRUE(c.yield_until([&] { return inbox.size() >= 2; }));
    r = inbox.at(1);
    EXPECT_EQ(r.sender, "0612345678");
    EXPECT_EQ(r.recipient, "1234");
    EXPECT_EQ(r.flags, 0x0C);
    EXPECT_EQ(r.id, "MSG0001");
    EXPECT_EQ(r.extra, "RouteToLocalUser=alice");
    EXPECT_EQ(r.message,
              "id:MSG0001 sub:001 dlvrd:001 submit date:0302010405 done date:0302010406 "
              "stat:DELIVRD err:000");
    ASSERT_TRUE(c.sim.wait_for(
        [](const SimFrame& f) { return is_result(f, 12, 53) && f.fields[0] == "A"; }));

    // A second notification of the same message is no longer known: left to the tracking store.
    c.sim.send(sim_frame(13, 'O', 53,
                         fields50({{0, "0612345678"},
                                   {1, "1234"},
                                   {14, "010203040506"},
                                   {15, "2"},
                                   {16, "108"},
                                   {17, "010203040607"}})));
    ASSERT_TRUE(c.yield_until([&] { return inbox.size() >= 3; }));
    r = inbox.at(2);
    EXPECT_EQ(r.id, "0612345678:010203040506");
    EXPECT_EQ(r.extra, "ResolveReceiptID=Yes");
    EXPECT_EQ(r.flags, 0x24);
    EXPECT_EQ(r.message.substr(0, 27), "id:0612345678:010203040506 ");
    ucp::UCPSetReceiveMessageCallback(nullptr);
}

TEST(UcpSession, CallbackRefusalIsNacked) {
    Inbox inbox;
    install_callback(inbox);
    Client c;
    struct Case {
        int answer;
        const char* ec;
    } cases[] = {{5, "05"}, {int(0xFEF1F0F0), "04"}, {250, "04"}};
    int trn = 20;
    for (const Case& k : cases) {
        inbox.answer = k.answer;
        c.sim.send(
            sim_frame(trn, 'O', 52, fields50({{0, "1234"}, {1, "0687"}, {18, "3"}, {20, "41"}})));
        SimFrame f;
        ASSERT_TRUE(c.yield_until([&] {
            return c.sim.wait_for([&](const SimFrame& x) { return is_result(x, trn, 52); }, &f, 1);
        }));
        EXPECT_EQ(f.fields, (std::vector<std::string>{"N", k.ec, ""})) << k.answer;
        ++trn;
    }
    ucp::UCPSetReceiveMessageCallback(nullptr);
}

TEST(UcpSession, MalformedFramesAreNackedAndSkipped) {
    Inbox inbox;
    install_callback(inbox);
    Client c;
    auto expect_result = [&](int trn, int ot, std::vector<std::string> fields) {
        SimFrame f;
        ASSERT_TRUE(c.yield_until([&] {
            return c.sim.wait_for([&](const SimFrame& x) { return is_result(x, trn, ot); }, &f, 1);
        })) << trn;
        EXPECT_EQ(f.fields, fields) << trn;
    };
    auto good52 = [](int trn) {
        return sim_frame(trn, 'O', 52, fields50({{0, "1234"}, {1, "0687"}, {18, "3"}, {20, "41"}}));
    };

    // Checksum off by one.
    std::string bad = good52(30);
    bad[bad.size() - 2] = bad[bad.size() - 2] == '0' ? '1' : '0';
    c.sim.send(bad);
    expect_result(30, 52, {"N", "01", ""});

    // LEN disagrees with the frame.
    std::string body = sim_frame(31, 'O', 31, {"0612", "0539"});
    body.replace(4, 5, "00099");  // LEN 00026 -> 00099; checksum fixed below
    unsigned sum = 0;
    for (size_t i = 1; i < body.size() - 3; ++i) sum += static_cast<unsigned char>(body[i]);
    char cs[3];
    std::snprintf(cs, sizeof cs, "%02X", sum & 0xFF);
    body.replace(body.size() - 3, 2, cs);
    c.sim.send(body);
    expect_result(31, 31, {"N", "02", ""});

    // ETX missing: the next STX starts a frame that is still served.
    std::string cut = sim_frame(32, 'O', 31, {"0612", "0539"});
    cut.pop_back();
    c.sim.send(cut + sim_frame(33, 'O', 31, {"0612", "0539"}));
    expect_result(32, 31, {"N", "02", ""});
    expect_result(33, 31, {"A", ""});

    // Bytes between frames, an unknown operation, a 52 without a message.
    c.sim.send("noise\r\n" + sim_frame(34, 'O', 99, {"x"}));
    expect_result(34, 99, {"N", "03", ""});
    c.sim.send(sim_frame(35, 'O', 52, {"1234", "0687"}));
    expect_result(35, 52, {"N", "02", ""});
    EXPECT_EQ(inbox.size(), 0u);

    c.sim.send(good52(36));
    expect_result(36, 52, {"A", "", ""});
    EXPECT_EQ(inbox.size(), 1u);
    EXPECT_EQ(ucp::UCPCheckLinkStatus(c.fd(), kLink), 1);

    // A frame that never ends: the session is closed.
    c.sim.send(
        "\x02"
        "01/" +
        std::string(ucp::kMaxFrameBody + 10, '7'));
    uint64_t start = platform::monotonic_ms();
    while (ucp::UCPCheckLinkStatus(c.fd(), kLink) && platform::monotonic_ms() - start < 3000)
        ucp::UCPYield(c.fd(), kLink, 1);
    EXPECT_EQ(ucp::UCPCheckLinkStatus(c.fd(), kLink), 0);
    EXPECT_TRUE(c.sim.wait_closed());
    ucp::UCPSetReceiveMessageCallback(nullptr);
}

TEST(UcpSession, PeerDropIsDetected) {
    Client c;
    ASSERT_EQ(ucp::UCPBind(c.fd(), kLink, "user", "secret"), 0);
    c.sim.drop();
    uint64_t start = platform::monotonic_ms();
    while (ucp::UCPCheckLinkStatus(c.fd(), kLink) && platform::monotonic_ms() - start < 3000)
        platform::sleep_ms(5);
    EXPECT_EQ(ucp::UCPCheckLinkStatus(c.fd(), kLink), 0);
    EXPECT_EQ(ucp::UCPSubmitMessage(c.fd(), kLink, "1234", "", "0612", 0, 0, "", "x", 0, 0, ""),
              ucp::UCP_ERR_CONNECTION);
    EXPECT_EQ(ucp::UCPEnquireLink(c.fd(), kLink, "user"), ucp::UCP_ERR_CONNECTION);
}

TEST(UcpSession, SilentSmscTimesOut) {
    Client c(1);
    c.sim.silent = true;
    uint64_t start = platform::monotonic_ms();
    EXPECT_EQ(ucp::UCPSubmitMessage(c.fd(), kLink, "1234", "", "0612", 0, 0, "", "x", 0, 0, ""),
              ucp::UCP_ERR_TIMEOUT);
    EXPECT_GE(platform::monotonic_ms() - start, 900u);
    EXPECT_EQ(ucp::UCPCheckLinkStatus(c.fd(), kLink), 0);
}

TEST(UcpSession, WithoutSessionTheCallsFail) {
    platform::Socket s(::socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(ucp::UCPBind(s.fd(), kLink, "u", "p"), ucp::UCP_ERR_STATE);
    EXPECT_EQ(ucp::UCPSubmitMessage(s.fd(), kLink, "1", "", "2", 0, 0, "", "x", 0, 0, ""),
              ucp::UCP_ERR_STATE);
    EXPECT_EQ(ucp::UCPEnquireLink(s.fd(), kLink, "u"), ucp::UCP_ERR_STATE);
    EXPECT_EQ(ucp::UCPCheckLinkStatus(s.fd(), kLink), 0);
    EXPECT_EQ(ucp::UCPCheckLinkStatus(-1, ""), 0);
    ucp::UCPYield(-1, "", 0);
    // Nothing listens on the port of a listener that was closed.
    uint16_t port = 0;
    { platform::Socket l = platform::tcp_listen("127.0.0.1", 0, 1, &port); }
    EXPECT_EQ(ucp::UCPConnect(s.fd(), kLink, "127.0.0.1", port), ucp::UCP_ERR_CONNECTION);
    EXPECT_EQ(ucp::UCPConnect(s.fd(), kLink, "127.0.0.1", 0), ucp::UCP_ERR_CONNECTION);
}

// The SMSC connects to the gateway's receive port and delivers there; the
// connection thread runs the loop of the inbound listener.
TEST(UcpSession, InboundConnection) {
    Inbox inbox;
    install_callback(inbox);
    uint16_t port = 0;
    platform::Socket listener = platform::tcp_listen("127.0.0.1", 0, 8, &port);
    std::atomic<bool> released{false};
    std::thread gateway([&] {
        platform::Socket s = platform::tcp_accept(listener, 3000);
        if (!s) return;
        uint64_t start = platform::monotonic_ms();
        while (ucp::UCPCheckLinkStatus(s.fd(), "") && platform::monotonic_ms() - start < 10000)
            ucp::UCPYield(s.fd(), "", 1);
        ucp::UCPReleaseSession(s.fd());
        released = true;
    });
    Smsc smsc;
    smsc.run(platform::tcp_connect("127.0.0.1", port, 2000));
    smsc.send(sim_frame(1, 'O', 60,
                        {"SMSC", "6", "5", "1", ira_hex("pw"), "", "0100", "", "", "", "", ""}));
    ASSERT_TRUE(smsc.wait_for([](const SimFrame& f) { return is_result(f, 1, 60); }));
    smsc.send(sim_frame(
        2, 'O', 52,
        fields50({{0, "1234"}, {1, "0687"}, {18, "4"}, {19, "16"}, {20, "00E9"}, {30, "020108"}})));
    SimFrame ack;
    ASSERT_TRUE(smsc.wait_for([](const SimFrame& f) { return is_result(f, 2, 52); }, &ack));
    EXPECT_EQ(ack.fields[0], "A");
    ASSERT_EQ(inbox.size(), 1u);
    Received r = inbox.at(0);
    EXPECT_EQ(r.link, "");
    EXPECT_EQ(r.message, "\xC3\xA9");
    EXPECT_EQ(r.dcs, 8);
    smsc.drop();
    gateway.join();
    EXPECT_TRUE(released);
    ucp::UCPSetReceiveMessageCallback(nullptr);
}

// A socket number reused after a close without release gets a fresh session.
TEST(UcpSession, ReusedSocketNumberStartsFresh) {
    Smsc first;
    platform::Socket s(::socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(ucp::UCPConnect(s.fd(), kLink, "127.0.0.1", first.port), 0);
    ASSERT_TRUE(first.accept());
    first.drop();
    uint64_t start = platform::monotonic_ms();
    while (ucp::UCPCheckLinkStatus(s.fd(), kLink) && platform::monotonic_ms() - start < 3000)
        platform::sleep_ms(5);
    ASSERT_EQ(ucp::UCPCheckLinkStatus(s.fd(), kLink), 0);

    uint16_t port = 0;
    platform::Socket listener = platform::tcp_listen("127.0.0.1", 0, 8, &port);
    Smsc smsc;
    smsc.run(platform::tcp_connect("127.0.0.1", port, 2000));
    platform::Socket accepted = platform::tcp_accept(listener, 2000);
    ASSERT_TRUE(accepted);
    // The inbound connection gets the number of the closed, never released socket.
    int old_fd = s.fd();
    s.close();
    ASSERT_EQ(::dup2(accepted.fd(), old_fd), old_fd);
    accepted.close();
    platform::Socket in(old_fd);

    EXPECT_EQ(ucp::UCPCheckLinkStatus(in.fd(), ""), 1);
    smsc.send(sim_frame(5, 'O', 31, {"0612", "0539"}));
    start = platform::monotonic_ms();
    while (!smsc.wait_for([](const SimFrame& f) { return is_result(f, 5, 31); }, nullptr, 1) &&
           platform::monotonic_ms() - start < 3000)
        ucp::UCPYield(in.fd(), "", 0);
    EXPECT_TRUE(smsc.wait_for([](const SimFrame& f) { return is_result(f, 5, 31); }, nullptr, 1));
    ucp::UCPReleaseSession(in.fd());
}

namespace {

// The gateway's side of a connection the SMSC opens to the link's listener.
struct InboundGateway {
    platform::Socket listener;
    uint16_t port = 0;
    std::atomic<bool> ended{false};
    std::thread thread;
    explicit InboundGateway(const ucp::LinkOptions& opt) {
        ucp::UCPSetLinkOptions("UCP - in", opt);
        listener = platform::tcp_listen("127.0.0.1", 0, 8, &port);
        thread = std::thread([this] {
            platform::Socket s = platform::tcp_accept(listener, 3000);
            if (!s) return;
            ucp::UCPAttachInbound(s.fd(), "UCP - in");
            uint64_t start = platform::monotonic_ms();
            while (ucp::UCPCheckLinkStatus(s.fd(), "") && platform::monotonic_ms() - start < 10000)
                ucp::UCPYield(s.fd(), "", 1);
            ucp::UCPReleaseSession(s.fd());
            ended = true;
        });
    }
    ~InboundGateway() { thread.join(); }
};

ucp::LinkOptions inbound_options(bool required, unsigned login_s = 30, unsigned idle_s = 600) {
    ucp::LinkOptions opt;
    opt.inbound_user = "SMSC";
    opt.inbound_password = "pw";
    opt.inbound_login_required = required;
    opt.login_timeout_s = login_s;
    opt.idle_timeout_s = idle_s;
    return opt;
}

}  // namespace

// The SMSC's own connection logs in with the link's credentials before its
// deliveries are taken.
TEST(UcpSession, InboundLoginIsChecked) {
    struct Case {
        const char* name;
        bool required;
        const char* user;  // nullptr: no login sent
        const char* password;
        std::vector<std::string> login_result, deliver_result;
        size_t stored;
    } cases[] = {
        {"right login", true, "SMSC", "pw", {"A", ""}, {"A", "", "1234:040302010600"}, 1},
        {"wrong password", true, "SMSC", "bad", {"N", "07", ""}, {"N", "04", ""}, 0},
        {"wrong user", true, "OTHER", "pw", {"N", "07", ""}, {"N", "04", ""}, 0},
        {"no login", true, nullptr, "", {}, {"N", "04", ""}, 0},
        {"no user name on the link",
         false,
         "ANY",
         "x",
         {"A", ""},
         {"A", "", "1234:040302010600"},
         1},
    };
    for (const Case& k : cases) {
        Inbox inbox;
        install_callback(inbox);
        InboundGateway gw(inbound_options(k.required));
        Smsc smsc;
        smsc.run(platform::tcp_connect("127.0.0.1", gw.port, 2000));
        SimFrame f;
        if (k.user) {
            smsc.send(sim_frame(
                1, 'O', 60,
                {k.user, "6", "5", "1", ira_hex(k.password), "", "0100", "", "", "", "", ""}));
            ASSERT_TRUE(smsc.wait_for([](const SimFrame& x) { return is_result(x, 1, 60); }, &f))
                << k.name;
            EXPECT_EQ(f.fields, k.login_result) << k.name;
        }
        smsc.send(sim_frame(
            2, 'O', 52,
            fields50({{0, "1234"}, {1, "0687"}, {14, "040302010600"}, {18, "3"}, {20, "41"}})));
        ASSERT_TRUE(smsc.wait_for([](const SimFrame& x) { return is_result(x, 2, 52); }, &f))
            << k.name;
        EXPECT_EQ(f.fields, k.deliver_result) << k.name;
        EXPECT_EQ(inbox.size(), k.stored) << k.name;
        smsc.drop();
    }
    ucp::UCPSetReceiveMessageCallback(nullptr);
}

// A connection that never logs in, or falls silent, is closed by the gateway.
TEST(UcpSession, InboundDeadlines) {
    struct Case {
        const char* name;
        unsigned login_s, idle_s;
        bool log_in;
        bool closed;  // within 3 s
    } cases[] = {
        {"no login", 1, 0, false, true},
        {"idle after the login", 0, 1, true, true},
        {"logged in, no idle limit", 1, 0, true, false},
    };
    for (const Case& k : cases) {
        InboundGateway gw(inbound_options(true, k.login_s, k.idle_s));
        Smsc smsc;
        smsc.run(platform::tcp_connect("127.0.0.1", gw.port, 2000));
        if (k.log_in) {
            smsc.send(
                sim_frame(1, 'O', 60,
                          {"SMSC", "6", "5", "1", ira_hex("pw"), "", "0100", "", "", "", "", ""}));
            ASSERT_TRUE(smsc.wait_for([](const SimFrame& x) { return is_result(x, 1, 60); }))
                << k.name;
        }
        EXPECT_EQ(smsc.wait_closed(3000), k.closed) << k.name;
        EXPECT_EQ(gw.ended.load(), k.closed) << k.name;
        smsc.drop();
    }
}

using testutil::TraceCapture;

TEST(UcpSession, GarbageFloodTracesBoundedLines) {
    const size_t kFlood = 2 * 1024 * 1024;
    std::string junk_frames;
    while (junk_frames.size() < kFlood) junk_frames += "\x02x\x03";
    const struct {
        const char* what;
        std::string bytes;
        const char* first_line;
    } cases[] = {
        {"bare STX", std::string(kFlood, '\x02'), "invalid frame"},
        {"unreadable frames", junk_frames, "invalid frame"},
        {"bytes outside frames", std::string(kFlood, 'z'), "outside a frame dropped"},
    };
    ucp::UCPSetDebugMode(1);
    for (const auto& tc : cases) {
        TraceCapture trace;
        Client c;
        std::thread feeder([&] {
            c.sim.send(tc.bytes);
            c.sim.send(sim_frame(7, 'O', 31, {"0612", "0539"}));
        });
        SimFrame f;
        bool answered = c.yield_until(
            [&] {
                return c.sim.wait_for([](const SimFrame& x) { return is_result(x, 7, 31); }, &f, 1);
            },
            10000);
        feeder.join();
        EXPECT_TRUE(answered) << tc.what;
        const std::vector<std::string>& lines = trace.lines;
        EXPECT_LT(lines.size(), 60u) << tc.what;
        ASSERT_FALSE(lines.empty()) << tc.what;
        // The first lines come in full.
        std::string head = lines[0] + "\n" + (lines.size() > 1 ? lines[1] : "");
        EXPECT_NE(head.find(tc.first_line), std::string::npos) << tc.what << head;
        size_t summaries = 0;
        for (const std::string& l : lines) summaries += l.find("not traced") != std::string::npos;
        EXPECT_GE(summaries, 1u) << tc.what;
        EXPECT_EQ(ucp::UCPCheckLinkStatus(c.fd(), kLink), 1) << tc.what;
    }
    ucp::UCPSetDebugMode(0);
}
