// Interoperability of the SMPP engine with an independent implementation,
// the npm package "smpp" run by Node.js: as SMSC for the client operations
// (smpp_smsc.js) and as ESME against the server operations (smpp_esme.js).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/node_peer.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/text.h"
#include "protocols/smpp/smpp.h"

namespace smpp = protocols::smpp;

namespace {

constexpr const char* kLink = "SMPP - npm";
using nodepeer::Event;
using nodepeer::NodePeer;

// ---- client side: the npm package as SMSC ------------------------------------------

struct Client {
    NodePeer smsc;
    platform::Socket sock{::socket(AF_INET, SOCK_STREAM, 0)};
    Event bind;

    // Connects and binds; false (with failures recorded) when that did not work.
    bool up(int mode, const char* password = "pw", unsigned timeout_s = 10,
            uint32_t* status = nullptr) {
        if (!smsc.start("smpp_smsc.js")) return false;
        Event l;
        if (!smsc.wait("listening", l)) {
            ADD_FAILURE() << "smsc did not start";
            return false;
        }
        smpp::LinkOptions opt;
        opt.command_timeout_s = timeout_s;
        opt.use_tlv = use_tlv;
        smpp::SMPPSetLinkOptions(kLink, opt);
        if (smpp::SMPPConnect(sock.fd(), kLink, "127.0.0.1", unsigned(std::stoul(l["port"]))) !=
            0) {
            ADD_FAILURE() << "connect";
            return false;
        }
        uint32_t st =
            smpp::SMPPBind(sock.fd(), nullptr, kLink, 0x34, mode, "gateway", password, "GW");
        if (status) *status = st;
        smsc.wait("bind", bind);
        return st == 0;
    }
    void yield() {
        int err = 0;
        smpp::SMPPYield(sock.fd(), nullptr, kLink, 0x34, 0, &err);
    }
    uint32_t submit(std::string_view recipient, std::string_view text, std::string* id = nullptr,
                    std::string_view udh = "", int flags = 0, std::string_view options = "",
                    int dcs = 0, int binary = 0) {
        std::string mid;
        uint32_t st =
            smpp::SMPPSubmitMessage(sock.fd(), nullptr, kLink, 0x34, "+447700900001", recipient, 0,
                                    dcs, udh, text, flags, binary, mid, "REF", options);
        if (id) *id = mid;
        return st;
    }
    ~Client() { smpp::SMPPReleaseSession(sock.fd()); }
    bool use_tlv = false;
};

}  // namespace

TEST(SmppInteropClient, BindsInAllThreeModes) {
    struct Case {
        int mode;
        const char* command;
    } cases[] = {{1, "bind_receiver"}, {2, "bind_transmitter"}, {9, "bind_transceiver"}};
    for (const auto& c : cases) {
        Client cl;
        ASSERT_TRUE(cl.up(c.mode)) << c.command;
        EXPECT_EQ(cl.bind.name, "bind");
        EXPECT_EQ(cl.bind["command"], c.command);
        EXPECT_EQ(cl.bind["system_id"], "gateway");
        EXPECT_EQ(cl.bind["password"], "pw");
        EXPECT_EQ(cl.bind["system_type"], "GW");
        EXPECT_EQ(cl.bind["interface_version"], "52");  // 0x34
        EXPECT_NE(smpp::SMPPCheckLinkStatus(cl.sock.fd(), nullptr, kLink), 0);
        smpp::SMPPUnbind(cl.sock.fd(), nullptr, kLink, 0x34);
        Event e;
        EXPECT_TRUE(cl.smsc.wait("unbind", e)) << c.command;
    }
    Client bad;
    uint32_t st = 0;
    EXPECT_FALSE(bad.up(2, "bad", 10, &st));
    EXPECT_EQ(st, 0x0Eu);
}

