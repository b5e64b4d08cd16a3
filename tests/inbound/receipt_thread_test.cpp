// The receipt thread's work on ".rct" files: matched receipts become ".rec"
// records for the submitter, early receipts wait for their submit response,
// unmatched ones follow the retry schedule and are then passed on.
#include "inbound/receipt_thread.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/global_state.h"
#include "inbound/inbound_fixture.h"
#include "inbound/inbound_store.h"
#include "inbound/receipts.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "store/request_codec.h"
#include "support/tracking.h"

using inbound_test::extension_of;
using inbound_test::g_now;
using inbound_test::InboundTest;
using inbound_test::slurp;

namespace {

constexpr const char* kLink = "SMPP - Alpha";

// A receipt as the SMPP link stores it: its id still to be resolved.
std::string store_rct(const std::string& far_id, const std::string& stat = "DELIVRD",
                      int state_flag = 0x08, const std::string& text_id = "") {
    inbound::InboundMessage m;
    m.link_name = kLink;
    m.sender = "+447700900123";
    m.recipient = "Shop";
    m.flags = 0x04 | state_flag;
    m.receipt_message_id = far_id;
    m.data = "id:" + (text_id.empty() ? far_id : text_id) +
             " sub:001 dlvrd:001 submit date:2403051200 done date:2403051201 stat:" + stat +
             " err:000 text:Hello";
    m.options.emplace_back("ResolveReceiptID", "Yes");
    return inbound::store_inbound_message(m);
}

void register_id(const std::string& smsc_id, const std::string& request, const std::string& user,
                 uint32_t flags = store::kFlagReceiptRequested) {
    store::SmsMessage msg;
    msg.phone_number = "+447700900123";
    msg.sender = "Shop";
    msg.submit_user = user;
    msg.flags = flags;
    inbound::register_smsc_message_id(kLink, smsc_id, "/q/" + request, msg);
}

class ReceiptThreadTest : public InboundTest {
  protected:
    // The .rec records of the inbound store, parsed.
    std::vector<store::SmsMessage> records(std::string ext = ".rec") {
        std::vector<store::SmsMessage> out;
        for (const std::string& f : inbound_files())
            if (extension_of(f) == ext) out.push_back(store::parse_request(slurp(f)));
        return out;
    }
    size_t count(const std::string& ext) {
        size_t n = 0;
        for (const std::string& f : inbound_files()) n += extension_of(f) == ext;
        return n;
    }
    inbound::ReceiptWaits waits_;
};

TEST_F(ReceiptThreadTest, MatchedReceiptNamesTheGatewayIdAndTheSubmitter) {
    register_id("1A2B3C", "GW0000ABCD.req", "alice");
    // The SMSC answered hexadecimal and reports in decimal.
    const std::string rct = store_rct("1715004");
    ASSERT_FALSE(rct.empty());
    EXPECT_EQ(inbound::process_receipt_file(rct, waits_), inbound::ReceiptOutcome::Matched);
    EXPECT_EQ(count(".rct"), 0u);
    auto recs = records();
    ASSERT_EQ(recs.size(), 1u);
    const store::SmsMessage& r = recs[0];
    EXPECT_EQ(r.receipt_message_id, "GW0000ABCD");
    EXPECT_EQ(r.local_user_route, "alice");
    // From the original recipient back to the original sender.
    EXPECT_TRUE(r.sender == "+447700900123" && r.phone_number == "Shop" && r.link_name == kLink);
    EXPECT_EQ(r.flags & 0x2C, 0x0Cu);
    EXPECT_EQ(r.data.rfind("id:GW0000ABCD sub:001 dlvrd:001", 0), 0u) << r.data;
    EXPECT_NE(r.data.find("stat:DELIVRD err:000 text:Hello"), std::string::npos);
    EXPECT_EQ(r.retry_count, 0u);
    // Logged once resolved, with both ids.
    const std::string log = inbound_log();
    EXPECT_NE(log.find("GW0000ABCD"), std::string::npos);
    EXPECT_NE(log.find("1715004"), std::string::npos);
    // The inbound threads are woken for the record.
    EXPECT_TRUE(frame::inbound_receipt_event().wait(0));
}

TEST_F(ReceiptThreadTest, FailureReceiptKeepsItsStateAndText) {
    register_id("77", "GW00000077.req", "bob", store::kFlagNonDeliveryReceiptRequested);
    store_rct("77", "REJECTD", 0x20);
    EXPECT_EQ(inbound::process_receipt_files(waits_), 1u);
    auto recs = records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].flags & 0x2C, 0x24u);
    EXPECT_NE(recs[0].data.find("stat:REJECTD"), std::string::npos);
    EXPECT_EQ(recs[0].local_user_route, "bob");
    const std::string text = slurp(inbound_files()[0]);
    EXPECT_NE(text.find("ReceiptFailed=Yes"), std::string::npos) << text;
}

