// CIMD2 sessions over loopback against a small SMSC simulator
// (common/cimd_sim.h), which never uses the engine's codec.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/cimd_sim.h"
#include "common/inbox.h"
#include "common/trace_capture.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/trace_sink.h"
#include "protocols/cimd/cimd.h"

namespace cimd = protocols::cimd;

namespace {

constexpr const char* kLink = "CIMD - 127.0.0.1:0";

using namespace cimd_sim;

using test_inbox::Inbox;
using test_inbox::Received;

void install_ex(Inbox& inbox) {
    cimd::CIMDSetReceiveMessageCallbackEx(inbox.recorder());
}

void clear_callbacks() {
    cimd::CIMDSetReceiveMessageCallback(nullptr);
    cimd::CIMDSetReceiveMessageCallbackEx(nullptr);
}

struct Client {
    Smsc sim;
    platform::Socket sock{::socket(AF_INET, SOCK_STREAM, 0)};
    int fd() const { return sock.fd(); }
    explicit Client(unsigned timeout_s = 10, bool send_checksum = true) {
        cimd::LinkOptions opt;
        opt.command_timeout_s = timeout_s;
        opt.send_checksum = send_checksum;
        cimd::CIMDSetLinkOptions(kLink, opt);
        EXPECT_EQ(cimd::CIMDConnect(kLink, fd(), "127.0.0.1", sim.port), 0);
        EXPECT_TRUE(sim.accept());
    }
    ~Client() { cimd::CIMDReleaseSession(fd()); }
    bool yield_until(const std::function<bool()>& pred, unsigned ms = 3000) {
        uint64_t start = platform::monotonic_ms();
        while (!pred()) {
            if (platform::monotonic_ms() - start > ms) return false;
            cimd::CIMDYield(kLink, fd(), 0);
            platform::sleep_ms(5);
        }
        return true;
    }
    // Yields until the simulator has the packet.
    bool await(const std::function<bool(const SimPacket&)>& pred, SimPacket* out = nullptr,
               unsigned ms = 3000) {
        return yield_until([&] { return sim.wait_for(pred, out, 1); }, ms);
    }
};

auto is(int op, int number) {
    return [op, number](const SimPacket& p) { return p.op == op && p.number == number; };
}

}  // namespace

TEST(CimdSession, LoginAccepted) {
    Client c;
    ASSERT_EQ(cimd::CIMDBind(kLink, c.fd(), "user", "secret"), 0);
    SimPacket p;
    ASSERT_TRUE(c.sim.wait_for(is(1, 1), &p));
    EXPECT_TRUE(p.has_checksum && p.checksum_ok);
    EXPECT_EQ(p.params, (std::map<int, std::string>{{10, "user"}, {11, "secret"}}));
    EXPECT_EQ(cimd::CIMDCheckLinkStatus(kLink, c.fd()), 1);
}

TEST(CimdSession, LoginRefused) {
    Client c;
    EXPECT_EQ(cimd::CIMDBind(kLink, c.fd(), "user", "nope"), 100);
    EXPECT_STREQ(cimd::CIMDErrorText(100), "CIMD Error 100 - Invalid login");
}

TEST(CimdSession, WithoutChecksums) {
    Client c(10, false);
    c.sim.checksums = false;
    ASSERT_EQ(cimd::CIMDBind(kLink, c.fd(), "user", "secret"), 0);
    SimPacket p;
    ASSERT_TRUE(c.sim.wait_for(is(1, 1), &p));
    EXPECT_FALSE(p.has_checksum);
    EXPECT_EQ(cimd::CIMDEnquireLink(kLink, c.fd(), "user"), 0);
}

