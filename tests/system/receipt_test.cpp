// Black-box tests of delivery receipts: the real gateway sends queued
// messages to an SMSC (npm "smpp", npm_receipt_smsc.js) that reports on each
// at once, and the receipt thread turns the SMSC's receipts into receipt
// records for the submitting accounts.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/node_peer.h"
#include "system/harness.h"
#include "system/link_fixture.h"

namespace {

using linktest::contains;
using linktest::request;
using nodepeer::Event;
using nodepeer::NodePeer;

const std::string kSystemDir = std::string(SMSGW_SOURCE_DIR) + "/tests/system/";

std::string ini_for(unsigned port) {
    const std::string link = "SMPP - 127.0.0.1:" + std::to_string(port);
    return "[SMSGW]\r\nDebug=Yes\r\nReceiveSMS=No\r\nModem1=" + link + "\r\n\r\n[" + link +
           "]\r\nUserName=gateway\r\nPassword=pw\r\nInitRetryDelay=1\r\n"
           "InitRetryDelayAfterAttempts=1\r\nInitRetryDelayMax=2\r\nRetryDelay=1\r\n";
}

// The key's value in a record text ("" when absent).
std::string value_of(const std::string& text, const std::string& key) {
    size_t at = text.find("\n" + key + "=");
    if (at == std::string::npos) return "";
    at += key.size() + 2;
    size_t end = text.find_first_of("\r\n", at);
    return text.substr(at, end - at);
}

class ReceiptSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!systest::test_hooks_built()) GTEST_SKIP() << "needs a build with SMSGW_TEST_HOOKS";
    }
};

}  // namespace

// Hexadecimal ids in the submit responses, decimal ids in the receipt texts
// (no receipted_message_id): every receipt still finds its message and its
// submitting account, a receipt that overtakes its submit response waits for
// it, an SMSC failure report keeps its state, and the gateway's own
// rejection receipt is there for a message the SMSC refused.
TEST_F(ReceiptSystemTest, ReceiptsMatchTheirMessagesAndSubmitters) {
    NodePeer smsc(kSystemDir);
    ASSERT_TRUE(smsc.start("npm_receipt_smsc.js", {"0", "dec"}));
    Event e;
    ASSERT_TRUE(smsc.wait("listening", e, 10000));
    const unsigned port = unsigned(std::stoul(e["port"]));

    linktest::Rig rig;
    struct Msg {
        const char* file;
        const char* phone;
        const char* user;
        bool receipt;
    } msgs[] = {
        {"RA000001.req", "447700900001", "alice", true},
        {"RA000002.req", "rejectd447700900002", "bob", true},
        {"RA000003.req", "early447700900003", "carol", true},
        {"RA000004.req", "447700900004", "dave", false},
        {"RA000005.req", "fail0B", "erin", true},
    };
    for (const Msg& m : msgs) {
        linktest::Keys keys = {{"PhoneNumber", m.phone},
                               {"Sender", "Shop"},
                               {"Data", "Order dispatched"},
                               {"SubmitUser", m.user}};
        if (m.receipt) keys.emplace_back("ReceiptRequested", "Yes");
        ASSERT_TRUE(rig.queue(m.file, request(keys)));
    }
    ASSERT_TRUE(rig.start(ini_for(port))) << rig.diag();

    // Three SMSC receipts and the gateway's own rejection receipt.
    ASSERT_TRUE(systest::wait_for([&] { return rig.inbound(".rec").size() >= 4; }, 60000))
        << rig.diag();
    EXPECT_TRUE(rig.inbound(".rct").empty()) << rig.diag();

    std::map<std::string, std::string> by_id;
    for (const auto& path : rig.inbound(".rec")) {
        std::string text = systest::read_text(path);
        by_id[value_of(text, "ReceiptMessageId")] = text;
    }
    ASSERT_EQ(by_id.size(), 4u) << rig.diag();
    const std::string& a = by_id["RA000001"];
    EXPECT_EQ(value_of(a, "RouteToLocalUser"), "alice") << a;
    EXPECT_EQ(value_of(a, "Sender"), "447700900001") << a;
    EXPECT_EQ(value_of(a, "PhoneNumber"), "Shop") << a;
    EXPECT_TRUE(contains(a, "ReceiptDelivered=Yes")) << a;
    EXPECT_EQ(value_of(a, "Data").rfind("id:RA000001 sub:001 dlvrd:001 ", 0), 0u) << a;

    const std::string& b = by_id["RA000002"];
    EXPECT_EQ(value_of(b, "RouteToLocalUser"), "bob") << b;
    EXPECT_TRUE(contains(b, "ReceiptFailed=Yes")) << b;
    EXPECT_TRUE(contains(value_of(b, "Data"), "stat:REJECTD err:00B")) << b;

    const std::string& c = by_id["RA000003"];
    EXPECT_EQ(value_of(c, "RouteToLocalUser"), "carol") << c;
    EXPECT_TRUE(contains(c, "ReceiptDelivered=Yes")) << c;

    // Refused by the SMSC: the gateway's rejection receipt with its status.
    const std::string& r = by_id["RA000005"];
    EXPECT_EQ(value_of(r, "RouteToLocalUser"), "erin") << r;
    EXPECT_TRUE(contains(r, "ReceiptFailed=Yes")) << r;
    EXPECT_TRUE(contains(value_of(r, "Data"), "stat:REJECTD err:00B text:Order dispatched"))
        << r;

    EXPECT_EQ(by_id.count("RA000004"), 0u);
    // The inbound log has the resolved receipts with the SMSC's own ids.
    size_t logged = 0;
    for (const auto& l : rig.in_lines())
        logged += contains(l, "SMSCReceiptMsgId=RA00000") && contains(l, "SMSCReceiptMsgIdOrig=");
    EXPECT_GE(logged, 3u) << rig.diag();
    // How the decimal ids were found is in the trace.
    EXPECT_TRUE(contains(rig.debug_log(), "(decimal for hexadecimal)")) << rig.diag();
    EXPECT_TRUE(rig.stop());
}