TEST(SmppInteropClient, SynchronousSubmitsCarryTheFields) {
    Client cl;
    ASSERT_TRUE(cl.up(2));
    std::string id;
    ASSERT_EQ(cl.submit("447700900002", "Hello @", &id, "", 0x02,
                        "ServiceType=CMT; Validity=60; user_message_reference=42"),
              0u);
    Event e;
    ASSERT_TRUE(cl.smsc.wait("submit_sm", e));
    EXPECT_EQ(e["short_message"], "48656C6C6F2000");  // GSM: "@" is septet 0
    EXPECT_EQ(id, "M-48656C6C6F2000");
    EXPECT_EQ(e["source_addr_ton"], "1");
    EXPECT_EQ(e["source_addr_npi"], "1");
    EXPECT_EQ(e["source_addr"], "447700900001");
    EXPECT_EQ(e["destination_addr"], "447700900002");
    EXPECT_EQ(e["registered_delivery"], "1");
    EXPECT_EQ(e["service_type"], "CMT");
    EXPECT_EQ(e["validity_period"], "000000010000000R");
    EXPECT_EQ(e["user_message_reference"], "42");
    EXPECT_EQ(e["data_coding"], "0");

    // UCS-2 with a character outside the basic plane, and a UDH.
    ASSERT_EQ(cl.submit("2", "\xF0\x9F\x98\x80", &id, "050003010201", 0, "", 8), 0u);
    ASSERT_TRUE(cl.smsc.wait("submit_sm", e));
    EXPECT_EQ(e["data_coding"], "8");
    EXPECT_EQ(e["esm_class"], "64");
    EXPECT_EQ(e["short_message"], "050003010201D83DDE00");

    // Binary data.
    ASSERT_EQ(cl.submit("2", "0B0C0D", &id, "", 0, "", 0xF5, 1), 0u);
    ASSERT_TRUE(cl.smsc.wait("submit_sm", e));
    EXPECT_EQ(e["short_message"], "0B0C0D");
    EXPECT_EQ(e["data_coding"], "245");

    // Over 254 octets: message_payload.
    std::string long_text(300, 'x');
    ASSERT_EQ(cl.submit("2", long_text, &id), 0u);
    ASSERT_TRUE(cl.smsc.wait("submit_sm", e));
    EXPECT_EQ(e["short_message"], "");
    EXPECT_EQ(e["message_payload"].size(), 600u);
    smpp::SMPPUnbind(cl.sock.fd(), nullptr, kLink, 0x34);
}

TEST(SmppInteropClient, SegmentsAsOptionalParametersWithUseTLV) {
    Client cl;
    cl.use_tlv = true;
    ASSERT_TRUE(cl.up(2));
    ASSERT_EQ(cl.submit("2", "part", nullptr, "0B0003A7030205040B8423F0"), 0u);
    Event e;
    ASSERT_TRUE(cl.smsc.wait("submit_sm", e));
    EXPECT_EQ(e["sar_msg_ref_num"], "167");
    EXPECT_EQ(e["sar_total_segments"], "3");
    EXPECT_EQ(e["sar_segment_seqnum"], "2");
    EXPECT_EQ(e["destination_port"], "2948");
    EXPECT_EQ(e["source_port"], "9200");
    EXPECT_EQ(e["esm_class"], "0");
    EXPECT_EQ(e["short_message"], "70617274");
}

TEST(SmppInteropClient, WindowedSubmitsAnsweredInReverse) {
    Client cl;
    ASSERT_TRUE(cl.up(2));
    constexpr int N = 50;
    std::vector<smpp::SMPPAsyncSubmit> recs(N);
    for (int i = 0; i < N; ++i) {
        std::string id, text = "w" + std::to_string(i);
        ASSERT_EQ(smpp::SMPPSubmitMessageAsync(cl.sock.fd(), nullptr, kLink, 0x34, "1", "hold50", 0,
                                               0, "", text, 0, 0, id, "", "", &recs[size_t(i)]),
                  0u);
    }
    uint64_t start = platform::monotonic_ms();
    auto done = [&] {
        for (auto& r : recs)
            if (!r.response_received) return false;
        return true;
    };
    while (!done() && platform::monotonic_ms() - start < 10000) cl.yield();
    ASSERT_TRUE(done());
    for (int i = 0; i < N; ++i) {
        std::string hex;
        for (char c : "w" + std::to_string(i)) hex += platform::strprintf("%02X", unsigned(c));
        EXPECT_EQ(recs[size_t(i)].status.load(), 0u);
        EXPECT_EQ(recs[size_t(i)].smsc_message_id, "M-" + hex) << i;
    }
}