TEST(CimdSession, SubmitsOfEveryCoding) {
    Client c;
    ASSERT_EQ(cimd::CIMDBind(kLink, c.fd(), "user", "secret"), 0);
    struct Case {
        const char* name;
        const char* sender;
        int dcs;
        const char* udh;
        const char* data;
        int binary;
        int flags;
        std::map<int, std::string> params;
    } cases[] = {
        {"text",
         "ALPHA@NUM",
         0,
         "",
         "Hello \xE2\x82\xAC",
         0,
         0x02,
         {{21, "+358401234567"}, {27, "ALPHA_OaNUM"}, {33, "Hello _XXe"}, {56, "62"}}},
        {"unicode",
         "1234",
         8,
         "",
         "\xD0\x9F\xD1\x80\xD0\xB8",
         0,
         0,
         {{21, "+358401234567"}, {23, "1234"}, {30, "8"}, {34, "041F04400438"}}},
        {"binary",
         "1234",
         0xF5,
         "0605040B8423F0",
         "DEADBEEF",
         1,
         0,
         {{21, "+358401234567"},
          {23, "1234"},
          {30, "245"},
          {32, "0605040B8423F0"},
          {34, "DEADBEEF"}}},
        {"long-message segment",
         "1234",
         0,
         "050003A70201",
         "90E910",
         1,
         0,
         {{21, "+358401234567"}, {23, "1234"}, {32, "050003A70201"}, {33, "Hi!"}}},
    };
    int number = 3;  // after the login's 001, odd numbers
    for (const Case& k : cases) {
        std::string id;
        ASSERT_EQ(cimd::CIMDSubmitMessage(kLink, c.fd(), k.sender, "", "+358401234567", 0, k.dcs,
                                          k.udh, k.data, k.flags, k.binary, &id),
                  0)
            << k.name;
        SimPacket p;
        ASSERT_TRUE(c.sim.wait_for(is(3, number), &p)) << k.name;
        EXPECT_TRUE(p.checksum_ok) << k.name;
        EXPECT_EQ(p.params, k.params) << k.name;
        EXPECT_EQ(id, "+358401234567:040302010600") << k.name;
        number += 2;
    }
}

TEST(CimdSession, PacketNumbersWrapOddly) {
    Client c;
    std::vector<int> numbers;
    for (int i = 0; i < 130; ++i) {
        ASSERT_EQ(cimd::CIMDEnquireLink(kLink, c.fd(), "user"), 0);
    }
    ASSERT_TRUE(c.sim.wait_for([](const SimPacket& p) { return p.op == 40 && p.number == 3; },
                               nullptr, 3000, 2));
    std::lock_guard lk(c.sim.mu);
    for (const SimPacket& p : c.sim.got) numbers.push_back(p.number);
    ASSERT_EQ(numbers.size(), 130u);
    EXPECT_EQ(numbers[0], 1);
    EXPECT_EQ(numbers[127], 255);
    EXPECT_EQ(numbers[128], 1);
    EXPECT_EQ(numbers[129], 3);
}

TEST(CimdSession, SubmitErrors) {
    Client c;
    ASSERT_EQ(cimd::CIMDBind(kLink, c.fd(), "user", "secret"), 0);
    c.sim.submit_error = 300;
    EXPECT_EQ(cimd::CIMDSubmitMessage(kLink, c.fd(), "1", "", "2", 0, 0, "", "x", 0, 0), 300);
    c.sim.submit_error = 0;
    c.sim.general_error = 2;
    EXPECT_EQ(cimd::CIMDSubmitMessage(kLink, c.fd(), "1", "", "2", 0, 0, "", "x", 0, 0), 2);
    c.sim.general_error = 0;
    // One NACK: the packet goes again with the same number and is accepted.
    c.sim.nacks_left = 1;
    size_t before = c.sim.count();
    EXPECT_EQ(cimd::CIMDSubmitMessage(kLink, c.fd(), "1", "", "2", 0, 0, "", "x", 0, 0), 0);
    {
        std::lock_guard lk(c.sim.mu);
        ASSERT_EQ(c.sim.got.size(), before + 2);
        EXPECT_EQ(c.sim.got[before].number, c.sim.got[before + 1].number);
        EXPECT_EQ(c.sim.got[before].params, c.sim.got[before + 1].params);
    }
    // Refused locally: nothing is sent.
    before = c.sim.count();
    EXPECT_EQ(cimd::CIMDSubmitMessage(kLink, c.fd(), "1", "", "abc", 0, 0, "", "x", 0, 0),
              cimd::EC_DESTINATION);
    EXPECT_FALSE(c.sim.wait_for([](const SimPacket&) { return true; }, nullptr, 50, before));
    EXPECT_EQ(cimd::CIMDCheckLinkStatus(kLink, c.fd()), 1);
}

