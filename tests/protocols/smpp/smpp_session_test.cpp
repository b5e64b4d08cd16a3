// SMPP sessions over loopback: the engine's client against its own server,
// and both halves against a scripted raw peer for the cases a well-behaved
// peer never produces (responses out of order, silence, garbage, unbind).
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "common/smpp_raw_peer.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "protocols/smpp/pdu.h"
#include "protocols/smpp/smpp.h"
#include "radio/charset/charset.h"
#include "support/directories.h"
#include "support/support_state.h"
#include "support/tls.h"

namespace smpp = protocols::smpp;
using smpp::Pdu;

namespace {

constexpr const char* kLink = "SMPP - 127.0.0.1:0";

platform::Socket new_socket() {
    return platform::Socket(::socket(AF_INET, SOCK_STREAM, 0));
}

struct Listener {
    platform::Socket sock;
    uint16_t port = 0;
    Listener() { sock = platform::tcp_listen("127.0.0.1", 0, 16, &port); }
};

using smpp_test::RawPeer;

// Client socket connected to a raw peer that has answered the bind.
struct ClientWithRawPeer {
    Listener l;
    platform::Socket client = new_socket();
    RawPeer peer;
    Pdu bind;

    explicit ClientWithRawPeer(int mode = 2, unsigned timeout_s = 120, bool queue_inbound = false) {
        smpp::LinkOptions opt;
        opt.command_timeout_s = timeout_s;
        opt.queue_inbound = queue_inbound;
        smpp::SMPPSetLinkOptions(kLink, opt);
        EXPECT_EQ(smpp::SMPPConnect(client.fd(), kLink, "127.0.0.1", l.port), 0u);
        peer.s = platform::tcp_accept(l.sock, 2000);
        std::thread t([&] {
            if (peer.recv(bind)) peer.answer(bind);
        });
        EXPECT_EQ(smpp::SMPPBind(client.fd(), nullptr, kLink, 0x34, mode, "user", "pw", "st"), 0u);
        t.join();
    }
    ~ClientWithRawPeer() { smpp::SMPPReleaseSession(client.fd()); }
};

// The engine's server on one accepted connection, run on its own thread.
struct ServerSession {
    Listener l;
    std::thread th;
    std::atomic<bool> stop{false};
    std::atomic<int> bind_kind{0}, version{0};
    std::atomic<bool> ended{false};
    std::string password = "secret";
    std::function<void(int fd)> bound_work;  // runs on the session thread after the bind

    void start() {
        th = std::thread([this] {
            platform::Socket s = platform::tcp_accept(l.sock, 5000);
            if (!s) return;
            std::string acct, pw;
            uint32_t seq = 0;
            int kind = 0, ver = 0;
            if (!smpp::SMPPServerWaitForLogin(s.fd(), nullptr, 5, acct, pw, seq, kind, ver)) return;
            bind_kind = kind;
            version = ver;
            if (pw != password) {
                smpp::SMPPServerRejectLogin(s.fd(), nullptr, seq, kind, 0x0E);
                smpp::SMPPReleaseSession(s.fd());
                return;
            }
            smpp::SMPPServerAcceptLogin(s.fd(), nullptr, seq, kind, ver);
            if (bound_work) bound_work(s.fd());
            int end = 0;
            uint64_t start = platform::monotonic_ms();
            while (!stop && !end && platform::monotonic_ms() - start < 20000)
                smpp::SMPPServerYield(s.fd(), nullptr, 0, acct, &end);
            ended = end != 0;
            smpp::SMPPReleaseSession(s.fd());
        });
    }
    ~ServerSession() {
        stop = true;
        if (th.joinable()) th.join();
    }
};

struct Received {
    std::mutex mu;
    std::vector<std::vector<std::string>> items;
    void add(std::vector<std::string> v) {
        std::lock_guard lk(mu);
        items.push_back(std::move(v));
    }
    size_t size() {
        std::lock_guard lk(mu);
        return items.size();
    }
};

void install_server_receiver(Received& rx, int status = 0) {
    smpp::SMPPServerSetReceiveMessageCallback(
        [&rx, status](std::string_view addr, std::string_view acct, std::string_view sender,
                      std::string_view recip, int pid, int dcs, std::string_view udh,
                      std::string_view msg, int flags, int binary, std::string_view rid,
                      std::string& out_id, std::string_view opts) {
            rx.add({std::string(addr), std::string(acct), std::string(sender), std::string(recip),
                    std::to_string(pid), std::to_string(dcs), std::string(udh), std::string(msg),
                    std::to_string(flags), std::to_string(binary), std::string(rid),
                    std::string(opts)});
            out_id = "ID-" + std::string(msg);
            return status;
        });
}

void install_client_receiver(Received& rx, int status = 0) {
    smpp::SMPPSetReceiveMessageCallback(
        [&rx, status](std::string_view link, std::string_view sender, std::string_view recip,
                      int pid, int dcs, std::string_view udh, std::string_view msg, int flags,
                      int binary, std::string_view id, std::string_view extra) {
            rx.add({std::string(link), std::string(sender), std::string(recip), std::to_string(pid),
                    std::to_string(dcs), std::string(udh), std::string(msg), std::to_string(flags),
                    std::to_string(binary), std::string(id), std::string(extra)});
            return status;
        });
}

uint32_t submit(int fd, std::string_view text, std::string* id = nullptr, int flags = 0) {
    std::string mid;
    uint32_t st = smpp::SMPPSubmitMessage(fd, nullptr, kLink, 0x34, "+4477001", "4477002", 0, 0, "",
                                          text, flags, 0, mid, "REF", "ServiceType=CMT");
    if (id) *id = mid;
    return st;
}

// Yields on the client until pred() or the time runs out.
template <class F>
bool yield_until(int fd, F pred, unsigned ms = 5000) {
    uint64_t start = platform::monotonic_ms();
    while (!pred()) {
        if (platform::monotonic_ms() - start > ms) return false;
        int err = 0;
        smpp::SMPPYield(fd, nullptr, kLink, 0x34, 0, &err);
        platform::sleep_ms(1);
    }
    return true;
}

}  // namespace

// ---- client against the engine's own server --------------------------------------