TEST(SmppInteropClient, ThrottlingAndErrorStatuses) {
    Client cl;
    ASSERT_TRUE(cl.up(9));
    std::string id = "x";
    EXPECT_EQ(cl.submit("throttle", "a", &id), 0x58u);
    EXPECT_EQ(id, "");
    EXPECT_EQ(cl.submit("fail45", "a", &id), 0x45u);
    EXPECT_STREQ(smpp::SMPPErrorText(0x45), "ESME_RSUBMITFAIL - submit_sm or submit_multi failed");
    // The link survives both.
    EXPECT_EQ(cl.submit("1", "a", &id), 0u);
    EXPECT_EQ(smpp::SMPPEnquireLink(cl.sock.fd(), nullptr, kLink, 0x34), 0u);
}

TEST(SmppInteropClient, EnquireLinkBothWaysAndPeerUnbind) {
    Client cl;
    ASSERT_TRUE(cl.up(9));
    EXPECT_EQ(smpp::SMPPEnquireLink(cl.sock.fd(), nullptr, kLink, 0x34), 0u);
    Event e;
    EXPECT_TRUE(cl.smsc.wait("enquire_link", e));
    cl.smsc.send(R"({"cmd":"enquire"})");
    ASSERT_TRUE(cl.smsc.wait("enquire_resp", e, 5000, [&] { cl.yield(); }));
    EXPECT_EQ(e["status"], "0");

    cl.smsc.send(R"({"cmd":"unbind"})");
    ASSERT_TRUE(cl.smsc.wait("unbind_resp", e, 5000, [&] { cl.yield(); }));
    EXPECT_EQ(e["status"], "0");
    int err = 0;
    smpp::SMPPYield(cl.sock.fd(), nullptr, kLink, 0x34, 0, &err);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(smpp::SMPPCheckLinkStatus(cl.sock.fd(), nullptr, kLink), 0);
}

TEST(SmppInteropClient, DeliveriesOfMessagesAndReceipts) {
    std::mutex mu;
    std::vector<std::vector<std::string>> got;
    std::atomic<int> answer{0};
    smpp::SMPPSetReceiveMessageCallback(
        [&](std::string_view, std::string_view sender, std::string_view recip, int, int dcs,
            std::string_view udh, std::string_view msg, int flags, int binary, std::string_view id,
            std::string_view extra) {
            std::lock_guard lk(mu);
            got.push_back({std::string(sender), std::string(recip), std::to_string(dcs),
                           std::string(udh), std::string(msg), std::to_string(flags),
                           std::to_string(binary), std::string(id), std::string(extra)});
            return answer.load();
        });
    Client cl;
    ASSERT_TRUE(cl.up(9));
    cl.smsc.send(
        R"({"cmd":"deliver","tag":"text","source_addr_ton":1,"source_addr":"447700900009",)"
        R"("destination_addr":"12345","short_message":"0048692021","user_message_reference":7})");
    Event e;
    ASSERT_TRUE(cl.smsc.wait("deliver_resp", e, 5000, [&] { cl.yield(); }));
    EXPECT_EQ(e["status"], "0");
    cl.smsc.send(
        R"({"cmd":"deliver","tag":"ucs2","source_addr":"1","destination_addr":"2","data_coding":8,)"
        R"("short_message":"050003050201D83DDE00","esm_class":64})");
    ASSERT_TRUE(cl.smsc.wait("deliver_resp", e, 5000, [&] { cl.yield(); }));
    cl.smsc.send(
        R"({"cmd":"deliver","tag":"receipt","source_addr":"12345","destination_addr":"1","esm_class":4,)"
        R"("short_message":")" +
        smpp::to_hex("id:ABC-1 sub:001 dlvrd:001 stat:DELIVRD") +
        R"(","receipted_message_id":"ABC-1","message_state":2})");
    ASSERT_TRUE(cl.smsc.wait("deliver_resp", e, 5000, [&] { cl.yield(); }));
    cl.smsc.send(
        R"({"cmd":"deliver","tag":"failed","source_addr":"1","destination_addr":"1","esm_class":4,)"
        R"("short_message":")" +
        smpp::to_hex("id:99 stat:UNDELIV") + R"(","receipted_message_id":"99","message_state":5})");
    ASSERT_TRUE(cl.smsc.wait("deliver_resp", e, 5000, [&] { cl.yield(); }));
    answer = 0x64;
    cl.smsc.send(
        R"({"cmd":"deliver","tag":"refused","source_addr":"1","destination_addr":"2","short_message":"41"})");
    ASSERT_TRUE(cl.smsc.wait("deliver_resp", e, 5000, [&] { cl.yield(); }));
    EXPECT_EQ(e["status"], "100");

    std::lock_guard lk(mu);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0][0], "+447700900009");
    EXPECT_EQ(got[0][1], "12345");
    EXPECT_EQ(got[0][4], "@Hi !");
    EXPECT_EQ(got[0][5], "0");
    EXPECT_EQ(got[0][8], "SMPPOption_user_message_reference=7");
    EXPECT_EQ(got[1][2], "8");
    EXPECT_EQ(got[1][3], "050003050201");
    EXPECT_EQ(got[1][4], "\xF0\x9F\x98\x80");
    EXPECT_EQ(got[2][5], "12");  // receipt, delivered
    EXPECT_EQ(got[2][7], "ABC-1");
    EXPECT_EQ(got[2][4], "id:ABC-1 sub:001 dlvrd:001 stat:DELIVRD");
    EXPECT_EQ(got[3][5], "36");  // receipt, failed
    EXPECT_EQ(got[3][7], "99");
    EXPECT_EQ(got[4][4], "A");
}

