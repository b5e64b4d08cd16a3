// The SMPP server against the real gateway binary: clients made of the npm
// "smpp" package bind with account names and passwords, submit messages
// that reach a test SMSC (npm_smsc.js) over an SMPP link, and receive what
// lies in their user queues; a raw socket peer sends what no well-behaved
// client would.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/node_peer.h"
#include "common/smpp_raw_peer.h"
#include "platform/net.h"
#include "platform/text.h"
#include "support/accounts.h"
#include "system/harness.h"
#include "system/link_fixture.h"

namespace {

using linktest::contains;
using nodepeer::Event;
using nodepeer::NodePeer;
namespace smpp = protocols::smpp;

const std::string kSystemDir = std::string(SMSGW_SOURCE_DIR) + "/tests/system/";

std::string hex_of(std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes) out += platform::strprintf("%02X", unsigned(c));
    return out;
}

unsigned free_port() {
    uint16_t port = 0;
    platform::Socket s = platform::tcp_listen("127.0.0.1", 0, 1, &port);
    return port;
}

struct Account {
    std::string name, password, throttle, restrict_ip;
};

// The gateway with its SMPP server port, a test SMSC behind an SMPP link and
// the accounts of a test.
class SmppRig : public linktest::Rig {
  public:
    void add_account(const Account& a) {
        support::set_account_database_path(home_ + "USERS.DB");
        support::UserFile f;
        ASSERT_TRUE(support::SMSOpenUserFile(f, support::UserFileAccess::ReadWrite));
        support::UserRecord r;
        r.name = a.name;
        r.enable_smpp_login = true;
        r.throttle_speed = a.throttle;
        r.restrict_ip_address = a.restrict_ip;
        ASSERT_TRUE(support::set_user_password(r, a.password));
        ASSERT_TRUE(support::SMSAddUser(f, r));
        support::SMSCloseUserFile(f);
        support::set_account_database_path("");
    }
    bool start_all(const std::string& extra = "", bool with_smsc = true) {
        port_ = free_port();
        std::string ini = "[SMSGW]\r\nDebug=Yes\r\nReceiveSMS=No\r\nEnableReceiptProcessing=No\r\n";
        ini += "SMPPPort=" + std::to_string(port_) + "\r\n";
        ini += "UsersQDir=" + home_ + "UQ/\r\nEnableBulkSmsIn=No\r\n";
        ini += extra;
        if (with_smsc) {
            if (!smsc_.start("npm_smsc.js", {"0"})) return false;
            Event e;
            if (!smsc_.wait("listening", e, 10000)) return false;
            std::string link = "SMPP - 127.0.0.1:" + e["port"];
            ini += "Modem1=" + link + "\r\n\r\n[" + link +
                   "]\r\nUserName=gw\r\nPassword=pw\r\nRetryDelay=1\r\nCommandTimeout=10\r\n";
        }
        if (!start(ini)) return false;
        return systest::wait_for([&] { return gw().debug_log().find("SMPP server started") !=
                                              std::string::npos; },
                                 10000);
    }
    unsigned port() const { return port_; }
    NodePeer& smsc() { return smsc_; }
    std::string user_q(const std::string& account) const { return home_ + "UQ/" + account + "/Q/"; }
    // A received message waiting in the account's user queue.
    void queue_for_user(const std::string& account, const std::string& name,
                        const linktest::Keys& keys) {
        std::string dir = user_q(account);
        std::filesystem::create_directories(dir);
        ASSERT_TRUE(systest::write_text(dir + "." + name, linktest::request(keys)));
        std::filesystem::rename(dir + "." + name, dir + name);
    }
    // Every submit_sm the SMSC has seen, in arrival order.
    std::vector<Event> smsc_submits() {
        for (auto& e : smsc_.take_all("submit_sm")) submits_.push_back(std::move(e));
        return submits_;
    }

  private:
    unsigned port_ = 0;
    NodePeer smsc_{kSystemDir};
    std::vector<Event> submits_;
};