TEST_F(ReceiptThreadTest, ReceiptAheadOfItsSubmitResponseWaitsAndMatches) {
    const std::string rct = store_rct("ab12cd");
    ASSERT_TRUE(platform::set_file_mtime(rct, g_now.load()));  // arrived just now
    EXPECT_EQ(inbound::process_receipt_file(rct, waits_), inbound::ReceiptOutcome::Waiting);
    EXPECT_TRUE(inbound::receipts_waiting());
    EXPECT_EQ(count(".rct"), 1u);
    // Waiting costs no retry: the file is as it was.
    EXPECT_EQ(store::parse_request(slurp(rct)).retry_count, 0u);
    // Not read again while nothing new was recorded.
    EXPECT_EQ(inbound::process_receipt_files(waits_), 0u);
    frame::inbound_receipt_event().wait(0);
    register_id("AB12CD", "GW00000001.req", "alice");
    // The registration wakes the receipt threads.
    EXPECT_TRUE(frame::inbound_receipt_event().wait(0));
    EXPECT_EQ(inbound::process_receipt_file(rct, waits_), inbound::ReceiptOutcome::Matched);
    EXPECT_FALSE(inbound::receipts_waiting());
    auto recs = records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].receipt_message_id, "GW00000001");
}

TEST_F(ReceiptThreadTest, UnmatchedReceiptRetriesThenPassesOnUnmatched) {
    const std::string rct = store_rct("zz-9");
    // Past the wait for its submit response.
    ASSERT_TRUE(platform::set_file_mtime(rct, g_now.load() - 61));
    for (uint32_t n = 1; n <= 3; ++n) {
        EXPECT_EQ(inbound::process_receipt_file(rct, waits_), inbound::ReceiptOutcome::Retry);
        // A scan leaves it alone until its retry time, whatever was recorded.
        EXPECT_FALSE(waits_.due(rct, support::tracking_generation() + 1, platform::monotonic_ms()));
        store::SmsMessage m = store::parse_request(slurp(rct));
        EXPECT_EQ(m.retry_count, n);
        // Not due before n minutes have passed.
        g_now += 60 * n - 1;
        EXPECT_EQ(inbound::process_receipt_file(rct, waits_), inbound::ReceiptOutcome::Skipped);
        g_now += 1;
    }
    EXPECT_EQ(inbound::process_receipt_file(rct, waits_), inbound::ReceiptOutcome::Unmatched);
    auto recs = records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].receipt_message_id, "zz-9");
    EXPECT_EQ(recs[0].local_user_route, "");
    EXPECT_EQ(recs[0].retry_count, 0u);
    EXPECT_EQ(recs[0].data.rfind("id:zz-9 ", 0), 0u);
    EXPECT_EQ(count(".rct"), 0u);
}

TEST_F(ReceiptThreadTest, ConflictingFormsAreNotTakenAndNoWaitWhenItIsOff) {
    set_ini("SMSGW", "ReceiptMatchWait", "0");
    register_id("7B", "GW000000AA.req", "alice");
    register_id("123", "GW000000BB.req", "bob");
    const std::string rct = store_rct("0123");
    EXPECT_EQ(inbound::process_receipt_file(rct, waits_), inbound::ReceiptOutcome::Retry);
    EXPECT_TRUE(records().empty());
}