TEST(SmppInteropClient, PeerThatStopsAnswering) {
    Client cl;
    ASSERT_TRUE(cl.up(2, "pw", 1));
    uint64_t start = platform::monotonic_ms();
    EXPECT_EQ(cl.submit("silent", "a"), smpp::SMPP_ERR_TIMEOUT);
    EXPECT_GE(platform::monotonic_ms() - start, 900u);
    EXPECT_EQ(smpp::SMPPCheckLinkStatus(cl.sock.fd(), nullptr, kLink), 0);
}

// ---- server side: the npm package as ESME -------------------------------------------

namespace {

struct ServerSide {
    platform::Socket listener;
    uint16_t port = 0;
    std::thread th;
    std::atomic<bool> stop{false};
    std::function<void(int)> work;  // on the session thread once bound
    std::atomic<int> kind{0}, version{0};
    std::atomic<bool> rejected{false};

    ServerSide() { listener = platform::tcp_listen("127.0.0.1", 0, 16, &port); }
    void start() {
        th = std::thread([this] {
            platform::Socket s = platform::tcp_accept(listener, 10000);
            if (!s) return;
            std::string acct, pw;
            uint32_t seq = 0;
            int k = 0, v = 0, end = 0;
            if (!smpp::SMPPServerWaitForLogin(s.fd(), nullptr, 10, acct, pw, seq, k, v)) return;
            kind = k;
            version = v;
            if (pw != "secret") {
                rejected = true;
                smpp::SMPPServerRejectLogin(s.fd(), nullptr, seq, k, 0x0E);
                smpp::SMPPReleaseSession(s.fd());
                return;
            }
            smpp::SMPPServerAcceptLogin(s.fd(), nullptr, seq, k, v);
            if (work) work(s.fd());
            uint64_t t0 = platform::monotonic_ms();
            while (!stop && !end && platform::monotonic_ms() - t0 < 20000)
                smpp::SMPPServerYield(s.fd(), nullptr, 0, acct, &end);
            smpp::SMPPReleaseSession(s.fd());
        });
    }
    ~ServerSide() {
        stop = true;
        if (th.joinable()) th.join();
    }
};

}  // namespace