TEST(SmppSession, BindsInEachModeAndSubmits) {
    struct Case {
        int mode;
        int kind;
    } cases[] = {{1, 1}, {2, 2}, {9, 9}};
    for (const auto& c : cases) {
        Received rx;
        install_server_receiver(rx);
        ServerSession srv;
        srv.start();
        platform::Socket cl = new_socket();
        ASSERT_EQ(smpp::SMPPConnect(cl.fd(), kLink, "127.0.0.1", srv.l.port), 0u);
        ASSERT_EQ(smpp::SMPPBind(cl.fd(), nullptr, kLink, 0x34, c.mode, "acct", "secret", "sys"),
                  0u)
            << c.mode;
        EXPECT_EQ(srv.bind_kind, c.kind);
        EXPECT_EQ(srv.version, 0x34);
        std::string id;
        if (c.mode == 1) {
            EXPECT_EQ(submit(cl.fd(), "Hello", &id), smpp::SMPP_ERR_STATE);
        } else {
            ASSERT_EQ(submit(cl.fd(), "Hello", &id, 0x02), 0u);
            EXPECT_EQ(id, "ID-Hello");
            ASSERT_EQ(rx.size(), 1u);
            auto& r = rx.items[0];
            EXPECT_EQ(r[0], "127.0.0.1");
            EXPECT_EQ(r[1], "acct");
            EXPECT_EQ(r[2], "+4477001");
            EXPECT_EQ(r[3], "4477002");
            EXPECT_EQ(r[7], "Hello");
            EXPECT_EQ(r[8], "2");  // receipt requested
            EXPECT_EQ(r[11], "ServiceType=CMT");
        }
        EXPECT_EQ(smpp::SMPPEnquireLink(cl.fd(), nullptr, kLink, 0x34), 0u);
        EXPECT_NE(smpp::SMPPCheckLinkStatus(cl.fd(), nullptr, kLink), 0);
        smpp::SMPPUnbind(cl.fd(), nullptr, kLink, 0x34);
        srv.th.join();
        EXPECT_TRUE(srv.ended) << "server saw the unbind";
        EXPECT_EQ(smpp::SMPPCheckLinkStatus(cl.fd(), nullptr, kLink), 0);
    }
}

TEST(SmppSession, RefusedBindReturnsTheStatus) {
    ServerSession srv;
    srv.password = "other";
    srv.start();
    platform::Socket cl = new_socket();
    ASSERT_EQ(smpp::SMPPConnect(cl.fd(), kLink, "127.0.0.1", srv.l.port), 0u);
    EXPECT_EQ(smpp::SMPPBind(cl.fd(), nullptr, kLink, 0x34, 2, "acct", "secret", ""), 0x0Eu);
    EXPECT_STREQ(smpp::SMPPErrorText(0x0E), "ESME_RINVPASWD - Invalid Password");
    smpp::SMPPReleaseSession(cl.fd());
}

TEST(SmppSession, Version33BindsWithoutTransceiver) {
    ServerSession srv;
    srv.start();
    platform::Socket cl = new_socket();
    ASSERT_EQ(smpp::SMPPConnect(cl.fd(), kLink, "127.0.0.1", srv.l.port), 0u);
    EXPECT_EQ(smpp::SMPPBind(cl.fd(), nullptr, kLink, 0x33, 9, "acct", "secret", ""),
              smpp::SMPP_ERR_STATE);
    ASSERT_EQ(smpp::SMPPBind(cl.fd(), nullptr, kLink, 0x33, 2, "acct", "secret", ""), 0u);
    EXPECT_EQ(srv.version, 0x33);
    Received rx;
    install_server_receiver(rx);
    EXPECT_EQ(submit(cl.fd(), "x"), 0u);
    smpp::SMPPUnbind(cl.fd(), nullptr, kLink, 0x33);
}

TEST(SmppSession, ConnectFailureIsReported) {
    Listener l;
    uint16_t port = l.port;
    l.sock.close();  // nothing listens there any more
    platform::Socket cl = new_socket();
    EXPECT_EQ(smpp::SMPPConnect(cl.fd(), kLink, "127.0.0.1", port), smpp::SMPP_ERR_CONNECTION);
    EXPECT_EQ(smpp::SMPPCheckLinkStatus(cl.fd(), nullptr, kLink), 0);
    EXPECT_EQ(smpp::SMPPBind(cl.fd(), nullptr, kLink, 0x34, 2, "a", "b", ""), smpp::SMPP_ERR_STATE);
}

TEST(SmppSession, WindowedSubmitsAllComplete) {
    Received rx;
    install_server_receiver(rx);
    ServerSession srv;
    srv.start();
    platform::Socket cl = new_socket();
    ASSERT_EQ(smpp::SMPPConnect(cl.fd(), kLink, "127.0.0.1", srv.l.port), 0u);
    ASSERT_EQ(smpp::SMPPBind(cl.fd(), nullptr, kLink, 0x34, 2, "acct", "secret", ""), 0u);
    std::vector<smpp::SMPPAsyncSubmit> recs(100);
    for (size_t i = 0; i < recs.size(); ++i) {
        std::string id, text = "m" + std::to_string(i);
        ASSERT_EQ(smpp::SMPPSubmitMessageAsync(cl.fd(), nullptr, kLink, 0x34, "1", "2", 0, 0, "",
                                               text, 0, 0, id, "", "", &recs[i]),
                  0u);
    }
    EXPECT_TRUE(yield_until(cl.fd(), [&] {
        for (auto& r : recs)
            if (!r.response_received.load()) return false;
        return true;
    }));
    for (size_t i = 0; i < recs.size(); ++i) {
        EXPECT_EQ(recs[i].status.load(), 0u);
        EXPECT_EQ(recs[i].smsc_message_id, "ID-m" + std::to_string(i));
    }
    smpp::SMPPUnbind(cl.fd(), nullptr, kLink, 0x34);
}

TEST(SmppSession, ServerRefusalReachesTheClient) {
    Received rx;
    install_server_receiver(rx, 0x58);
    ServerSession srv;
    srv.start();
    platform::Socket cl = new_socket();
    ASSERT_EQ(smpp::SMPPConnect(cl.fd(), kLink, "127.0.0.1", srv.l.port), 0u);
    ASSERT_EQ(smpp::SMPPBind(cl.fd(), nullptr, kLink, 0x34, 9, "acct", "secret", ""), 0u);
    std::string id = "stale";
    EXPECT_EQ(submit(cl.fd(), "x", &id), 0x58u);
    EXPECT_EQ(id, "");
    smpp::SMPPUnbind(cl.fd(), nullptr, kLink, 0x34);
}