// A client session of the npm package.
class Esme {
  public:
    explicit Esme(std::string version = "") : version_(std::move(version)) {}
    bool start(unsigned port) {
        std::vector<std::string> args = {std::to_string(port)};
        if (!version_.empty()) args.push_back(version_);
        if (!peer_.start("npm_esme.js", args)) return false;
        Event e;
        return peer_.wait("connected", e, 5000);
    }
    // The bind_resp status (-1 when none came).
    int bind(const std::string& mode, const std::string& user, const std::string& pw,
             unsigned timeout_ms = 5000) {
        peer_.send(R"({"cmd":"bind","mode":")" + mode + R"(","system_id":")" + user +
                   R"(","password":")" + pw + R"("})");
        Event e;
        if (!peer_.wait("bind_resp", e, timeout_ms)) return -1;
        return std::stoi(e["status"]);
    }
    // Sends a submit_sm (fields as JSON members) and waits for its answer.
    bool submit(const std::string& fields, Event& resp, unsigned timeout_ms = 10000) {
        std::string tag = std::to_string(++tags_);
        peer_.send(R"({"cmd":"submit","tag":")" + tag + "\"," + fields + "}");
        return peer_.wait_if(
            "submit_resp", [&](const Event& e) { return e["tag"] == tag; }, resp, timeout_ms);
    }
    NodePeer& peer() { return peer_; }

  private:
    std::string version_;
    NodePeer peer_{kSystemDir};
    int tags_ = 0;
};

std::string text_submit(const std::string& dest, const std::string& hex, int dcs = 0,
                        int esm = 0) {
    return R"("source_addr":"111","destination_addr":")" + dest + R"(","short_message":")" + hex +
           R"(","data_coding":)" + std::to_string(dcs) + R"(,"esm_class":)" + std::to_string(esm);
}

Event find_to(const std::vector<Event>& evs, const std::string& dest, size_t nth = 0) {
    for (const auto& e : evs)
        if (e["destination_addr"] == dest && nth-- == 0) return e;
    return Event{};
}

TEST(SmppServerSystem, SubmissionsReachTheSmscWithTheirBytes) {
    SmppRig rig;
    rig.add_account({"alice", "Secret1", "", ""});
    rig.add_account({"bob", "pw", "3/30", ""});
    ASSERT_TRUE(rig.start_all("MessageIDPrefix=GW-\r\n"));
    Esme c;
    ASSERT_TRUE(c.start(rig.port()));
    ASSERT_EQ(c.bind("transmitter", "alice", "secret1"), 0) << rig.diag();

    Event r;
    ASSERT_TRUE(c.submit(text_submit("4470001", hex_of("Hello")) + R"(,"registered_delivery":1)",
                         r));
    EXPECT_EQ(r["status"], "0");
    std::string first_id = r["message_id"];
    EXPECT_FALSE(first_id.empty());
    const std::string ucs2 = linktest::ucs2_hex("Привет");
    ASSERT_TRUE(c.submit(text_submit("4470002", ucs2, 8), r));
    EXPECT_EQ(r["status"], "0");
    ASSERT_TRUE(c.submit(text_submit("4470003", "0605040B8423F0DEADBEEF", 4, 0x40), r));
    EXPECT_EQ(r["status"], "0");
    // 300 characters without a concatenation header: two segments with the
    // gateway's own reference.
    ASSERT_TRUE(c.submit(text_submit("4470004", hex_of(std::string(300, 'a'))), r));
    EXPECT_EQ(r["status"], "0");
    // The client's own concatenation: its reference is replaced by the
    // gateway's, the same for both parts.
    ASSERT_TRUE(c.submit(text_submit("4470005", "0500037F0201" + hex_of("part one"), 0, 0x40), r));
    EXPECT_EQ(r["status"], "0");
    ASSERT_TRUE(c.submit(text_submit("4470005", "0500037F0202" + hex_of("part two"), 0, 0x40), r));
    EXPECT_EQ(r["status"], "0");
    EXPECT_NE(r["message_id"], first_id);
    EXPECT_EQ(first_id.substr(0, 3), "GW-");
    // An SMPP 3.3 client gets ids of at most 8 characters; an account over
    // its ThrottleSpeed is told to slow down.
    Esme old("33"), fast;
    ASSERT_TRUE(old.start(rig.port()));
    ASSERT_TRUE(fast.start(rig.port()));
    ASSERT_EQ(old.bind("transmitter", "alice", "Secret1"), 0);
    ASSERT_TRUE(old.submit(text_submit("4470006", hex_of("v33")), r));
    EXPECT_EQ(r["status"], "0");
    EXPECT_LE(r["message_id"].size(), 8u);
    EXPECT_FALSE(r["message_id"].empty());
    ASSERT_EQ(fast.bind("transmitter", "bob", "pw"), 0);
    std::vector<std::string> statuses;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(fast.submit(text_submit("4470007", hex_of("t")), r));
        statuses.push_back(r["status"]);
    }
    EXPECT_EQ(statuses, (std::vector<std::string>{"0", "0", "0", "88"}));

    ASSERT_TRUE(systest::wait_for([&] { return rig.smsc_submits().size() >= 11; }, 20000))
        << rig.diag();
    auto subs = rig.smsc_submits();
    EXPECT_EQ(find_to(subs, "4470001")["short_message"], hex_of("Hello"));
    EXPECT_EQ(find_to(subs, "4470001")["registered_delivery"], "1");
    EXPECT_EQ(find_to(subs, "4470002")["data_coding"], "8");
    EXPECT_EQ(find_to(subs, "4470002")["short_message"], ucs2);
    EXPECT_EQ(find_to(subs, "4470003")["short_message"], "0605040B8423F0DEADBEEF");
    std::string a = find_to(subs, "4470004", 0)["short_message"];
    std::string b = find_to(subs, "4470004", 1)["short_message"];
    ASSERT_GE(a.size(), 12u);
    ASSERT_GE(b.size(), 12u);
    EXPECT_EQ(a.substr(0, 6), "050003");
    EXPECT_EQ(a.substr(6, 2), b.substr(6, 2));  // one reference
    EXPECT_EQ(a.substr(8, 4) + b.substr(8, 4), "02010202");
    EXPECT_EQ((a.size() - 12 + b.size() - 12) / 2, 300u);
    std::string p1 = find_to(subs, "4470005", 0)["short_message"];
    std::string p2 = find_to(subs, "4470005", 1)["short_message"];
    ASSERT_GE(p2.size(), 12u);
    EXPECT_EQ(p1.substr(6, 2), p2.substr(6, 2));
    EXPECT_TRUE(contains(p1 + p2, hex_of("part one")) && contains(p1 + p2, hex_of("part two")));
    EXPECT_TRUE(rig.stop());
}

