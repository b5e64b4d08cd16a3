// Routing of stored messages: local accounts with the 2-way duplicate,
// re-routing at receive time, the inbound threads' local step, segments
// held, and the inbox copy of what no command takes.
#include "inbound/inbound_threads.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "frame/queue_dirs.h"
#include "inbound/inbound_fixture.h"
#include "inbound/inbound_routing.h"
#include "inbound/inbound_store.h"
#include "inbound/recombine.h"
#include "platform/files.h"

using inbound::InboundKind;
using inbound::InboundMessage;
using inbound::StoreResult;
using inbound_test::extension_of;
using inbound_test::slurp;

namespace {

constexpr const char* kLink = "SMPP - Alpha";

class InboundThreadsTest : public inbound_test::InboundTest {
  protected:
    void SetUp() override {
        InboundTest::SetUp();
        inbound::reset_inbound_routing_cache();
    }
    InboundMessage message(const std::string& to, const std::string& text) {
        InboundMessage m;
        m.link_name = kLink;
        m.sender = "+447700900001";
        m.recipient = to;
        m.data = text;
        return m;
    }
    std::vector<std::string> files(const std::string& dir, const std::string& ext) {
        std::vector<std::string> out;
        std::error_code ec;
        if (!std::filesystem::exists(dir, ec)) return out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir, ec))
            if (e.is_regular_file() && extension_of(e.path().string()) == ext)
                out.push_back(e.path().string());
        return out;
    }
    void receive_flag(const std::string& user) {
        std::filesystem::create_directories(frame::user_dir(user));
        inbound_test::spit(frame::user_dir(user) + "RECV.FLG", "");
    }
};

TEST_F(InboundThreadsTest, LocalAccountWithDuplicateForTwoWay) {
    receive_flag("bob");
    set_ini("SMSGW", "DuplicateUserMessagesFor2Way", "Yes");
    InboundMessage m = message("5000", "hello bob");
    m.options = protocols::common::parse_option_text("RouteToLocalUser=bob");
    std::string path;
    ASSERT_EQ(inbound::store_inbound(m, &path), StoreResult::LocalUser);
    std::string queued = slurp(path);
    EXPECT_NE(queued.find("RouteToLocalUser=bob\r\n"), std::string::npos) << queued;
    EXPECT_NE(queued.find("Data=hello bob\r\n"), std::string::npos) << queued;

    auto in = files(inbound_dir(), ".in");
    ASSERT_EQ(in.size(), 1u);
    EXPECT_NE(slurp(in[0]).find("DuplicateMessageFor2Way=Yes"), std::string::npos);
    // The duplicate is not given to bob again: no command takes it, so it
    // ends in the inbox.
    inbound::ScanState st;
    EXPECT_EQ(inbound::process_inbound_file(in[0], InboundKind::Primary, st),
              inbound::FileOutcome::Archived);
    EXPECT_EQ(files(home_ + "/USERS", ".req").size(), 1u);
    EXPECT_EQ(files(inbound_dir(), ".SMS").size(), 1u);
    EXPECT_TRUE(files(inbound_dir(), ".in").empty());
}