TEST_F(ReceiptThreadTest, SegmentsOfALongMessageEachFindTheirSegment) {
    const char* ids[] = {"3A00", "3A01", "3A02"};
    for (int i = 0; i < 3; ++i)
        register_id(ids[i], "SAR-GW00000042-7-3-" + std::to_string(i + 1) + ".req", "carol");
    // Receipts in any order, one in decimal.
    store_rct("3A02");
    store_rct(std::to_string(0x3A00));
    store_rct("3a01");
    EXPECT_EQ(inbound::process_receipt_files(waits_), 3u);
    std::vector<std::string> got;
    for (const auto& r : records()) {
        EXPECT_EQ(r.local_user_route, "carol");
        got.push_back(r.receipt_message_id);
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"SAR-GW00000042-7-3-1", "SAR-GW00000042-7-3-2",
                                             "SAR-GW00000042-7-3-3"}));
}

TEST_F(ReceiptThreadTest, GsmAtSignShownAsInvertedExclamationMark) {
    register_id("AB@12", "GW00000005.req", "alice");
    store_rct("AB\xC2\xA1" "12");
    EXPECT_EQ(inbound::process_receipt_files(waits_), 1u);
    auto recs = records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].receipt_message_id, "GW00000005");
}

TEST_F(ReceiptThreadTest, LeftoverOfAnInterruptedHandOverIsOnlyRemoved) {
    register_id("55", "GW00000055.req", "alice");
    const std::string rct = store_rct("55");
    const std::string rec = rct.substr(0, rct.size() - 4) + ".rec";
    ASSERT_TRUE(platform::create_new_file(rec, "[SMS-IN]\r\nData=x\r\n"));
    EXPECT_EQ(inbound::process_receipt_file(rct, waits_), inbound::ReceiptOutcome::Skipped);
    EXPECT_EQ(count(".rct"), 0u);
    EXPECT_EQ(count(".rec"), 1u);
}

TEST(ReceiptText, IdReplacedOnlyAtTheStart) {
    EXPECT_EQ(inbound::replace_receipt_text_id("id:123 sub:001 stat:DELIVRD", "GW1"),
              "id:GW1 sub:001 stat:DELIVRD");
    EXPECT_EQ(inbound::replace_receipt_text_id("ID:123", "GW1"), "id:GW1");
    EXPECT_EQ(inbound::replace_receipt_text_id("id: sub:001", "GW1"), "id:GW1 sub:001");
    EXPECT_EQ(inbound::replace_receipt_text_id("Report: id:123", "GW1"), "Report: id:123");
}

}  // namespace

TEST(ReceiptWaits, TriedAgainOnlyAfterItsBackOffAndNewIds) {
    inbound::ReceiptWaits w;
    const std::string p = "/in/a.rct";
    EXPECT_TRUE(w.due(p, 5, 0));  // not waiting yet
    w.keep(p, 5, 1000);
    struct Case {
        uint64_t gen, at;
        bool due;
    } first[] = {{6, 1010, false}, {5, 1030, false}, {6, 1030, true}, {5, 2000, true}};
    for (const Case& c : first) EXPECT_EQ(w.due(p, c.gen, c.at), c.due) << c.gen << "@" << c.at;
    w.keep(p, 6, 2000);  // the second pause is twice as long
    EXPECT_FALSE(w.due(p, 7, 2040));
    EXPECT_TRUE(w.due(p, 7, 2050));
    EXPECT_TRUE(inbound::receipts_waiting());
    w.forget(p);
    EXPECT_FALSE(inbound::receipts_waiting());
}

TEST(ReceiptTrackingLink, RouteNameOrHttp) {
    const char* cases[][3] = {{"SMPP - a:1", "RouteA", "RouteA"}, {"SMPP - a:1", "", "SMPP - a:1"},
                              {"HTTP - smsc", "RouteH", "HTTP"}, {"http - smsc", "", "HTTP"}};
    for (auto& c : cases) {
        store::SmsMessage m;
        m.link_name = c[0];
        m.resolved_route = c[1];
        EXPECT_EQ(inbound::tracking_link_for(m), c[2]) << c[0];
    }
}