// ---- deliveries from the server to a client ---------------------------------------

TEST(SmppSession, ServerDeliversMessagesAndReceipts) {
    Received rx;
    std::atomic<uint32_t> st_text{1}, st_receipt{1}, st_refused{1};
    std::atomic<bool> refuse{false};
    ServerSession srv;
    srv.bound_work = [&](int fd) {
        st_text = smpp::SMPPServerSubmitMessage(fd, nullptr, "acct", "+4477", "12", 0, 8, "",
                                                "\xE2\x82\xAC", 0, 0, "", "G1",
                                                "SMPPOption_user_message_reference=9");
        st_receipt =
            smpp::SMPPServerSubmitMessage(fd, nullptr, "acct", "12", "+4477", 0, 0, "",
                                          "id:G1 sub:001 dlvrd:001 submit date:1306011200 done "
                                          "date:1306011201 stat:DELIVRD err:000 text:",
                                          0x0C, 0, "G1", "G2", "");
        refuse = true;
        st_refused = smpp::SMPPServerSubmitMessage(fd, nullptr, "acct", "1", "2", 0, 0, "", "no", 0,
                                                   0, "", "G3", "");
    };
    smpp::SMPPSetReceiveMessageCallback(
        [&](std::string_view link, std::string_view sender, std::string_view recip, int pid,
            int dcs, std::string_view udh, std::string_view msg, int flags, int binary,
            std::string_view id, std::string_view extra) {
            rx.add({std::string(link), std::string(sender), std::string(recip), std::to_string(pid),
                    std::to_string(dcs), std::string(udh), std::string(msg), std::to_string(flags),
                    std::to_string(binary), std::string(id), std::string(extra)});
            return refuse ? 0x66 : 0;
        });
    srv.start();
    platform::Socket cl = new_socket();
    ASSERT_EQ(smpp::SMPPConnect(cl.fd(), kLink, "127.0.0.1", srv.l.port), 0u);
    ASSERT_EQ(smpp::SMPPBind(cl.fd(), nullptr, kLink, 0x34, 9, "acct", "secret", ""), 0u);
    ASSERT_TRUE(yield_until(cl.fd(), [&] { return st_refused.load() != 1; }));
    EXPECT_EQ(st_text.load(), 0u);
    EXPECT_EQ(st_receipt.load(), 0u);
    EXPECT_EQ(st_refused.load(), 0x66u);
    ASSERT_EQ(rx.size(), 3u);
    EXPECT_EQ(rx.items[0][0], kLink);
    EXPECT_EQ(rx.items[0][1], "+4477");
    EXPECT_EQ(rx.items[0][4], "8");
    EXPECT_EQ(rx.items[0][6], "\xE2\x82\xAC");
    EXPECT_EQ(rx.items[0][10], "SMPPOption_user_message_reference=9");
    EXPECT_EQ(rx.items[1][7], "12");  // 0x04 receipt | 0x08 delivered
    EXPECT_EQ(rx.items[1][9], "G1");
    smpp::SMPPUnbind(cl.fd(), nullptr, kLink, 0x34);
}

TEST(SmppSession, ServerWindowCompletesAndTimesOut) {
    Received rx;
    install_client_receiver(rx);
    smpp::ServerOptions so;
    so.command_timeout_s = 1;
    smpp::SMPPServerSetOptions(so);
    std::vector<smpp::SMPPServerAsyncEntry> entries(10);
    std::atomic<bool> sent{false};
    ServerSession srv;
    srv.bound_work = [&](int fd) {
        for (size_t i = 0; i < entries.size(); ++i)
            ASSERT_EQ(smpp::SMPPServerSubmitMessageNew(fd, nullptr, "acct", "1", "2", 0, 0, "",
                                                       "m" + std::to_string(i), 0, 0, "", "", "",
                                                       &entries[i]),
                      0u);
        sent = true;
    };
    srv.start();
    platform::Socket cl = new_socket();
    ASSERT_EQ(smpp::SMPPConnect(cl.fd(), kLink, "127.0.0.1", srv.l.port), 0u);
    ASSERT_EQ(smpp::SMPPBind(cl.fd(), nullptr, kLink, 0x34, 9, "acct", "secret", ""), 0u);
    ASSERT_TRUE(yield_until(cl.fd(), [&] { return rx.size() == entries.size(); }));
    // The server's yields take the responses.
    uint64_t start = platform::monotonic_ms();
    auto all_done = [&] {
        for (auto& e : entries)
            if (!e.completed.load()) return false;
        return true;
    };
    while (!all_done() && platform::monotonic_ms() - start < 3000) platform::sleep_ms(5);
    ASSERT_TRUE(all_done());
    for (auto& e : entries) EXPECT_EQ(e.status.load(), 0u);
    for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(rx.items[i][6], "m" + std::to_string(i));

    srv.stop = true;
    srv.th.join();
    smpp::SMPPServerSetOptions(smpp::ServerOptions{});
    smpp::SMPPUnbind(cl.fd(), nullptr, kLink, 0x34);
}