// A NACK naming the number the SMSC expects: the packet goes again once with
// that number, and the numbering carries on from it.
TEST(CimdSession, NackWithExpectedNumberResynchronises) {
    struct Case {
        int expect;  // number the SMSC wants
        int resent;  // number of the second attempt
        int next;    // number of the following request
        int result;
    } cases[] = {
        {7, 7, 9, 0},
        {255, 255, 1, 0},
        {4, -1, -1, cimd::CIMD_ERR_TIMEOUT},  // ours are odd: not taken up
    };
    for (const Case& k : cases) {
        Client c(1);
        ASSERT_EQ(cimd::CIMDBind(kLink, c.fd(), "user", "secret"), 0);
        c.sim.expect_number = k.expect;
        size_t before = c.sim.count();
        EXPECT_EQ(cimd::CIMDSubmitMessage(kLink, c.fd(), "1", "", "2", 0, 0, "", "x", 0, 0),
                  k.result)
            << k.expect;
        if (k.result != 0) {
            EXPECT_EQ(cimd::CIMDCheckLinkStatus(kLink, c.fd()), 0);
            continue;
        }
        EXPECT_EQ(cimd::CIMDEnquireLink(kLink, c.fd(), "user"), 0);
        ASSERT_TRUE(c.sim.wait_for(is(40, k.next), nullptr, 3000, before));
        std::lock_guard lk(c.sim.mu);
        ASSERT_EQ(c.sim.got.size(), before + 3) << k.expect;
        EXPECT_EQ(c.sim.got[before].number, 3);
        EXPECT_EQ(c.sim.got[before + 1].op, 3);
        EXPECT_EQ(c.sim.got[before + 1].number, k.resent);
        EXPECT_EQ(c.sim.got[before].params, c.sim.got[before + 1].params);
    }
}

// The SMSC repeats a deliver whose response it missed: answered, stored once.
TEST(CimdSession, RepeatedDeliverIsStoredOnce) {
    Inbox inbox;
    install_ex(inbox);
    Client c;
    const std::string first = sim_packet(20, 2, {{21, "1234"}, {23, "5"}, {33, "one"}});
    struct Step {
        std::string packet;
        int response_number;
        size_t stored;
    } steps[] = {
        {first, 2, 1},
        {first, 2, 1},                                                      // repeated
        {sim_packet(20, 2, {{21, "1234"}, {23, "5"}, {33, "two"}}), 2, 2},  // new text
        {sim_packet(20, 4, {{21, "1234"}, {23, "5"}, {33, "two"}}), 4, 3},  // new number
        {sim_packet(23, 6, {{21, "1"}, {60, "040302010600"}, {61, "4"}}), 6, 4},
        {sim_packet(23, 6, {{21, "1"}, {60, "040302010600"}, {61, "4"}}), 6, 4},
    };
    size_t n = 0;
    for (const Step& st : steps) {
        size_t before = c.sim.count();
        c.sim.send(st.packet);
        SimPacket resp;
        ASSERT_TRUE(c.yield_until([&] {
            return c.sim.wait_for(is(st.packet[2] == '0' ? 70 : 73, st.response_number), &resp, 1,
                                  before);
        })) << n;
        EXPECT_TRUE(resp.params.empty()) << n;
        EXPECT_EQ(inbox.size(), st.stored) << n;
        ++n;
    }
    clear_callbacks();
}

// Answers the engine cannot read close the session; the message is retried.
TEST(CimdSession, UnreadableResponsesCloseTheSession) {
    struct Case {
        const char* name;
        std::function<std::string(const SimPacket&)> reply;
    } cases[] = {
        {"NACK twice", [](const SimPacket& p) { return sim_packet(99, p.number, {}); }},
        {"error code not a number",
         [](const SimPacket& p) {
             return sim_packet(53, p.number, {{900, "x1"}});
         }},
        {"general error without code",
         [](const SimPacket& p) { return sim_packet(98, p.number, {}); }},
        {"damaged response",
         [](const SimPacket& p) {
             std::string r = sim_packet(53, p.number, {{21, "2"}, {60, "040302010600"}});
             r[r.size() - 2] = r[r.size() - 2] == '0' ? '1' : '0';
             return r;
         }},
    };
    for (const Case& k : cases) {
        Client c;
        c.sim.submit_reply = k.reply;
        EXPECT_EQ(cimd::CIMDSubmitMessage(kLink, c.fd(), "1", "", "2", 0, 0, "", "x", 0, 0),
                  cimd::CIMD_ERR_CONNECTION)
            << k.name;
        EXPECT_EQ(cimd::CIMDCheckLinkStatus(kLink, c.fd()), 0) << k.name;
    }
}