TEST(SmppInteropServer, BindAcceptedAndRejected) {
    {
        ServerSide srv;
        srv.start();
        NodePeer esme;
        ASSERT_TRUE(esme.start("smpp_esme.js", {std::to_string(srv.port)}));
        esme.send(R"({"cmd":"bind","mode":"transceiver","system_id":"acct","password":"secret"})");
        Event e;
        ASSERT_TRUE(esme.wait("bind_resp", e));
        EXPECT_EQ(e["status"], "0");
        EXPECT_EQ(e["system_id"], "SMSGW");
        EXPECT_EQ(e["sc_interface_version"], "52");
        EXPECT_EQ(srv.kind, 9);
        EXPECT_EQ(srv.version, 0x34);
        esme.send(R"({"cmd":"enquire"})");
        ASSERT_TRUE(esme.wait("enquire_resp", e));
        EXPECT_EQ(e["status"], "0");
        esme.send(R"({"cmd":"unbind"})");
        ASSERT_TRUE(esme.wait("unbind_resp", e));
        EXPECT_EQ(e["status"], "0");
    }
    {
        ServerSide srv;
        srv.start();
        NodePeer esme;
        ASSERT_TRUE(esme.start("smpp_esme.js", {std::to_string(srv.port)}));
        esme.send(R"({"cmd":"bind","mode":"transmitter","system_id":"acct","password":"wrong"})");
        Event e;
        ASSERT_TRUE(esme.wait("bind_resp", e));
        EXPECT_EQ(e["status"], "14");
        EXPECT_TRUE(srv.rejected);
        EXPECT_EQ(srv.kind, 2);
    }
}

TEST(SmppInteropServer, SubmissionsAnsweredWithIds) {
    std::mutex mu;
    std::vector<std::vector<std::string>> got;
    smpp::SMPPServerSetReceiveMessageCallback(
        [&](std::string_view addr, std::string_view acct, std::string_view sender,
            std::string_view recip, int pid, int dcs, std::string_view udh, std::string_view msg,
            int flags, int binary, std::string_view, std::string& id, std::string_view opts) {
            std::lock_guard lk(mu);
            got.push_back({std::string(addr), std::string(acct), std::string(sender),
                           std::string(recip), std::to_string(pid), std::to_string(dcs),
                           std::string(udh), std::string(msg), std::to_string(flags),
                           std::to_string(binary), std::string(opts)});
            if (recip == "refuse") return 0x58;
            id = "GW" + std::to_string(got.size());
            return 0;
        });
    ServerSide srv;
    srv.start();
    NodePeer esme;
    ASSERT_TRUE(esme.start("smpp_esme.js", {std::to_string(srv.port)}));
    esme.send(R"({"cmd":"bind","mode":"transmitter","system_id":"acct","password":"secret"})");
    Event e;
    ASSERT_TRUE(esme.wait("bind_resp", e));
    ASSERT_EQ(e["status"], "0");
    esme.send(R"({"cmd":"submit","tag":"a","source_addr_ton":1,"source_addr":"447700900123",)"
              R"("destination_addr":"447700900456","registered_delivery":1,"service_type":"CMT",)"
              R"("short_message":"48656C6C6F"})");
    ASSERT_TRUE(esme.wait("submit_resp", e));
    EXPECT_EQ(e["status"], "0");
    EXPECT_EQ(e["message_id"], "GW1");
    esme.send(R"({"cmd":"submit","tag":"b","destination_addr":"2","data_coding":8,"esm_class":64,)"
              R"("short_message":"0500030A0201041F04400438"})");
    ASSERT_TRUE(esme.wait("submit_resp", e));
    EXPECT_EQ(e["message_id"], "GW2");
    esme.send(R"({"cmd":"submit","tag":"c","destination_addr":"2","short_message":"41",)"
              R"("sar_msg_ref_num":300,"sar_total_segments":2,"sar_segment_seqnum":2})");
    ASSERT_TRUE(esme.wait("submit_resp", e));
    esme.send(R"({"cmd":"submit","tag":"d","destination_addr":"refuse","short_message":"41"})");
    ASSERT_TRUE(esme.wait("submit_resp", e));
    EXPECT_EQ(e["status"], "88");
    EXPECT_EQ(e["message_id"], "");

    std::lock_guard lk(mu);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0][0], "127.0.0.1");
    EXPECT_EQ(got[0][1], "acct");
    EXPECT_EQ(got[0][2], "+447700900123");
    EXPECT_EQ(got[0][3], "447700900456");
    EXPECT_EQ(got[0][7], "Hello");
    EXPECT_EQ(got[0][8], "2");
    EXPECT_EQ(got[0][10], "ServiceType=CMT");
    EXPECT_EQ(got[1][6], "0500030A0201");
    EXPECT_EQ(got[1][7], "\xD0\x9F\xD1\x80\xD0\xB8");  // "При"
    EXPECT_EQ(got[2][6], "060804012C0202");  // sar_* parameters become a 16-bit reference element
    EXPECT_EQ(got[2][7], "A");
}