TEST(SmppSession, UnansweredDeliveryCompletesAfterTheTimeout) {
    smpp::ServerOptions so;
    so.command_timeout_s = 1;
    smpp::SMPPServerSetOptions(so);
    Listener l;
    RawPeer client;
    client.s = platform::tcp_connect("127.0.0.1", l.port, 2000);
    platform::Socket s = platform::tcp_accept(l.sock, 2000);
    Pdu bind;
    bind.command_id = smpp::BIND_RECEIVER;
    bind.sequence = 1;
    bind.system_id = "acct";
    client.send(bind);
    std::string acct, pw;
    uint32_t seq = 0;
    int kind = 0, ver = 0;
    ASSERT_EQ(smpp::SMPPServerWaitForLogin(s.fd(), nullptr, 2, acct, pw, seq, kind, ver), 1);
    EXPECT_EQ(kind, 1);
    smpp::SMPPServerAcceptLogin(s.fd(), nullptr, seq, kind, ver);
    Pdu r;
    ASSERT_TRUE(client.recv(r));
    EXPECT_EQ(r.command_id, smpp::BIND_RECEIVER_RESP);
    EXPECT_EQ(r.system_id, "SMSGW");

    smpp::SMPPServerAsyncEntry e;
    ASSERT_EQ(smpp::SMPPServerSubmitMessageNew(s.fd(), nullptr, "acct", "1", "2", 0, 0, "", "x", 0,
                                               0, "", "", "", &e),
              0u);
    uint64_t start = platform::monotonic_ms();
    int end = 0;
    while (!e.completed && platform::monotonic_ms() - start < 3000)
        smpp::SMPPServerYield(s.fd(), nullptr, 0, acct, &end);
    ASSERT_TRUE(e.completed);
    EXPECT_EQ(e.status.load(), smpp::SMPP_SERVER_NO_RESPONSE);
    EXPECT_GE(platform::monotonic_ms() - start, 900u);

    uint32_t st = smpp::SMPPServerSubmitMessage(s.fd(), nullptr, "acct", "1", "2", 0, 0, "", "y", 0,
                                                0, "", "", "");
    EXPECT_GE(st, 0xFFFF0000u);

    // A lost connection completes whatever is still outstanding.
    smpp::SMPPServerAsyncEntry e2;
    ASSERT_EQ(smpp::SMPPServerSubmitMessageNew(s.fd(), nullptr, "acct", "1", "2", 0, 0, "", "z", 0,
                                               0, "", "", "", &e2),
              0u);
    client.s.close();
    start = platform::monotonic_ms();
    while (!end && platform::monotonic_ms() - start < 3000)
        smpp::SMPPServerYield(s.fd(), nullptr, 0, acct, &end);
    EXPECT_EQ(end, 1);
    EXPECT_TRUE(e2.completed);
    EXPECT_GE(e2.status.load(), 0xFFFF0000u);
    EXPECT_EQ(smpp::SMPPCheckLinkStatus(s.fd(), nullptr, "acct"), 0);
    smpp::SMPPReleaseSession(s.fd());
    smpp::SMPPServerSetOptions(smpp::ServerOptions{});
}

TEST(SmppSession, ServerAnswersBadClientRequests) {
    Received rx;
    install_server_receiver(rx);
    std::atomic<int> activity{0}, terminate{0};
    smpp::SMPPServerSetActivityCallback([&](int, int t) {
        if (t)
            ++terminate;
        else
            ++activity;
    });
    Listener l;
    RawPeer client;
    client.s = platform::tcp_connect("127.0.0.1", l.port, 2000);
    platform::Socket s = platform::tcp_accept(l.sock, 2000);
    std::string acct, pw;
    uint32_t seq = 0;
    int kind = 0, ver = 0, end = 0;

    // Before any bind: enquire_link is answered, a submit is refused.
    Pdu el;
    el.command_id = smpp::ENQUIRE_LINK;
    el.sequence = 5;
    client.send(el);
    Pdu sub;
    sub.command_id = smpp::SUBMIT_SM;
    sub.sequence = 6;
    sub.short_message = "x";
    client.send(sub);
    Pdu bind;
    bind.command_id = smpp::BIND_RECEIVER;
    bind.sequence = 7;
    bind.system_id = "acct";
    bind.password = "pw";
    bind.interface_version = 0x50;
    client.send(bind);
    client.send(sub);  // arrives right behind the bind: served once bound
    ASSERT_EQ(smpp::SMPPServerWaitForLogin(s.fd(), nullptr, 2, acct, pw, seq, kind, ver), 1);
    EXPECT_EQ(acct, "acct");
    EXPECT_EQ(pw, "pw");
    EXPECT_EQ(seq, 7u);
    EXPECT_EQ(ver, 0x50);
    Pdu r;
    ASSERT_TRUE(client.recv(r));
    EXPECT_EQ(r.command_id, smpp::ENQUIRE_LINK_RESP);
    EXPECT_EQ(r.sequence, 5u);
    ASSERT_TRUE(client.recv(r));
    EXPECT_EQ(r.command_id, smpp::GENERIC_NACK);
    EXPECT_EQ(r.command_status, smpp::ESME_RINVBNDSTS);
    EXPECT_EQ(r.sequence, 6u);

    smpp::SMPPServerAcceptLogin(s.fd(), nullptr, seq, kind, ver);
    ASSERT_TRUE(client.recv(r));
    EXPECT_EQ(r.command_id, smpp::BIND_RECEIVER_RESP);
    ASSERT_NE(r.find_tlv(smpp::TAG_SC_INTERFACE_VERSION), nullptr);
    EXPECT_EQ(r.find_tlv(smpp::TAG_SC_INTERFACE_VERSION)->value, "\x34");

    smpp::SMPPServerYield(s.fd(), nullptr, 0, acct, &end);
    ASSERT_TRUE(client.recv(r));
    EXPECT_EQ(r.command_id, smpp::SUBMIT_SM_RESP);  // a receiver may not submit
    EXPECT_EQ(r.command_status, smpp::ESME_RINVBNDSTS);
    EXPECT_EQ(rx.size(), 0u);

    // A second bind, an unknown command, a PDU whose lengths disagree.
    client.send(bind);
    std::string bad = smpp::encode_pdu(sub);
    bad[bad.size() - 2] = '\x09';  // sm_length past the end
    client.send_raw(bad);
    client.send_raw(
        std::string("\x00\x00\x00\x10\x00\x00\x00\x77\x00\x00\x00\x00\x00\x00\x00\x09", 16));
    for (int i = 0; i < 5; ++i) smpp::SMPPServerYield(s.fd(), nullptr, 0, acct, &end);
    ASSERT_TRUE(client.recv(r));
    EXPECT_EQ(r.command_id, smpp::BIND_RECEIVER_RESP);
    EXPECT_EQ(r.command_status, smpp::ESME_RALYBND);
    ASSERT_TRUE(client.recv(r));
    EXPECT_EQ(r.command_id, smpp::GENERIC_NACK);
    EXPECT_EQ(r.command_status, smpp::ESME_RINVMSGLEN);
    EXPECT_EQ(r.sequence, 6u);
    ASSERT_TRUE(client.recv(r));
    EXPECT_EQ(r.command_id, smpp::GENERIC_NACK);
    EXPECT_EQ(r.command_status, smpp::ESME_RINVCMDID);
    EXPECT_EQ(r.sequence, 9u);
    EXPECT_EQ(end, 0);
    EXPECT_GE(activity.load(), 6);

    // A length above 64 KiB ends the session.
    client.send_raw(
        std::string("\x00\x01\x00\x01\x00\x00\x00\x04\x00\x00\x00\x00\x00\x00\x00\x0A", 16));
    for (int i = 0; i < 5 && !end; ++i) smpp::SMPPServerYield(s.fd(), nullptr, 0, acct, &end);
    EXPECT_EQ(end, 1);
    EXPECT_EQ(terminate.load(), 1);
    ASSERT_TRUE(client.recv(r));
    EXPECT_EQ(r.command_id, smpp::GENERIC_NACK);
    EXPECT_EQ(r.command_status, smpp::ESME_RINVCMDLEN);
    EXPECT_TRUE(client.sees_close());
    smpp::SMPPReleaseSession(s.fd());
    smpp::SMPPServerSetActivityCallback(nullptr);
}