TEST(CimdSession, KeepAlive) {
    Client c;
    ASSERT_EQ(cimd::CIMDBind(kLink, c.fd(), "user", "secret"), 0);
    EXPECT_EQ(cimd::CIMDEnquireLink(kLink, c.fd(), "user"), 0);
    SimPacket p;
    ASSERT_TRUE(c.sim.wait_for([](const SimPacket& x) { return x.op == 40; }, &p));
    EXPECT_TRUE(p.params.empty());
}

TEST(CimdSession, DeliverAndStatusReportReachTheCallback) {
    Inbox inbox;
    install_ex(inbox);
    Client c;
    ASSERT_EQ(cimd::CIMDBind(kLink, c.fd(), "user", "secret"), 0);
    ASSERT_EQ(cimd::CIMDSubmitMessage(kLink, c.fd(), "1234", "LocalUser=bob; OurMsgId=MSG0042",
                                      "+358401234567", 0, 0, "", "x", 0x02, 0),
              0);

    c.sim.send(sim_packet(
        20, 2, {{21, "1234"}, {23, "+358409999999"}, {60, "040302010600"}, {33, "Hi _a\""}}));
    SimPacket resp;
    ASSERT_TRUE(c.await(is(70, 2), &resp));
    EXPECT_TRUE(resp.params.empty());
    EXPECT_TRUE(resp.checksum_ok);
    ASSERT_EQ(inbox.size(), 1u);
    Received r = inbox.at(0);
    EXPECT_EQ(r.link, kLink);
    EXPECT_EQ(r.sender, "+358409999999");
    EXPECT_EQ(r.recipient, "1234");
    EXPECT_EQ(r.message, "Hi \xC3\xA4");
    EXPECT_EQ(r.flags, 0);
    EXPECT_EQ(r.binary, 0);

    c.sim.send(sim_packet(23, 4,
                          {{21, "+358401234567"},
                           {23, "1234"},
                           {60, "040302010600"},
                           {61, "4"},
                           {62, "0"},
                           {63, "040302010700"}}));
    ASSERT_TRUE(c.await(is(73, 4)));
    ASSERT_EQ(inbox.size(), 2u);
    r = inbox.at(1);
    EXPECT_EQ(r.id, "MSG0042");
    EXPECT_EQ(r.extra, "RouteToLocalUser=bob");
    EXPECT_EQ(r.flags, 0x0C);
    EXPECT_EQ(r.sender, "+358401234567");
    EXPECT_EQ(r.message,
              "id:MSG0042 sub:001 dlvrd:001 submit date:0403020106 done date:0403020107 "
              "stat:DELIVRD err:000");

    // Not known to the engine: left to the tracking store.
    c.sim.send(sim_packet(
        23, 6, {{21, "+358400000000"}, {60, "040302010600"}, {61, "3"}, {62, "11"}}, false));
    ASSERT_TRUE(c.await(is(73, 6)));
    ASSERT_EQ(inbox.size(), 3u);
    r = inbox.at(2);
    EXPECT_EQ(r.id, "+358400000000:040302010600");
    EXPECT_EQ(r.extra, "ResolveReceiptID=Yes");
    EXPECT_EQ(r.flags, 0x24);

    // Refused by the gateway: the response carries the code.
    inbox.answer = 9;
    c.sim.send(sim_packet(20, 8, {{21, "1234"}, {23, "5"}, {33, "x"}}));
    ASSERT_TRUE(c.await(is(70, 8), &resp));
    EXPECT_EQ(resp.params, (std::map<int, std::string>{{900, "009"}}));
    clear_callbacks();
}

TEST(CimdSession, OlderCallbackGetsMessagesOnly) {
    std::mutex mu;
    std::vector<std::string> seen;
    cimd::CIMDSetReceiveMessageCallbackEx(nullptr);
    cimd::CIMDSetReceiveMessageCallback(
        [&](std::string_view link, std::string_view sender, std::string_view recipient, int pid,
            int dcs, std::string_view udh, std::string_view message, int binary) {
            std::lock_guard lk(mu);
            seen.push_back(std::string(link) + "|" + std::string(sender) + "|" +
                           std::string(recipient) + "|" + std::to_string(pid) + "|" +
                           std::to_string(dcs) + "|" + std::string(udh) + "|" +
                           std::string(message) + "|" + std::to_string(binary));
            return 1;  // this form always answers 1: the message is still taken
        });
    Client c;
    c.sim.send(
        sim_packet(20, 2, {{21, "1234"}, {23, "5678"}, {52, "64"}, {30, "8"}, {34, "00410042"}}));
    SimPacket resp;
    ASSERT_TRUE(c.await(is(70, 2), &resp));
    EXPECT_TRUE(resp.params.empty());
    c.sim.send(sim_packet(23, 4, {{21, "1"}, {60, "040302010600"}, {61, "4"}}));
    ASSERT_TRUE(c.await(is(73, 4), &resp));
    EXPECT_TRUE(resp.params.empty());
    std::lock_guard lk(mu);
    EXPECT_EQ(seen, std::vector<std::string>{std::string(kLink) + "|5678|1234|64|8||AB|0"});
    clear_callbacks();
}