TEST_F(InboundThreadsTest, ReRouteReceivedQueuesForTheRoute) {
    set_ini(kLink, "ReRouteReceived", "Yes");
    std::string path;
    ASSERT_EQ(inbound::store_inbound(message("447700900999", "fwd"), &path), StoreResult::ReRouted);
    std::string text = slurp(path);
    EXPECT_EQ(text.rfind("[SMS]\r\n", 0), 0u) << text;
    EXPECT_NE(text.find("SubmitUser=ReRouteReceived-SMPP - Alpha\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("SMSCRoute="), std::string::npos) << text;
    EXPECT_TRUE(inbound_files().empty());

    // Receipts stay for matching: neither re-sent nor taken before resolving.
    InboundMessage receipt = message("447700900999", "id:9 stat:DELIVRD");
    receipt.flags = 0x0C;
    receipt.receipt_message_id = "9";
    EXPECT_EQ(inbound::store_inbound(receipt, &path), StoreResult::Stored);
    EXPECT_EQ(extension_of(path), ".rec");
    receive_flag("bob");
    receipt.options =
        protocols::common::parse_option_text("RouteToLocalUser=bob; ResolveReceiptID=Yes");
    EXPECT_EQ(inbound::store_inbound(receipt, &path), StoreResult::Stored);
    EXPECT_EQ(extension_of(path), ".rct");

    set_ini(kLink, "ReRouteReceived", "SMPP - Beta");
    ASSERT_EQ(inbound::store_inbound(message("447700900999", "fwd"), &path), StoreResult::ReRouted);
    EXPECT_NE(slurp(path).find("SMSCRoute=SMPP - Beta\r\n"), std::string::npos);
}

TEST_F(InboundThreadsTest, RoutingTableTakesStoredMessageOnceAndHoldsSegments) {
    set_ini("Inbound SMS Routing", "carol", "7*");
    std::string stored = inbound::store_inbound_message(message("7001", "for carol"));
    ASSERT_FALSE(stored.empty());
    // A copy made before a crash (in another batch directory of the queue,
    // as a restarted gateway starts a new batch) is not made twice.
    inbound::ScanState st;
    const std::string base = std::filesystem::path(stored).stem().string();
    std::filesystem::create_directories(home_ + "/USERS/carol/Q/00000001");
    inbound_test::spit(home_ + "/USERS/carol/Q/00000001/" + base + ".req", "[SMS]\r\nData=x\r\n");
    EXPECT_EQ(inbound::process_inbound_file(stored, InboundKind::Extra, st),
              inbound::FileOutcome::Routed);
    auto q = files(home_ + "/USERS/carol", ".req");
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(std::filesystem::path(q[0]).stem().string(), base);
    EXPECT_FALSE(std::filesystem::exists(stored));

    InboundMessage seg = message("5000", "part two");
    seg.udh = "0500030F0202";
    stored = inbound::store_inbound_message(seg);
    EXPECT_EQ(inbound::process_inbound_file(stored, InboundKind::Primary, st),
              inbound::FileOutcome::Held);
    EXPECT_TRUE(std::filesystem::exists(inbound_dir() + "+447700900001-f-2-2.SAR"));
}

TEST_F(InboundThreadsTest, ReceiptRecordGoesToTheSubmittingAccount) {
    // As the receipt thread writes it: matched, for the submitting account.
    InboundMessage r = message("+447700900100", "id:M1 sub:001 dlvrd:001 stat:DELIVRD");
    r.flags = 0x0C;
    r.receipt_message_id = "M1";
    r.options = protocols::common::parse_option_text("RouteToLocalUser=dora");
    std::string stored = inbound::store_inbound_message(r);
    ASSERT_EQ(extension_of(stored), ".rec");
    inbound::ScanState st;
    EXPECT_EQ(inbound::process_inbound_file(stored, InboundKind::Receipts, st),
              inbound::FileOutcome::Routed);
    auto q = files(home_ + "/USERS/dora", ".req");
    ASSERT_EQ(q.size(), 1u);
    std::string text = slurp(q[0]);
    EXPECT_NE(text.find("ReceiptDelivered=Yes\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("ReceiptMessageId=M1\r\n"), std::string::npos) << text;
}

TEST_F(InboundThreadsTest, OneSendersStormLeavesRoomForOthers) {
    for (int i = 0; i < 20; ++i)
        ASSERT_FALSE(inbound::store_inbound_message(message("5000", "storm")).empty());
    InboundMessage other = message("5000", "quiet");
    other.sender = "+447700900002";
    ASSERT_FALSE(inbound::store_inbound_message(other).empty());
    // One scan: the storm's share, then the other sender; the rest waits.
    EXPECT_EQ(inbound::inbound_scan_pass(InboundKind::Extra), inbound::kSenderShare + 1);
    auto left = files(inbound_dir(), ".in");
    EXPECT_EQ(left.size(), 20u - inbound::kSenderShare);
    for (const auto& f : left) EXPECT_NE(slurp(f).find("Data=storm"), std::string::npos);
    EXPECT_EQ(inbound::inbound_scan_pass(InboundKind::Extra), 20u - inbound::kSenderShare);
    // The inbound queue gauge counts what is still waiting: nothing.
    EXPECT_EQ(records::counter_today(records::Counter::InQueueSize), 0u);
}

TEST_F(InboundThreadsTest, HeaderlessPiecesJoinedWithUsaSegmentFix) {
    set_ini("SMSGW", "USASegmentFix", "Yes");
    const std::string first(150, 'a');
    inbound::ScanState st;
    for (const std::string& text : {first, std::string("bb")}) {
        std::string p = inbound::store_inbound_message(message("5000", text));
        EXPECT_EQ(inbound::process_inbound_file(p, InboundKind::Primary, st),
                  inbound::FileOutcome::Held);
    }
    // A short text of another sender is not held, counted in characters.
    std::string accents;
    for (int i = 0; i < 100; ++i) accents += "\xC3\xA9";
    InboundMessage other = message("5000", accents);
    other.sender = "+447700900002";
    EXPECT_EQ(inbound::process_inbound_file(inbound::store_inbound_message(other),
                                            InboundKind::Primary, st),
              inbound::FileOutcome::Archived);
    const time_t held =
        platform::file_mtime(inbound_dir() + "+447700900001-10000-20-1.SAR").value();
    EXPECT_EQ(inbound::RecombineSARMessages(inbound_dir(), held + 30, 120), 0u);
    EXPECT_EQ(inbound::RecombineSARMessages(inbound_dir(), held + 61, 120), 1u);
    auto in = files(inbound_dir(), ".in");
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(store::parse_request(slurp(in[0])).data, first + "bb");
}

}  // namespace