TEST(SmppInteropServer, DeliveriesAnsweredAndWindowed) {
    smpp::ServerOptions so;
    so.command_timeout_s = 5;
    smpp::SMPPServerSetOptions(so);
    std::atomic<uint32_t> st_text{1}, st_receipt{1}, st_refused{1};
    std::vector<smpp::SMPPServerAsyncEntry> window(10);
    std::atomic<bool> window_sent{false};
    ServerSide srv;
    NodePeer esme;
    srv.work = [&](int fd) {
        st_text = smpp::SMPPServerSubmitMessage(fd, nullptr, "acct", "+447700900001", "12345", 0, 0,
                                                "", "Hi @", 0, 0, "", "G1", "");
        st_receipt =
            smpp::SMPPServerSubmitMessage(fd, nullptr, "acct", "12345", "+447700900001", 0, 0, "",
                                          "id:G0 sub:001 dlvrd:001 submit date:1306011200 done "
                                          "date:1306011201 stat:DELIVRD err:000 text:",
                                          0x0C, 0, "G0", "G2", "");
        esme.send(R"({"cmd":"deliver_status","status":102})");
        platform::sleep_ms(200);
        st_refused = smpp::SMPPServerSubmitMessage(fd, nullptr, "acct", "1", "2", 0, 0, "", "no", 0,
                                                   0, "", "G3", "");
        esme.send(R"({"cmd":"deliver_status","status":0})");
        esme.send(R"({"cmd":"hold"})");
        platform::sleep_ms(200);
        for (size_t i = 0; i < window.size(); ++i)
            smpp::SMPPServerSubmitMessageNew(fd, nullptr, "acct", "1", "2", 0, 0, "",
                                             "w" + std::to_string(i), 0, 0, "", "", "", &window[i]);
        window_sent = true;
    };
    srv.start();
    ASSERT_TRUE(esme.start("smpp_esme.js", {std::to_string(srv.port)}));
    esme.send(R"({"cmd":"bind","mode":"receiver","system_id":"acct","password":"secret"})");
    Event e;
    ASSERT_TRUE(esme.wait("bind_resp", e));
    ASSERT_EQ(e["status"], "0");
    ASSERT_TRUE(esme.wait("deliver_sm", e));
    EXPECT_EQ(e["source_addr_ton"], "1");
    EXPECT_EQ(e["source_addr"], "447700900001");
    EXPECT_EQ(e["destination_addr"], "12345");
    EXPECT_EQ(e["short_message"], "48692000");
    ASSERT_TRUE(esme.wait("deliver_sm", e));
    EXPECT_EQ(e["esm_class"], "4");
    EXPECT_EQ(e["receipted_message_id"], "G0");
    EXPECT_EQ(e["message_state"], "2");
    ASSERT_TRUE(esme.wait("deliver_sm", e));

    // Ten deliveries outstanding at once, all held by the client.
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(esme.wait("deliver_sm", e)) << i;
    uint64_t start = platform::monotonic_ms();
    while (!window_sent && platform::monotonic_ms() - start < 3000) platform::sleep_ms(5);
    for (auto& w : window) EXPECT_FALSE(w.completed.load());
    esme.send(R"({"cmd":"release"})");
    start = platform::monotonic_ms();
    auto all = [&] {
        for (auto& w : window)
            if (!w.completed) return false;
        return true;
    };
    while (!all() && platform::monotonic_ms() - start < 5000) platform::sleep_ms(5);
    ASSERT_TRUE(all());
    for (auto& w : window) EXPECT_EQ(w.status.load(), 0u);
    EXPECT_EQ(st_text.load(), 0u);
    EXPECT_EQ(st_receipt.load(), 0u);
    EXPECT_EQ(st_refused.load(), 102u);
    smpp::SMPPServerSetOptions(smpp::ServerOptions{});
}