TEST(SmppServerSystem, BindsAcceptedAndRefused) {
    SmppRig rig;
    rig.add_account({"alice", "Secret1", "", ""});
    rig.add_account({"bob", "pw", "10/1/1", ""});
    rig.add_account({"carol", "pw", "", "10.99.*"});
    ASSERT_TRUE(rig.start_all("SMPPServerMaxConnectionsPerUser=2\r\n", false));
    Esme tx, rx, trx, third, wrong, bob1, bob2, carol;
    for (Esme* e : {&tx, &rx, &trx, &third, &wrong, &bob1, &bob2, &carol})
        ASSERT_TRUE(e->start(rig.port()));
    EXPECT_EQ(tx.bind("transmitter", "alice", "Secret1"), 0);
    EXPECT_EQ(rx.bind("receiver", "alice", "SECRET1"), 0);
    EXPECT_EQ(bob1.bind("transceiver", "bob", "pw"), 0);
    // Refusals are answered after a delay that grows with each one.
    third.peer().send(R"({"cmd":"bind","mode":"transceiver","system_id":"alice","password":"Secret1"})");
    wrong.peer().send(R"({"cmd":"bind","mode":"transmitter","system_id":"alice","password":"nope"})");
    bob2.peer().send(R"({"cmd":"bind","mode":"transmitter","system_id":"bob","password":"pw"})");
    carol.peer().send(R"({"cmd":"bind","mode":"transmitter","system_id":"carol","password":"pw"})");
    for (Esme* e : {&third, &wrong, &bob2, &carol}) {
        Event r;
        ASSERT_TRUE(e->peer().wait("bind_resp", r, 20000)) << rig.diag();
        EXPECT_NE(r["status"], "0");
    }
    std::string log = rig.debug_log();
    EXPECT_TRUE(contains(log, "connection count for user alice exceeds maximum of 2"));
    EXPECT_TRUE(contains(log, "connection count for user bob exceeds maximum of 1"));
    // A freed session slot can be taken again.
    Event r;
    tx.peer().send(R"({"cmd":"unbind"})");
    ASSERT_TRUE(tx.peer().wait("unbind_resp", r, 5000));
    ASSERT_TRUE(systest::wait_for(
        [&] { return contains(rig.debug_log(), "Releasing SMPP connection"); }, 5000));
    EXPECT_EQ(trx.bind("transceiver", "alice", "Secret1"), 0);
    EXPECT_TRUE(rig.stop());
}