TEST(CimdSession, MalformedPacketsAreAnswered) {
    Inbox inbox;
    install_ex(inbox);
    Client c;
    SimPacket p;
    // Checksum wrong: NACK with the packet's number.
    std::string bad = sim_packet(20, 10, {{21, "1"}, {33, "x"}});
    bad[bad.size() - 2] = bad[bad.size() - 2] == '0' ? '1' : '0';
    c.sim.send(bad);
    ASSERT_TRUE(c.await(is(99, 10), &p));
    // Parameter without its code: general error, syntax.
    c.sim.send(
        "\x02"
        "20:012\t021:1\tjunk\t\x03");
    ASSERT_TRUE(c.await(is(98, 12), &p));
    EXPECT_EQ(p.params, (std::map<int, std::string>{{900, "002"}}));
    // Unknown operation.
    c.sim.send(sim_packet(9, 14, {}));
    ASSERT_TRUE(c.await(is(98, 14), &p));
    EXPECT_EQ(p.params, (std::map<int, std::string>{{900, "001"}}));
    // A deliver without destination.
    c.sim.send(sim_packet(20, 16, {{33, "x"}}));
    ASSERT_TRUE(c.await(is(70, 16), &p));
    EXPECT_EQ(p.params, (std::map<int, std::string>{{900, "002"}}));
    // ETX missing, garbage, then a good packet.
    std::string cut = sim_packet(20, 18, {{21, "1"}, {33, "lost"}});
    cut.pop_back();
    c.sim.send(cut + "garbage" + sim_packet(20, 20, {{21, "1"}, {33, "kept"}}));
    ASSERT_TRUE(c.await(is(98, 18), &p));
    ASSERT_TRUE(c.await(is(70, 20), &p));
    EXPECT_TRUE(p.params.empty());
    ASSERT_EQ(inbox.size(), 1u);
    EXPECT_EQ(inbox.at(0).message, "kept");
    // Never ending: the session is closed.
    c.sim.send(
        "\x02"
        "20:022\t" +
        std::string(cimd::kMaxPacketBody + 10, 'x'));
    uint64_t start = platform::monotonic_ms();
    while (cimd::CIMDCheckLinkStatus(kLink, c.fd()) && platform::monotonic_ms() - start < 3000)
        cimd::CIMDYield(kLink, c.fd(), 1);
    EXPECT_EQ(cimd::CIMDCheckLinkStatus(kLink, c.fd()), 0);
    EXPECT_TRUE(c.sim.wait_closed());
    clear_callbacks();
}

TEST(CimdSession, PeerDropAndLogout) {
    {
        Client c;
        ASSERT_EQ(cimd::CIMDBind(kLink, c.fd(), "user", "secret"), 0);
        c.sim.drop();
        uint64_t start = platform::monotonic_ms();
        while (cimd::CIMDCheckLinkStatus(kLink, c.fd()) && platform::monotonic_ms() - start < 3000)
            platform::sleep_ms(5);
        EXPECT_EQ(cimd::CIMDCheckLinkStatus(kLink, c.fd()), 0);
        EXPECT_EQ(cimd::CIMDSubmitMessage(kLink, c.fd(), "1", "", "2", 0, 0, "", "x", 0, 0),
                  cimd::CIMD_ERR_CONNECTION);
    }
    {
        // The SMSC logs out: answered, then the session is over.
        Client c;
        c.sim.send(sim_packet(2, 2, {}));
        ASSERT_TRUE(c.await(is(52, 2)));
        EXPECT_EQ(cimd::CIMDCheckLinkStatus(kLink, c.fd()), 0);
    }
    {
        Client c;
        EXPECT_EQ(cimd::CIMDLogout(kLink, c.fd()), 0);
        EXPECT_TRUE(c.sim.wait_for(is(2, 1)));
    }
}