// ---- client against a scripted peer ----------------------------------------------

TEST(SmppSession, ResponsesMatchBySequenceInAnyOrder) {
    ClientWithRawPeer c;
    EXPECT_EQ(c.bind.command_id, smpp::BIND_TRANSMITTER);
    EXPECT_EQ(c.bind.system_id, "user");
    EXPECT_EQ(c.bind.password, "pw");
    EXPECT_EQ(c.bind.system_type, "st");
    EXPECT_EQ(c.bind.interface_version, 0x34);
    std::vector<smpp::SMPPAsyncSubmit> recs(8);
    for (size_t i = 0; i < recs.size(); ++i) {
        std::string id;
        ASSERT_EQ(smpp::SMPPSubmitMessageAsync(c.client.fd(), nullptr, kLink, 0x34, "1", "2", 0, 0,
                                               "", std::to_string(i), 0, 0, id, "", "", &recs[i]),
                  0u);
    }
    std::vector<Pdu> reqs(recs.size());
    for (auto& p : reqs) ASSERT_TRUE(c.peer.recv(p));
    // Answer backwards, the odd ones refused.
    for (size_t i = reqs.size(); i-- > 0;)
        c.peer.answer(reqs[i], i % 2 ? 0x14 : 0, i % 2 ? "" : "S" + reqs[i].short_message);
    ASSERT_TRUE(yield_until(c.client.fd(), [&] {
        for (auto& r : recs)
            if (!r.response_received) return false;
        return true;
    }));
    for (size_t i = 0; i < recs.size(); ++i) {
        EXPECT_EQ(recs[i].status.load(), i % 2 ? 0x14u : 0u) << i;
        EXPECT_EQ(recs[i].smsc_message_id, i % 2 ? "" : "S" + std::to_string(i)) << i;
        EXPECT_EQ(recs[i].sequence, reqs[i].sequence);
    }
    // A generic_nack answers a request too.
    smpp::SMPPAsyncSubmit nacked;
    std::string id;
    ASSERT_EQ(smpp::SMPPSubmitMessageAsync(c.client.fd(), nullptr, kLink, 0x34, "1", "2", 0, 0, "",
                                           "n", 0, 0, id, "", "", &nacked),
              0u);
    Pdu p;
    ASSERT_TRUE(c.peer.recv(p));
    Pdu nack;
    nack.command_id = smpp::GENERIC_NACK;
    nack.command_status = smpp::ESME_RINVCMDID;
    nack.sequence = p.sequence;
    c.peer.send(nack);
    ASSERT_TRUE(yield_until(c.client.fd(), [&] { return nacked.response_received.load(); }));
    EXPECT_EQ(nacked.status.load(), smpp::ESME_RINVCMDID);
}

TEST(SmppSession, SilentPeerBreaksTheLinkAfterCommandTimeout) {
    ClientWithRawPeer c(2, 1);
    uint64_t start = platform::monotonic_ms();
    EXPECT_EQ(submit(c.client.fd(), "x"), smpp::SMPP_ERR_TIMEOUT);
    EXPECT_GE(platform::monotonic_ms() - start, 900u);
    EXPECT_LT(platform::monotonic_ms() - start, 3000u);
    EXPECT_EQ(smpp::SMPPCheckLinkStatus(c.client.fd(), nullptr, kLink), 0);

    ClientWithRawPeer d(2, 1);
    smpp::SMPPAsyncSubmit rec;
    std::string id;
    ASSERT_EQ(smpp::SMPPSubmitMessageAsync(d.client.fd(), nullptr, kLink, 0x34, "1", "2", 0, 0, "",
                                           "x", 0, 0, id, "", "", &rec),
              0u);
    int err = 0;
    start = platform::monotonic_ms();
    while (!err && platform::monotonic_ms() - start < 3000)
        smpp::SMPPYield(d.client.fd(), nullptr, kLink, 0x34, 0, &err);
    EXPECT_EQ(err, 1);
    EXPECT_FALSE(rec.response_received);  // stays pending until the session ends
    EXPECT_EQ(smpp::SMPPCheckLinkStatus(d.client.fd(), nullptr, kLink), 0);

    ClientWithRawPeer e(2, 1);
    EXPECT_EQ(smpp::SMPPEnquireLink(e.client.fd(), nullptr, kLink, 0x34), smpp::SMPP_ERR_TIMEOUT);
    EXPECT_EQ(smpp::SMPPCheckLinkStatus(e.client.fd(), nullptr, kLink), 0);
}

TEST(SmppSession, PeerEnquireLinkAndUnbindAreAnswered) {
    ClientWithRawPeer c(9);
    Pdu el;
    el.command_id = smpp::ENQUIRE_LINK;
    el.sequence = 77;
    c.peer.send(el);
    Pdu alert;
    alert.command_id = smpp::ALERT_NOTIFICATION;
    alert.sequence = 78;
    alert.source_addr = "1";
    alert.dest_addr = "2";
    c.peer.send(alert);  // accepted and ignored: no answer
    int err = 0;
    Pdu r;
    std::thread t([&] { c.peer.recv(r); });
    smpp::SMPPYield(c.client.fd(), nullptr, kLink, 0x34, 1, &err);
    t.join();
    EXPECT_EQ(err, 0);
    EXPECT_EQ(r.command_id, smpp::ENQUIRE_LINK_RESP);
    EXPECT_EQ(r.sequence, 77u);

    Pdu ub;
    ub.command_id = smpp::UNBIND;
    ub.sequence = 79;
    c.peer.send(ub);
    smpp::SMPPYield(c.client.fd(), nullptr, kLink, 0x34, 1, &err);
    ASSERT_TRUE(c.peer.recv(r));
    EXPECT_EQ(r.command_id, smpp::UNBIND_RESP);
    EXPECT_EQ(r.sequence, 79u);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(smpp::SMPPCheckLinkStatus(c.client.fd(), nullptr, kLink), 0);
    EXPECT_EQ(submit(c.client.fd(), "x"), smpp::SMPP_ERR_CONNECTION);
}