TEST(SmppServerSystem, UserQueueDeliveredInOrderWithAWindow) {
    SmppRig rig;
    rig.add_account({"alice", "Secret1", "", ""});
    ASSERT_TRUE(rig.start_all("SMPPServerAsyncWindowSize=10\r\nSMPPServerEnquireLink=0\r\n", false));
    // Queued while no receiver is bound: a message and a receipt.
    rig.queue_for_user("alice", "00000001.REQ",
                       {{"PhoneNumber", "111"}, {"Sender", "447700900001"}, {"Data", "first"}});
    rig.queue_for_user("alice", "00000002.REQ",
                       {{"PhoneNumber", "111"},
                        {"Sender", "447700900002"},
                        {"Data", "id:GW1 sub:001 dlvrd:001 stat:DELIVRD"},
                        {"ReceiptDelivered", "Yes"},
                        {"ReceiptMessageId", "GW1"}});
    rig.queue_for_user("alice", "00000003.REQ", {{"Sender", "447700900003"}, {"Data", "third"}});
    Esme tx;
    ASSERT_TRUE(tx.start(rig.port()));
    ASSERT_EQ(tx.bind("transmitter", "alice", "Secret1"), 0);
    platform::sleep_ms(1500);
    EXPECT_EQ(tx.peer().count("deliver_sm"), 0u);  // a transmitter never receives

    Esme rx;
    ASSERT_TRUE(rx.start(rig.port()));
    ASSERT_EQ(rx.bind("receiver", "alice", "Secret1"), 0);
    Event d;
    ASSERT_TRUE(rx.peer().wait("deliver_sm", d, 5000)) << rig.diag();
    EXPECT_EQ(d["source_addr"], "447700900001");
    EXPECT_EQ(d["short_message"], hex_of("first"));
    ASSERT_TRUE(rx.peer().wait("deliver_sm", d, 5000));
    EXPECT_EQ(d["source_addr"], "447700900002");
    EXPECT_EQ(d["esm_class"], "4");
    EXPECT_EQ(d["receipted_message_id"], "GW1");
    ASSERT_TRUE(rx.peer().wait("deliver_sm", d, 5000));
    EXPECT_EQ(d["destination_addr"], "1");
    ASSERT_TRUE(systest::wait_for([&] { return linktest::Rig::files(rig.user_q("alice"), ".REQ").empty(); },
                                  5000));

    // Eleven deliveries left unanswered, now to a transceiver: ten go out,
    // the eleventh waits.
    rx.peer().send(R"({"cmd":"unbind"})");
    Event u;
    ASSERT_TRUE(rx.peer().wait("unbind_resp", u, 5000));
    Esme trx;
    ASSERT_TRUE(trx.start(rig.port()));
    ASSERT_EQ(trx.bind("transceiver", "alice", "Secret1"), 0);
    NodePeer& peer = trx.peer();
    peer.send(R"({"cmd":"hold"})");
    platform::sleep_ms(200);
    for (int i = 0; i < 11; ++i)
        rig.queue_for_user("alice", platform::strprintf("000001%02X.REQ", unsigned(i)),
                           {{"PhoneNumber", "111"}, {"Sender", "44" + std::to_string(i)},
                            {"Data", "w" + std::to_string(i)}});
    ASSERT_TRUE(systest::wait_for([&] { return peer.count("deliver_sm") >= 10; }, 10000))
        << rig.diag();
    platform::sleep_ms(1500);
    EXPECT_EQ(peer.count("deliver_sm"), 10u);
    peer.send(R"({"cmd":"release"})");
    ASSERT_TRUE(systest::wait_for([&] { return peer.count("deliver_sm") >= 11; }, 10000));
    auto ds = peer.take_all("deliver_sm");
    for (size_t i = 0; i < ds.size(); ++i) EXPECT_EQ(ds[i]["source_addr"], "44" + std::to_string(i));
    peer.send(R"({"cmd":"release"})");
    EXPECT_TRUE(systest::wait_for(
        [&] { return linktest::Rig::files(rig.user_q("alice"), ".REQ").empty(); }, 10000));
    EXPECT_TRUE(rig.stop());
}