TEST(CimdSession, SilentSmscTimesOut) {
    Client c(1);
    c.sim.silent = true;
    uint64_t start = platform::monotonic_ms();
    EXPECT_EQ(cimd::CIMDBind(kLink, c.fd(), "user", "secret"), cimd::CIMD_ERR_TIMEOUT);
    EXPECT_GE(platform::monotonic_ms() - start, 900u);
    EXPECT_EQ(cimd::CIMDCheckLinkStatus(kLink, c.fd()), 0);
}

TEST(CimdSession, WithoutSessionTheCallsFail) {
    platform::Socket s(::socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(cimd::CIMDBind(kLink, s.fd(), "u", "p"), cimd::CIMD_ERR_STATE);
    EXPECT_EQ(cimd::CIMDSubmitMessage(kLink, s.fd(), "1", "", "2", 0, 0, "", "x", 0, 0),
              cimd::CIMD_ERR_STATE);
    EXPECT_EQ(cimd::CIMDEnquireLink(kLink, s.fd(), "u"), cimd::CIMD_ERR_STATE);
    EXPECT_EQ(cimd::CIMDCheckLinkStatus(kLink, s.fd()), 0);
    cimd::CIMDYield("", -1, 0);
    uint16_t port = 0;
    { platform::Socket l = platform::tcp_listen("127.0.0.1", 0, 1, &port); }
    EXPECT_EQ(cimd::CIMDConnect(kLink, s.fd(), "127.0.0.1", port), cimd::CIMD_ERR_CONNECTION);
}

TEST(CimdSession, InboundConnection) {
    Inbox inbox;
    install_ex(inbox);
    uint16_t port = 0;
    platform::Socket listener = platform::tcp_listen("127.0.0.1", 0, 8, &port);
    std::atomic<bool> released{false};
    std::thread gateway([&] {
        platform::Socket s = platform::tcp_accept(listener, 3000);
        if (!s) return;
        cimd::CIMDAttachInbound("CIMD - inbound", s.fd());
        uint64_t start = platform::monotonic_ms();
        while (cimd::CIMDCheckLinkStatus("", s.fd()) && platform::monotonic_ms() - start < 10000)
            cimd::CIMDYield("", s.fd(), 1);
        cimd::CIMDReleaseSession(s.fd());
        released = true;
    });
    Smsc smsc;
    smsc.run(platform::tcp_connect("127.0.0.1", port, 2000));
    smsc.send(sim_packet(1, 0, {{10, "smsc"}, {11, "pw"}}));
    ASSERT_TRUE(smsc.wait_for(is(51, 0)));
    smsc.send(sim_packet(23, 2, {{21, "+358401"}, {60, "040302010600"}, {61, "2"}}));
    ASSERT_TRUE(smsc.wait_for(is(73, 2)));
    smsc.send(sim_packet(40, 4, {}));
    ASSERT_TRUE(smsc.wait_for(is(90, 4)));
    ASSERT_EQ(inbox.size(), 1u);
    Received r = inbox.at(0);
    EXPECT_EQ(r.link, "CIMD - inbound");
    EXPECT_EQ(r.flags, 0x24);
    EXPECT_NE(r.message.find(" stat:EXPIRED err:000"), std::string::npos) << r.message;
    smsc.drop();
    gateway.join();
    EXPECT_TRUE(released);
    clear_callbacks();
}

namespace {

// The gateway's side of a connection the SMSC opens to the link's listener.
struct InboundGateway {
    platform::Socket listener;
    uint16_t port = 0;
    std::atomic<bool> ended{false};
    std::thread thread;
    InboundGateway(bool required, unsigned login_s, unsigned idle_s) {
        cimd::LinkOptions opt;
        opt.inbound_user = "smsc";
        opt.inbound_password = "pw";
        opt.inbound_login_required = required;
        opt.login_timeout_s = login_s;
        opt.idle_timeout_s = idle_s;
        cimd::CIMDSetLinkOptions("CIMD - in", opt);
        listener = platform::tcp_listen("127.0.0.1", 0, 8, &port);
        thread = std::thread([this] {
            platform::Socket s = platform::tcp_accept(listener, 3000);
            if (!s) return;
            cimd::CIMDAttachInbound("CIMD - in", s.fd());
            uint64_t start = platform::monotonic_ms();
            while (cimd::CIMDCheckLinkStatus("", s.fd()) &&
                   platform::monotonic_ms() - start < 10000)
                cimd::CIMDYield("", s.fd(), 1);
            cimd::CIMDReleaseSession(s.fd());
            ended = true;
        });
    }
    ~InboundGateway() { thread.join(); }
};

}  // namespace

// The SMSC's own connection logs in with the link's credentials before its
// deliveries and reports are taken.
TEST(CimdSession, InboundLoginIsChecked) {
    using Params = std::map<int, std::string>;
    struct Case {
        const char* name;
        bool required;
        const char* user;  // nullptr: no login sent
        const char* password;
        Params login_result, deliver_result;
        size_t stored;
    } cases[] = {
        {"right login", true, "smsc", "pw", {}, {}, 2},
        {"wrong password", true, "smsc", "bad", {{900, "100"}}, {{900, "001"}}, 0},
        {"wrong user", true, "other", "pw", {{900, "100"}}, {{900, "001"}}, 0},
        {"no login", true, nullptr, "", {}, {{900, "001"}}, 0},
        {"no user name on the link", false, "any", "x", {}, {}, 2},
    };
    for (const Case& k : cases) {
        Inbox inbox;
        install_ex(inbox);
        InboundGateway gw(k.required, 30, 600);
        Smsc smsc;
        smsc.run(platform::tcp_connect("127.0.0.1", gw.port, 2000));
        SimPacket p;
        if (k.user) {
            smsc.send(sim_packet(1, 0, {{10, k.user}, {11, k.password}}));
            ASSERT_TRUE(smsc.wait_for(is(51, 0), &p)) << k.name;
            EXPECT_EQ(p.params, k.login_result) << k.name;
        }
        smsc.send(sim_packet(20, 2, {{21, "1234"}, {23, "5"}, {33, "x"}}));
        ASSERT_TRUE(smsc.wait_for(is(70, 2), &p)) << k.name;
        EXPECT_EQ(p.params, k.deliver_result) << k.name;
        smsc.send(sim_packet(23, 4, {{21, "+358401"}, {60, "040302010600"}, {61, "2"}}));
        ASSERT_TRUE(smsc.wait_for(is(73, 4), &p)) << k.name;
        EXPECT_EQ(p.params, k.deliver_result) << k.name;
        EXPECT_EQ(inbox.size(), k.stored) << k.name;
        smsc.drop();
    }
    clear_callbacks();
}

// A connection that never logs in, or falls silent, is closed by the gateway.
TEST(CimdSession, InboundDeadlines) {
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
        InboundGateway gw(true, k.login_s, k.idle_s);
        Smsc smsc;
        smsc.run(platform::tcp_connect("127.0.0.1", gw.port, 2000));
        if (k.log_in) {
            smsc.send(sim_packet(1, 0, {{10, "smsc"}, {11, "pw"}}));
            ASSERT_TRUE(smsc.wait_for(is(51, 0))) << k.name;
        }
        EXPECT_EQ(smsc.wait_closed(3000), k.closed) << k.name;
        EXPECT_EQ(gw.ended.load(), k.closed) << k.name;
        smsc.drop();
    }
}

using testutil::TraceCapture;

TEST(CimdSession, GarbageFloodTracesBoundedLines) {
    const size_t kFlood = 2 * 1024 * 1024;
    std::string junk_packets;
    while (junk_packets.size() < kFlood) junk_packets += "\x02x\x03";
    const struct {
        const char* what;
        std::string bytes;
        const char* first_line;
    } cases[] = {
        {"bare STX", std::string(kFlood, '\x02'), "invalid packet"},
        {"unreadable packets", junk_packets, "invalid packet"},
        {"bytes outside packets", std::string(kFlood, 'z'), "outside a packet dropped"},
    };
    cimd::CIMDSetDebugMode(1);
    for (const auto& tc : cases) {
        TraceCapture trace;
        Client c;
        std::thread feeder([&] {
            c.sim.send(tc.bytes);
            c.sim.send(sim_packet(40, 7, {}));
        });
        // Megabytes of garbage take a while under the sanitizers.
        bool answered = c.await(is(90, 7), nullptr, 30000);
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
        EXPECT_EQ(cimd::CIMDCheckLinkStatus(kLink, c.fd()), 1) << tc.what;
    }
    cimd::CIMDSetDebugMode(0);
}