TEST(SmppSession, GarbageFromThePeer) {
    struct Case {
        const char* name;
        std::string bytes;
        uint32_t nack_status;
        uint32_t nack_seq;
        bool closes;
    } cases[] = {
        {"command_length below a header",
         std::string("\x00\x00\x00\x08\x00\x00\x00\x05\x00\x00\x00\x00\x00\x00\x00\x03", 16),
         smpp::ESME_RINVCMDLEN, 3, true},
        {"command_length above 64 KiB",
         std::string("\x00\x10\x00\x00\x00\x00\x00\x05\x00\x00\x00\x00\x00\x00\x00\x04", 16),
         smpp::ESME_RINVCMDLEN, 4, true},
        {"unknown command",
         std::string("\x00\x00\x00\x10\x00\x00\x01\x99\x00\x00\x00\x00\x00\x00\x00\x05", 16),
         smpp::ESME_RINVCMDID, 5, false},
        {"deliver_sm cut short",
         std::string(
             "\x00\x00\x00\x14\x00\x00\x00\x05\x00\x00\x00\x00\x00\x00\x00\x06\x00\x01\x01\x31",
             20),
         smpp::ESME_RINVCMDLEN, 6, false},
        {"bind sent to a client",
         std::string("\x00\x00\x00\x10\x00\x00\x00\x02\x00\x00\x00\x00\x00\x00\x00\x07", 16),
         smpp::ESME_RINVCMDLEN, 7, false},
    };
    for (const auto& cs : cases) {
        ClientWithRawPeer c;
        c.peer.send_raw(cs.bytes);
        int err = 0;
        smpp::SMPPYield(c.client.fd(), nullptr, kLink, 0x34, 1, &err);
        Pdu r;
        ASSERT_TRUE(c.peer.recv(r)) << cs.name;
        EXPECT_EQ(r.command_id, smpp::GENERIC_NACK) << cs.name;
        EXPECT_EQ(r.command_status, cs.nack_status) << cs.name;
        EXPECT_EQ(r.sequence, cs.nack_seq) << cs.name;
        EXPECT_EQ(err != 0, cs.closes) << cs.name;
        if (cs.closes) {
            EXPECT_TRUE(c.peer.sees_close()) << cs.name;
        } else {
            std::thread t([&] {
                Pdu q;
                if (c.peer.recv(q)) c.peer.answer(q);
            });
            EXPECT_EQ(smpp::SMPPEnquireLink(c.client.fd(), nullptr, kLink, 0x34), 0u) << cs.name;
            t.join();
        }
    }
}

TEST(SmppSession, DeliveriesQueuedForTheAsyncReceiveThreads) {
    Received rx;
    install_client_receiver(rx, 0x64);
    ClientWithRawPeer c(1, 120, true);
    EXPECT_EQ(c.bind.command_id, smpp::BIND_RECEIVER);
    Pdu d;
    d.command_id = smpp::DELIVER_SM;
    d.sequence = 41;
    d.source_addr = "1";
    d.dest_addr = "2";
    d.short_message = "queued";
    c.peer.send(d);
    int err = 0;
    smpp::SMPPYield(c.client.fd(), nullptr, kLink, 0x34, 1, &err);
    Pdu r;
    EXPECT_FALSE(c.peer.recv(r, 200)) << "answered only once the message was taken";
    EXPECT_EQ(rx.size(), 0u);
    smpp::SMPPReceiveFromAsyncQ(kLink);
    ASSERT_EQ(rx.size(), 1u);
    EXPECT_EQ(rx.items[0][6], "queued");
    ASSERT_TRUE(c.peer.recv(r));
    EXPECT_EQ(r.command_id, smpp::DELIVER_SM_RESP);
    EXPECT_EQ(r.command_status, 0x64u);
    EXPECT_EQ(r.sequence, 41u);
    smpp::SMPPReceiveFromAsyncQ(kLink);  // nothing left
    EXPECT_EQ(rx.size(), 1u);
}

TEST(SmppSession, DataSmIsAnsweredAndDeliveredLikeDeliverSm) {
    Received rx;
    install_client_receiver(rx);
    ClientWithRawPeer c(9);
    Pdu d;
    d.command_id = smpp::DATA_SM;
    d.sequence = 50;
    d.source_addr_ton = 1;
    d.source_addr = "4477";
    d.dest_addr = "2";
    d.set_tlv(smpp::TAG_MESSAGE_PAYLOAD, "payload text");
    c.peer.send(d);
    int err = 0;
    smpp::SMPPYield(c.client.fd(), nullptr, kLink, 0x34, 1, &err);
    Pdu r;
    ASSERT_TRUE(c.peer.recv(r));
    EXPECT_EQ(r.command_id, smpp::DATA_SM_RESP);
    EXPECT_EQ(r.command_status, 0u);
    ASSERT_EQ(rx.size(), 1u);
    EXPECT_EQ(rx.items[0][1], "+4477");
    EXPECT_EQ(rx.items[0][6], "payload text");
}

// ---- TLS -----------------------------------------------------------------------------

TEST(SmppSession, BindAndSubmitOverTls) {
    char tmpl[] = "/tmp/smpp-tls-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    ::setenv("SMSGW_HOME", tmpl, 1);
    support::reset_support_for_tests();
    ASSERT_NE(support::sslInitLib(), 0);
    ASSERT_NE(support::sslGenerateCertificate("localhost", support::CertKeyType::EcP256), 0);

    Received rx;
    install_server_receiver(rx);
    Listener l;
    std::thread srv([&] {
        platform::Socket s = platform::tcp_accept(l.sock, 5000);
        std::string err;
        support::SslSessionPtr tls = support::sslAcceptSession(s.fd(), err);
        if (!tls) return;
        std::string acct, pw;
        uint32_t seq = 0;
        int kind = 0, ver = 0, end = 0;
        if (!smpp::SMPPServerWaitForLogin(s.fd(), tls.get(), 5, acct, pw, seq, kind, ver)) return;
        smpp::SMPPServerAcceptLogin(s.fd(), tls.get(), seq, kind, ver);
        uint64_t start = platform::monotonic_ms();
        while (!end && platform::monotonic_ms() - start < 10000)
            smpp::SMPPServerYield(s.fd(), tls.get(), 0, acct, &end);
        smpp::SMPPReleaseSession(s.fd());
        support::sslFreeSession(tls);
    });
    platform::Socket cl = new_socket();
    ASSERT_EQ(smpp::SMPPConnect(cl.fd(), kLink, "127.0.0.1", l.port), 0u);
    std::string err;
    support::SslSessionPtr tls = support::sslInitSession(cl.fd(), err);
    ASSERT_TRUE(tls) << err;
    ASSERT_EQ(smpp::SMPPBind(cl.fd(), tls.get(), kLink, 0x34, 2, "acct", "pw", ""), 0u);
    std::string id;
    std::string mid;
    ASSERT_EQ(smpp::SMPPSubmitMessage(cl.fd(), tls.get(), kLink, 0x34, "1", "2", 0, 0, "",
                                      "over tls", 0, 0, mid, "", ""),
              0u);
    EXPECT_EQ(mid, "ID-over tls");
    smpp::SMPPUnbind(cl.fd(), tls.get(), kLink, 0x34);
    srv.join();
    support::sslFreeSession(tls);
    std::string cmd = std::string("rm -rf ") + tmpl;
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}