TEST(SmppServerSystem, PasswordChangeEndsTheSession) {
    SmppRig rig;
    rig.add_account({"alice", "Secret1", "", ""});
    ASSERT_TRUE(rig.start_all("SMPPServerValidateUserInterval=1\r\nDefaultMsgLimitPerDay=5\r\n"
                              "DefaultMsgLimitPerMonth=100\r\n",
                              false));
    Esme c, a, b;
    for (Esme* e : {&c, &a, &b}) {
        ASSERT_TRUE(e->start(rig.port()));
        ASSERT_EQ(e->bind("transceiver", "alice", "Secret1"), 0);
    }
    // Two sessions at the account's quota at once: every accepted message
    // is a file, every other one is refused with 88.
    for (int i = 0; i < 4; ++i)
        for (Esme* e : {&a, &b})
            e->peer().send(R"({"cmd":"submit","source_addr":"1","destination_addr":"2","short_message":"41"})");
    std::vector<Event> resps;
    ASSERT_TRUE(systest::wait_for([&] {
        for (Esme* e : {&a, &b})
            for (auto& r : e->peer().take_all("submit_resp")) resps.push_back(r);
        return resps.size() >= 8;
    }, 10000));
    size_t accepted = 0;
    for (auto& r : resps) {
        accepted += r["status"] == "0";
        EXPECT_TRUE(r["status"] == "0" || r["status"] == "88") << r["status"];
    }
    EXPECT_GE(accepted, 5u);
    EXPECT_LE(accepted, 6u);
    EXPECT_EQ(linktest::Rig::files(rig.q(), ".req").size(), accepted);
    platform::sleep_ms(1500);
    EXPECT_EQ(c.peer().count("closed"), 0u);
    rig.add_account({"alice", "Changed2", "", ""});
    Event e;
    EXPECT_TRUE(c.peer().wait("closed", e, 10000));
    EXPECT_TRUE(contains(rig.debug_log(),
                         "Connection terminated - account password is no longer valid"));
    EXPECT_TRUE(rig.stop());
}

std::string header(uint32_t length, uint32_t command, uint32_t seq) {
    std::string w;
    for (uint32_t v : {length, command, 0u, seq})
        for (int s = 24; s >= 0; s -= 8) w.push_back(char((v >> s) & 0xFF));
    return w;
}

smpp_test::RawPeer raw_peer(unsigned port) {
    smpp_test::RawPeer p;
    int err = 0;
    p.s = platform::tcp_connect("127.0.0.1", uint16_t(port), 2000, 0, &err);
    return p;
}