// ---- ill-formed input with a sound header --------------------------------------------

namespace {

// A PDU on the wire: header, body, the length filled in.
std::string raw_pdu(uint32_t id, uint32_t status, uint32_t seq, const std::string& body) {
    std::string w(16, '\0');
    uint32_t f[4] = {uint32_t(16 + body.size()), id, status, seq};
    for (int k = 0; k < 4; ++k)
        for (int i = 0; i < 4; ++i) w[size_t(4 * k + i)] = char((f[k] >> (24 - 8 * i)) & 0xFF);
    return w + body;
}

// The encoding of p with extra octets after its optional parameters.
std::string with_tail(const Pdu& p, const std::string& tail) {
    std::string body = smpp::encode_pdu(p).substr(16) + tail;
    return raw_pdu(p.command_id, p.command_status, p.sequence, body);
}

std::string tlv(uint16_t tag, const std::string& value, int len = -1) {
    size_t n = len < 0 ? value.size() : size_t(len);
    return std::string{char(tag >> 8), char(tag & 0xFF), char(n >> 8), char(n & 0xFF)} + value;
}

}  // namespace

TEST(SmppSession, IllFormedOptionalParametersInADeliveryAreAnsweredByItsResponse) {
    struct Case {
        const char* name;
        std::string tail;  // after the receipt's own parameters
        uint32_t resp_status;
        bool delivered;
    } cases[] = {
        {"message_state of two octets", tlv(smpp::TAG_MESSAGE_STATE, std::string("\x00\x02", 2)), 0,
         true},
        {"sar_msg_ref_num of one octet", tlv(smpp::TAG_SAR_MSG_REF_NUM, "\x05"), 0, true},
        {"sc_interface_version empty", tlv(smpp::TAG_SC_INTERFACE_VERSION, ""), 0, true},
        {"receipted_message_id over its size",
         tlv(smpp::TAG_RECEIPTED_MESSAGE_ID, std::string(80, 'X') + '\0'), 0, true},
        {"parameter running past the PDU", tlv(smpp::TAG_MESSAGE_STATE, "\x02", 4),
         smpp::ESME_RINVOPTPARSTREAM, false},
        {"parameter header cut", std::string("\x04", 1), smpp::ESME_RINVOPTPARSTREAM, false},
    };
    for (const auto& cs : cases) {
        Received rx;
        install_client_receiver(rx);
        ClientWithRawPeer c(1);
        Pdu d = smpp_test::deliver_sm(60, 0x04,
                                      "id:AB12 sub:001 dlvrd:001 submit date:1306011200 done "
                                      "date:1306011201 stat:DELIVRD err:000 text:");
        d.set_tlv(smpp::TAG_RECEIPTED_MESSAGE_ID, std::string("AB12\0", 5));
        c.peer.send_raw(with_tail(d, cs.tail));
        int err = 0;
        smpp::SMPPYield(c.client.fd(), nullptr, kLink, 0x34, 1, &err);
        Pdu r;
        ASSERT_TRUE(c.peer.recv(r)) << cs.name;
        EXPECT_EQ(r.command_id, smpp::DELIVER_SM_RESP) << cs.name;
        EXPECT_EQ(r.command_status, cs.resp_status) << cs.name;
        EXPECT_EQ(r.sequence, 60u) << cs.name;
        EXPECT_EQ(err, 0) << cs.name;
        ASSERT_EQ(rx.size(), cs.delivered ? 1u : 0u) << cs.name;
        if (cs.delivered) {
            EXPECT_EQ(rx.items[0][7], "12") << cs.name;  // receipt, delivered
            EXPECT_EQ(rx.items[0][9], "AB12") << cs.name;
        }
    }
    smpp::SMPPSetReceiveMessageCallback(nullptr);
}

TEST(SmppSession, AcceptanceWithIllFormedOptionalPartStaysAccepted) {
    struct Case {
        const char* name;
        uint32_t status;
        std::string body;
        uint32_t want;
        const char* want_id;
    } cases[] = {
        {"message_state of two octets", 0, std::string("M1\0", 3) + tlv(0x0427, "ab"), 0, "M1"},
        {"parameter running past the PDU", 0, std::string("M1\0", 3) + tlv(0x0427, "", 9), 0, "M1"},
        {"refusal with a broken parameter stream", 0x14, std::string("\0\x04", 2), 0x14, ""},
        {"message id over its size", 0, std::string(70, 'M') + '\0', 0, ""},
    };
    for (const auto& cs : cases) {
        ClientWithRawPeer c;
        std::thread t([&] {
            Pdu q;
            if (c.peer.recv(q))
                c.peer.send_raw(raw_pdu(smpp::SUBMIT_SM_RESP, cs.status, q.sequence, cs.body));
        });
        std::string id;
        EXPECT_EQ(submit(c.client.fd(), "x", &id), cs.want) << cs.name;
        EXPECT_EQ(id, cs.want_id) << cs.name;
        t.join();
    }
}