TEST(SmppServerSystem, BadInputGetsAnAnswerOrTheDoor) {
    SmppRig rig;
    rig.add_account({"alice", "Secret1", "", ""});
    ASSERT_TRUE(rig.start_all("SMPPServerBindTimeout=2\r\nSMPPServerMaxConnectionsPerAddress=8\r\n",
                              false));
    smpp::Pdu p;
    {  // 64 KB announced, then nothing: closed at the bind deadline.
        auto c = raw_peer(rig.port());
        ASSERT_TRUE(c.send_raw(header(65536, smpp::BIND_TRANSMITTER, 1)));
        uint64_t t0 = platform::monotonic_ms();
        EXPECT_TRUE(c.sees_close(6000));
        EXPECT_LT(platform::monotonic_ms() - t0, 6000u);
    }
    for (uint32_t len : {0u, 0xFFFFFFFFu}) {
        auto c = raw_peer(rig.port());
        ASSERT_TRUE(c.send_raw(header(len, smpp::BIND_TRANSMITTER, 1)));
        ASSERT_TRUE(c.recv(p));
        EXPECT_EQ(p.command_id, smpp::GENERIC_NACK);
        EXPECT_EQ(p.command_status, uint32_t(smpp::ESME_RINVCMDLEN));
        EXPECT_TRUE(c.sees_close(3000));
    }
    auto c = raw_peer(rig.port());
    smpp::Pdu early;
    early.command_id = smpp::SUBMIT_SM;
    early.sequence = 5;
    early.dest_addr = "4470001";
    early.short_message = "too early";
    ASSERT_TRUE(c.send(early));  // before any bind
    ASSERT_TRUE(c.recv(p));
    EXPECT_EQ(p.command_id, smpp::GENERIC_NACK);
    EXPECT_EQ(p.command_status, uint32_t(smpp::ESME_RINVBNDSTS));
    smpp::Pdu bind;
    bind.command_id = smpp::BIND_TRANSCEIVER;
    bind.sequence = 6;
    bind.system_id = std::string(20, 'x');  // over 16 octets
    bind.password = "x";
    bind.interface_version = 0x34;
    // The encoder would cut the field; the long one goes in by hand.
    std::string w = header(0, smpp::BIND_TRANSCEIVER, 6) + std::string(20, 'x') + '\0' + "x" + '\0' + '\0' +
        char(0x34) + '\0' + '\0' + '\0';
    uint32_t n = uint32_t(w.size());
    for (int i = 0; i < 4; ++i) w[size_t(i)] = char((n >> (24 - 8 * i)) & 0xFF);
    ASSERT_TRUE(c.send_raw(w));
    ASSERT_TRUE(c.recv(p));
    EXPECT_EQ(p.command_id, smpp::BIND_TRANSCEIVER_RESP);
    EXPECT_NE(p.command_status, 0u);
    bind.system_id = "alice";
    bind.password = "Secret1";
    bind.sequence = 7;
    ASSERT_TRUE(c.send(bind));
    ASSERT_TRUE(c.recv(p));
    EXPECT_EQ(p.command_id, smpp::BIND_TRANSCEIVER_RESP);
    EXPECT_EQ(p.command_status, 0u) << rig.diag();
    // A second bind, unknown commands and the unsupported ones are answered;
    // the session goes on.
    ASSERT_TRUE(c.send(bind));
    ASSERT_TRUE(c.recv(p));
    EXPECT_EQ(p.command_status, uint32_t(smpp::ESME_RALYBND));
    for (uint32_t cmd : {0x00000999u, uint32_t(smpp::QUERY_SM), uint32_t(smpp::CANCEL_SM),
                         uint32_t(smpp::REPLACE_SM), uint32_t(smpp::SUBMIT_MULTI)}) {
        const uint32_t seq = 100 + cmd % 50;
        ASSERT_TRUE(c.send_raw(header(16, cmd, seq)));
        ASSERT_TRUE(c.recv(p)) << std::hex << cmd;
        EXPECT_EQ(p.sequence, seq);
        EXPECT_TRUE(p.command_id == smpp::GENERIC_NACK || p.command_id == (cmd | 0x80000000u))
            << std::hex << cmd;
        EXPECT_NE(p.command_status, 0u) << std::hex << cmd;
    }
    // Thousands of enquire_links in one burst, every one answered.
    std::string burst;
    for (uint32_t i = 0; i < 3000; ++i) burst += header(16, smpp::ENQUIRE_LINK, 1000 + i);
    ASSERT_TRUE(c.send_raw(burst));
    unsigned answered = 0;
    while (answered < 3000 && c.recv(p, 5000))
        if (p.command_id == smpp::ENQUIRE_LINK_RESP) ++answered;
    EXPECT_EQ(answered, 3000u);

    // A client that sends 100,000 PDUs and never reads an answer: the
    // gateway's memory stays bounded and other sessions are served.
    {
        auto flood = raw_peer(rig.port());
        bind.sequence = 8;
        ASSERT_TRUE(flood.send(bind));
        ASSERT_TRUE(flood.recv(p));
        std::string chunk;
        for (uint32_t i = 0; i < 1000; ++i) chunk += header(16, smpp::ENQUIRE_LINK, 5000 + i);
        int sent = 0;
        for (; sent < 100 && platform::send_all(flood.s.fd(), chunk.data(), chunk.size(), 500) ==
                                 long(chunk.size());
             ++sent) {
        }
        std::string status = systest::read_text("/proc/" + std::to_string(rig.gw().pid()) + "/status");
        size_t at = status.find("VmRSS:");
        ASSERT_NE(at, std::string::npos);
        EXPECT_LT(std::stol(status.substr(at + 6)), 200 * 1024L);  // kB
        ASSERT_TRUE(c.send_raw(header(16, smpp::ENQUIRE_LINK, 10)));
        ASSERT_TRUE(c.recv(p));
        EXPECT_EQ(p.command_id, smpp::ENQUIRE_LINK_RESP);
    }

    // The per-address cap: connections beyond it are closed at once.
    std::vector<smpp_test::RawPeer> idle;
    for (int i = 0; i < 12; ++i) idle.push_back(raw_peer(rig.port()));
    unsigned closed_at_once = 0;
    for (auto& i : idle) closed_at_once += i.sees_close(300) ? 1 : 0;
    EXPECT_GE(closed_at_once, 5u);
    EXPECT_TRUE(contains(rig.debug_log(), "connection limit reached"));
    // And the bound session is still served.
    ASSERT_TRUE(c.send_raw(header(16, smpp::ENQUIRE_LINK, 9)));
    ASSERT_TRUE(c.recv(p));
    EXPECT_EQ(p.command_id, smpp::ENQUIRE_LINK_RESP);
    EXPECT_TRUE(rig.stop());
}

}  // namespace