TEST(SmppSession, OverlongFieldsAreAnsweredWithTheFieldStatus) {
    struct Case {
        std::string Pdu::*field;
        size_t len;
        uint32_t status;
    } cases[] = {
        {&Pdu::source_addr, 30000, smpp::ESME_RINVSRCADR},
        {&Pdu::dest_addr, 21, smpp::ESME_RINVDSTADR},
        {&Pdu::service_type, 6, smpp::ESME_RINVSERTYP},
        {&Pdu::validity_period, 17, smpp::ESME_RINVEXPIRY},
    };
    for (const auto& cs : cases) {
        Received rx;
        install_client_receiver(rx);
        ClientWithRawPeer c(1);
        Pdu d = smpp_test::deliver_sm(61, 0, "text");
        d.*cs.field = std::string(cs.len, '1');
        std::string w = smpp::encode_pdu(d);  // cut at the field size: put the long value back
        Pdu cut;
        smpp::decode_pdu({reinterpret_cast<const uint8_t*>(w.data()), w.size()}, cut);
        size_t at = w.find(cut.*cs.field + '\0');
        ASSERT_NE(at, std::string::npos);
        w.replace(at, (cut.*cs.field).size(), d.*cs.field);
        c.peer.send_raw(raw_pdu(smpp::DELIVER_SM, 0, 61, w.substr(16)));
        int err = 0;
        smpp::SMPPYield(c.client.fd(), nullptr, kLink, 0x34, 1, &err);
        Pdu r;
        ASSERT_TRUE(c.peer.recv(r)) << cs.status;
        EXPECT_EQ(r.command_id, smpp::DELIVER_SM_RESP);
        EXPECT_EQ(r.command_status, cs.status);
        EXPECT_EQ(rx.size(), 0u);
    }
    smpp::SMPPSetReceiveMessageCallback(nullptr);

    // A bind to the server with a system_id over its size.
    Listener l;
    RawPeer client;
    client.s = platform::tcp_connect("127.0.0.1", l.port, 2000);
    platform::Socket s = platform::tcp_accept(l.sock, 2000);
    client.send_raw(raw_pdu(smpp::BIND_TRANSMITTER, 0, 8,
                            std::string(40, 'a') + std::string("\0pw\0\0\x34\0\0\0", 9)));
    std::string acct, pw;
    uint32_t seq = 0;
    int kind = 0, ver = 0;
    EXPECT_EQ(smpp::SMPPServerWaitForLogin(s.fd(), nullptr, 1, acct, pw, seq, kind, ver), 0);
    Pdu r;
    ASSERT_TRUE(client.recv(r));
    EXPECT_EQ(r.command_id, smpp::BIND_TRANSMITTER_RESP);
    EXPECT_EQ(r.command_status, smpp::ESME_RINVSYSID);
    EXPECT_EQ(r.sequence, 8u);
    smpp::SMPPReleaseSession(s.fd());
}

// ---- 7-bit data --------------------------------------------------------------------

TEST(SmppSession, PackedSevenBitDataTravelsOneSeptetPerOctet) {
    namespace cs = radio::charset;
    const char* text = "\xC5\x9Ei\xC5\x9Fli";  // Turkish, needs a national table
    std::string septets, shift_udh;
    ASSERT_NE(cs::UTF8ToShiftTableString(1, text, septets), 0);
    cs::ShiftTableEncoding enc;
    ASSERT_NE(cs::encode_with_shift_tables(text, "1", "", enc), 0);
    ASSERT_TRUE(smpp::from_hex(enc.udh_hex, shift_udh));
    struct Case {
        std::string udh_hex, packed_hex, want;
    } cases[] = {
        {"050003A70201", "906536FB0D", std::string("\x05\x00\x03\xA7\x02\x01", 6) + "Hello"},
        {enc.udh_hex, enc.packed_hex, shift_udh + septets},
        {"", "C8329BFD06", "Hello"},
    };
    for (const auto& cs : cases) {
        ClientWithRawPeer c;
        Pdu q;
        std::thread t([&] {
            if (c.peer.recv(q)) c.peer.answer(q, 0, "M");
        });
        std::string id;
        EXPECT_EQ(smpp::SMPPSubmitMessage(c.client.fd(), nullptr, kLink, 0x34, "1", "2", 0, 0,
                                          cs.udh_hex, cs.packed_hex, 0, 1, id, "R", ""),
                  0u);
        t.join();
        EXPECT_EQ(smpp::to_hex(q.short_message), smpp::to_hex(cs.want)) << cs.packed_hex;
        EXPECT_EQ(q.data_coding, 0);
        EXPECT_EQ(q.esm_class & 0x40, cs.udh_hex.empty() ? 0 : 0x40);
    }

    // Received with the national table's header: decoded through that table.
    Received rx;
    install_client_receiver(rx);
    ClientWithRawPeer c(1);
    c.peer.send(smpp_test::deliver_sm(62, 0x40, shift_udh + septets));
    int err = 0;
    smpp::SMPPYield(c.client.fd(), nullptr, kLink, 0x34, 1, &err);
    Pdu r;
    ASSERT_TRUE(c.peer.recv(r));
    ASSERT_EQ(rx.size(), 1u);
    EXPECT_EQ(rx.items[0][5], platform::to_upper(enc.udh_hex));
    EXPECT_EQ(rx.items[0][6], text);
    smpp::SMPPSetReceiveMessageCallback(nullptr);
}

// ---- debug mode ----------------------------------------------------------------------

namespace {
std::mutex trace_mu;
std::vector<std::string> trace_lines;
void capture_trace(std::string_view name, std::string_view text) {
    std::lock_guard lk(trace_mu);
    trace_lines.push_back(std::string(name) + ": " + std::string(text));
}
}  // namespace

TEST(SmppSession, DebugModeSwitchesThePduTrace) {
    platform::set_trace_sink(capture_trace);
    ClientWithRawPeer c;
    for (int flag : {1, 0}) {
        smpp::SMPPSetDebugMode(flag);
        {
            std::lock_guard lk(trace_mu);
            trace_lines.clear();
        }
        Pdu el;
        el.command_id = smpp::ENQUIRE_LINK;
        el.sequence = 90;
        c.peer.send(el);
        int err = 0;
        smpp::SMPPYield(c.client.fd(), nullptr, kLink, 0x34, 1, &err);
        Pdu r;
        ASSERT_TRUE(c.peer.recv(r));
        std::lock_guard lk(trace_mu);
        bool traced = false;
        for (const std::string& l : trace_lines)
            if (l.find("recv enquire_link seq=90") != std::string::npos) traced = true;
        EXPECT_EQ(traced, flag == 1);
    }
    platform::set_trace_sink(nullptr);
}
