// Tests of the queue pass and the outcome handling: which files a link
// takes, in which order, and what a success, a retry and a permanent
// failure leave behind in the queue, the logs and the counters.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "links/core/queue_cache.h"
#include "links/core/worker_fixture.h"
#include "platform/text.h"

namespace {

using namespace worker_test;

constexpr const char* kTwoLinks =
    "[SMSGW]\r\nModem1=SMPP - alpha:2775\r\nModem2=SMPP - beta:2775\r\n"
    "[SMPP - alpha:2775]\r\nRoute1=+44*\r\n"
    "[SMPP - beta:2775]\r\nRoute1=+33*\r\n";

constexpr const char* kOneLink = "[SMSGW]\r\nModem1=SMPP - alpha:2775\r\n";

std::vector<std::string> recipients(const FakeSession& s) {
    std::vector<std::string> r;
    for (const Submitted& m : s.submits) r.push_back(m.recipient);
    return r;
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

using QueuePassTest = WorkerTest;

TEST_F(QueuePassTest, SuccessDeletesLogsAndCounts) {
    configure(std::string(kOneLink) + "[SMPP - alpha:2775]\r\nRouteName=GOLD\r\n");
    records::add_counter(records::Counter::OutQueueSize, 5);
    std::string a = queue("00000001.req", message("+4411", "hello", "Sender=ACME\r\n"));
    std::string b = queue("MMSQ__00000002.req", message("+4412", "mms note"));
    auto w = worker(1);
    FakeSession s(*w);
    links::serve_queue(*w, s);

    ASSERT_EQ(s.submits.size(), 2u);
    EXPECT_EQ(s.submits[0].message_id, "00000001");
    EXPECT_EQ(s.submits[0].sender, "ACME");
    EXPECT_EQ(s.submits[0].data, "hello");
    EXPECT_FALSE(exists(a));
    EXPECT_FALSE(exists(b));
    std::string log = out_log();
    EXPECT_NE(log.find(",00000001,,+4411,OK -- SMPP - alpha:2775,"), std::string::npos) << log;
    EXPECT_NE(log.find("SMSCRouteName=GOLD;Sender=ACME;SMSCMsgId=ID1;Text=\"hello\""),
              std::string::npos)
        << log;
    EXPECT_EQ(records::counter_today(records::Counter::Sent), 2u);
    EXPECT_EQ(records::link_counter_today("SMPP - alpha:2775", records::LinkCounter::Sent), 2u);
    // The MMS file was never counted into the queue gauge, so it does not leave it.
    EXPECT_EQ(records::counter_today(records::Counter::OutQueueSize), 4u);
    EXPECT_EQ(w->sent_since_start.load(), 2u);
    // Something was sent: the end-of-pass yield must not wait.
    ASSERT_EQ(s.yields.size(), 1u);
    EXPECT_FALSE(s.yields[0]);
}

TEST_F(QueuePassTest, IdlePassYieldsWithWaitAndClearsStatusFile) {
    configure(kOneLink);
    links::write_link_status("SMPP - alpha:2775", "SMPP Failure -- General Socket Error");
    auto w = worker(1);
    FakeSession s(*w, 2);
    links::serve_queue(*w, s);
    EXPECT_TRUE(s.submits.empty());
    EXPECT_EQ(s.yields, (std::vector<bool>{true, true}));
    EXPECT_FALSE(links::link_is_failing("SMPP - alpha:2775"));
}

TEST_F(QueuePassTest, RetryableFailureKeepsFileWithErrorDetail) {
    configure(kOneLink);
    std::string path = queue("00000001.req", message("+4411", "hi"));
    auto w = worker(1);
    FakeSession s(*w);
    s.by_recipient["+4411"] = refused(0x45, "Submit failed");
    links::serve_queue(*w, s);

    ASSERT_EQ(s.submits.size(), 1u);
    ASSERT_TRUE(exists(path));
    std::string text = slurp(path);
    EXPECT_NE(text.find("[ErrorDetail]\r\nRetryCount=1\r\nLastRetryTime=20240305123456\r\n"
                        "LastErrorInfo=Submit failed -- SMPP - alpha:2775\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(out_log().find("Retry Pending - Submit failed -- SMPP - alpha:2775"),
              std::string::npos);
    EXPECT_FALSE(exists(q_ + "00000001.ERR"));
    EXPECT_EQ(records::counter_today(records::Counter::Retried), 1u);
    EXPECT_NE(debug_log().find("Error:  Submit failed"), std::string::npos);
}

TEST_F(QueuePassTest, PermanentFailuresGoToTheErrorQueue) {
    struct Case {
        const char* name;
        int64_t code;
        const char* extra;  // file content after the message section
        bool kept;
    } cases[] = {
        {"invalid destination", 0x0B, "", false},
        {"receiver rejection", 0x66, "", false},
        {"retries used up", 0x45,
         "[ErrorDetail]\r\nRetryCount=20\r\nLastRetryTime=20240305120000\r\n", false},
        {"queue full retried regardless", 0x14,
         "[ErrorDetail]\r\nRetryCount=20\r\nLastRetryTime=20240305120000\r\n", true},
    };
    configure(kOneLink);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        delivery::route_cache_clear();
        std::string path = queue("00000001.req", message("+4411", "hi") + c.extra);
        std::filesystem::remove(q_ + "00000001.ERR");
        auto w = worker(1);
        FakeSession s(*w);
        s.by_recipient["+4411"] = refused(c.code, "Refused");
        links::serve_queue(*w, s);
        ASSERT_EQ(s.submits.size(), 1u);
        EXPECT_EQ(exists(path), c.kept);
        EXPECT_EQ(exists(q_ + "00000001.ERR"), !c.kept);
        if (!c.kept) {
            EXPECT_NE(slurp(q_ + "00000001.ERR").find("PhoneNumber=+4411"), std::string::npos);
        }
        std::filesystem::remove(path);
    }
    std::string log = out_log();
    EXPECT_EQ(count_of(log, ",Refused -- SMPP - alpha:2775"), 3u) << log;
    EXPECT_EQ(records::counter_today(records::Counter::Failed), 3u);
}

TEST_F(QueuePassTest, QueueFullHoldsTheRecipientForLaterFiles) {
    configure(kOneLink);
    std::string first = queue("00000001.req", message("+4411", "one"));
    std::string second = queue("00000002.req", message("+4411", "two"));
    std::string other = queue("00000003.req", message("+4499", "three"));
    auto w = worker(1);
    FakeSession s(*w);
    s.by_data["one"] = refused(0x14, "Queue full");
    links::serve_queue(*w, s);
    // The second message for the held recipient waits behind the first.
    EXPECT_EQ(recipients(s), (std::vector<std::string>{"+4411", "+4499"}));
    EXPECT_TRUE(exists(first));
    EXPECT_TRUE(exists(second));
    EXPECT_FALSE(exists(other));
    EXPECT_TRUE(delivery::route_cache_lookup(links::queue_full_key("+4411", "SMPP - alpha:2775")));
}

TEST_F(QueuePassTest, TwoLinksTakeOnlyTheirRoutes) {
    configure(kTwoLinks);
    std::string uk = queue("00000001.req", message("+4411", "uk"));
    std::string fr = queue("00000002.req", message("+3311", "fr"));
    auto alpha = worker(1);
    FakeSession sa(*alpha);
    links::serve_queue(*alpha, sa);
    EXPECT_EQ(recipients(sa), (std::vector<std::string>{"+4411"}));
    EXPECT_FALSE(exists(uk));
    EXPECT_TRUE(exists(fr));
    // The refusal left the candidate links for the others in the route cache.
    EXPECT_EQ(delivery::route_cache_lookup("00000002.req").value_or(""), "SMPP - beta:2775");

    auto beta = worker(2);
    FakeSession sb(*beta);
    links::serve_queue(*beta, sb);
    EXPECT_EQ(recipients(sb), (std::vector<std::string>{"+3311"}));
    EXPECT_FALSE(exists(fr));
    EXPECT_FALSE(delivery::route_cache_lookup("00000002.req"));
}

TEST_F(QueuePassTest, SkipQueueRemembersOtherLinksFiles) {
    configure("[SMSGW]\r\nUseExperimentalLogic=Yes\r\nDebug2=Yes\r\n" +
              std::string(kTwoLinks).substr(9));
    queue("00000001.req", message("+3311", "fr"));
    queue("00000002.req", message("+3312", "fr", "SMSCRoute=SMPP - beta:2775\r\n"));
    auto alpha = worker(1);
    FakeSession s(*alpha, 2);
    links::serve_queue(*alpha, s);
    EXPECT_TRUE(s.submits.empty());
    EXPECT_EQ(alpha->skip.count(), 2u);
    EXPECT_EQ(alpha->skip.searchable(), 2u);
    std::string trace = debug_log();
    // Looked at in the first pass only; the second passes them by unopened.
    EXPECT_EQ(count_of(trace, "+3311 not a supported route for SMPP - alpha:2775"), 1u) << trace;
}

TEST_F(QueuePassTest, KeepAliveAtTheEndOfThePass) {
    configure(kOneLink);
    struct Case {
        const char* name;
        unsigned keep_alive_s;
        uint64_t idle_ms;
        bool enquire_ok;
        unsigned enquiries;
        std::vector<bool> yields;
    } cases[] = {
        {"not due", 30, 1000, true, 0, {true}},
        {"due and answered", 30, 31000, true, 1, {true}},
        {"due and lost", 30, 31000, false, 1, {}},
        {"disabled", 0, 600000, true, 0, {true}},
    };
    for (const Case& c : cases) {
        auto w = worker(1);
        w->settings.keep_alive_s = c.keep_alive_s;
        uint64_t now = platform::monotonic_ms();
        w->last_activity_ms = now > c.idle_ms ? now - c.idle_ms : 0;
        FakeSession s(*w);
        s.enquire_ok = c.enquire_ok;
        links::serve_queue(*w, s);
        EXPECT_EQ(s.enquiries, c.enquiries) << c.name;
        EXPECT_EQ(s.yields, c.yields) << c.name;
        EXPECT_EQ(w->connection_error.load(), !c.enquire_ok) << c.name;
    }
}

TEST_F(QueuePassTest, ExplicitRouteForAnotherLinkIsPassedBy) {
    configure(kTwoLinks);
    std::string mine =
        queue("00000001.req", message("+3399", "mine", "SMSCRoute=SMPP - alpha:2775\r\n"));
    std::string theirs =
        queue("00000002.req", message("+4499", "theirs", "SMSCRoute=SMPP - beta:2775\r\n"));
    auto alpha = worker(1);
    FakeSession s(*alpha);
    links::serve_queue(*alpha, s);
    // The explicit route beats the recipient patterns both ways.
    EXPECT_EQ(recipients(s), (std::vector<std::string>{"+3399"}));
    EXPECT_FALSE(exists(mine));
    EXPECT_TRUE(exists(theirs));
    EXPECT_EQ(delivery::route_cache_lookup("00000002.req").value_or(""), "*=SMPP - beta:2775");
}

TEST_F(QueuePassTest, InvalidRouteAndNoLinkFailAsUnroutable) {
    configure(
        "[SMSGW]\r\nModem1=SMPP - alpha:2775\r\n[SMPP - alpha:2775]\r\nRoutePrefOnly=Yes\r\n"
        "Route1=+44*\r\n");
    std::string invalid = queue("00000001.req", message("+4411", "x", "SMSCRoute=~~invalid~~\r\n"));
    std::string nolink = queue("00000002.req", message("+3311", "y"));
    auto w = worker(1);
    FakeSession s(*w);
    links::serve_queue(*w, s);
    EXPECT_TRUE(s.submits.empty());
    EXPECT_FALSE(exists(invalid));
    EXPECT_FALSE(exists(nolink));
    EXPECT_TRUE(exists(q_ + "00000001.ERR"));
    EXPECT_TRUE(exists(q_ + "00000002.ERR"));
    std::string log = out_log();
    EXPECT_EQ(count_of(log, "Error:  No SMSC defined to route message -- SYSTEM"), 2u) << log;
    EXPECT_EQ(records::counter_today(records::Counter::Failed), 2u);
}

TEST_F(QueuePassTest, RefusedByEveryLinkFailsAsUnroutable) {
    configure(
        "[SMSGW]\r\nModem1=SMPP - alpha:2775\r\nModem2=SMPP - beta:2775\r\n"
        "[SMPP - alpha:2775]\r\nRoute1=!+44*\r\n"
        "[SMPP - beta:2775]\r\nRoute1=!+4411*\r\nBinaryOrTextOnly=Text\r\n");
    struct Case {
        const char* name;
        std::string body;
        bool fails;
    } cases[] = {
        {"00000001.req", message("+4411", "x"), true},                   // blocked on both
        {"00000002.req", message("+4412", "00", "Binary=1\r\n"), true},  // beta: text only
        {"00000003.req", message("+4413", "y"), false},                  // beta's
    };
    for (const Case& c : cases) queue(c.name, c.body);
    auto w = worker(1);
    FakeSession s(*w, 2);
    links::serve_queue(*w, s);
    EXPECT_TRUE(s.submits.empty());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(exists(q_ + c.name), !c.fails);
        EXPECT_EQ(exists(q_ + store::message_id_of(c.name) + ".ERR"), c.fails);
    }
    std::string log = out_log();
    EXPECT_EQ(count_of(log, "Error:  No SMSC defined to route message -- SYSTEM"), 2u) << log;
}

TEST_F(QueuePassTest, OversizedRequestFileGoesToTheErrorQueue) {
    configure(kOneLink);
    struct Case {
        const char* name;
        uint64_t size;
        bool moved;
    } cases[] = {
        {"00000001.req", store::kMaxRequestFileBytes + 1, true},
        {"00000002.req", uint64_t(store::kMaxRequestFileBytes) * 2, true},
        {"00000003.req", 0, false},  // an ordinary message next to them
    };
    for (const Case& c : cases) {
        std::string path = queue(c.name, message("+4411", "x"));
        if (c.size) std::filesystem::resize_file(path, c.size);  // sparse
    }
    auto w = worker(1);
    FakeSession s(*w, 2);
    links::serve_queue(*w, s);
    ASSERT_EQ(s.submits.size(), 1u);
    EXPECT_EQ(s.submits[0].message_id, "00000003");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string err = q_ + store::message_id_of(c.name) + ".ERR";
        EXPECT_FALSE(exists(q_ + c.name));
        EXPECT_EQ(exists(err), c.moved);
        if (c.moved) {
            EXPECT_EQ(std::filesystem::file_size(err), c.size);
        }
    }
    std::string log = out_log();
    EXPECT_EQ(count_of(log, "bytes, moved to the error queue -- SYSTEM"), 2u) << log;
    EXPECT_NE(log.find(",00000001,,,Error:  Request file of 16777217 bytes is larger than"),
              std::string::npos)
        << log;
    EXPECT_EQ(count_of(debug_log(), "Unable to load"), 0u);
    EXPECT_EQ(records::counter_today(records::Counter::Failed), 2u);
}

TEST_F(QueuePassTest, RetryNotDueIsPassedBy) {
    configure(kOneLink);
    // Default schedule: 30 s after the second failure.
    std::string waiting = queue("00000001.req", message("+4411", "wait",
                                                        "[ErrorDetail]\r\nRetryCount=2\r\n"
                                                        "LastRetryTime=20240305123430\r\n"));
    std::string due = queue("00000002.req", message("+4412", "due",
                                                    "[ErrorDetail]\r\nRetryCount=2\r\n"
                                                    "LastRetryTime=20240305123426\r\n"));
    auto w = worker(1);
    FakeSession s(*w);
    links::serve_queue(*w, s);
    EXPECT_EQ(recipients(s), (std::vector<std::string>{"+4412"}));
    EXPECT_TRUE(exists(waiting));
    EXPECT_FALSE(exists(due));
}

TEST_F(QueuePassTest, EmptyRecipientDeletedWithoutLogLine) {
    configure(kOneLink);
    std::string empty = queue("00000001.req", "Data=nobody\r\n");
    std::string sent = queue("00000002.req", message("+4411", "x"));
    auto w = worker(1);
    FakeSession s(*w);
    links::serve_queue(*w, s);
    EXPECT_EQ(s.submits.size(), 1u);
    EXPECT_FALSE(exists(empty));
    EXPECT_FALSE(exists(sent));
    std::string log = out_log();
    EXPECT_EQ(log.find("00000001"), std::string::npos) << log;
    EXPECT_NE(log.find("00000002"), std::string::npos) << log;
}

TEST_F(QueuePassTest, SenderChoicePrefixesAndReceiptBits) {
    configure(std::string(kOneLink) +
              "[SMPP - alpha:2775]\r\nSenderAddress=LINKDEF, ACME\r\nSenderAddressOverride=No\r\n"
              "OutRecipPrefixConvert=00:+\r\nOutSenderPrefixConvert=LINK:L\r\n"
              "BlockDeliveryReceiptRequest=Yes\r\nValidity=60\r\n");
    queue("00000001.req", message("0044111", "a",
                                  "Sender=acme\r\nReplyRequested=Yes\r\nReceiptRequested=Yes\r\n"
                                  "NonDelReceiptRequested=Yes\r\n"));
    queue("00000002.req", message("0044112", "b", "Sender=OTHER\r\n"));
    queue("00000003.req", message("0044113", "c"));
    auto w = worker(1);
    FakeSession s(*w);
    links::serve_queue(*w, s);
    ASSERT_EQ(s.submits.size(), 3u);
    EXPECT_EQ(s.submits[0].recipient, "+44111");
    EXPECT_EQ(s.submits[0].sender, "acme");  // listed (any case)
    EXPECT_EQ(s.submits[0].flags, 0x01);     // 0x42 cleared
    EXPECT_EQ(s.submits[1].sender, "LDEF");  // replaced, then converted
    EXPECT_EQ(s.submits[2].sender, "LDEF");
}

TEST_F(QueuePassTest, BlockedReceiptsCountAsDeliveredWithoutSubmit) {
    configure(std::string(kOneLink) + "[SMPP - alpha:2775]\r\nBlockDeliveryReceipt=Yes\r\n");
    std::string receipt =
        queue("00000001.req", message("+4411", "id:1 stat:DELIVRD", "ReceiptDelivered=Yes\r\n"));
    auto w = worker(1);
    FakeSession s(*w);
    links::serve_queue(*w, s);
    EXPECT_TRUE(s.submits.empty());
    EXPECT_FALSE(exists(receipt));
    EXPECT_NE(out_log().find(",00000001,,+4411,OK -- SMPP - alpha:2775"), std::string::npos);
}

TEST_F(QueuePassTest, SegmentsGoInOrderOnOneLink) {
    configure(kTwoLinks);
    // Twelve segments: the listing order (1, 10, 11, 12, 2 ...) is not the send order.
    std::vector<std::string> paths;
    for (int k = 1; k <= 12; ++k)
        paths.push_back(queue("SAR-+4411-1a-12-" + std::to_string(k) + ".req",
                              message("+4411", "part" + std::to_string(k))));
    auto w = worker(1);
    FakeSession s(*w);
    s.by_data["part8"] = refused(0x45, "Busy");
    links::serve_queue(*w, s);
    std::vector<std::string> order;
    for (const Submitted& m : s.submits) order.push_back(m.data);
    EXPECT_EQ(order, (std::vector<std::string>{"part1", "part2", "part3", "part4", "part5", "part6",
                                               "part7", "part8"}));
    for (int k = 0; k < 7; ++k) EXPECT_FALSE(exists(paths[k])) << k + 1;
    for (int k = 7; k < 12; ++k) EXPECT_TRUE(exists(paths[k])) << k + 1;
    // The message now belongs to this link: another link passes the rest by
    // even though its route takes the recipient.
    EXPECT_EQ(slurp(q_ + "SAR-+4411-1a.LCK").substr(0, 17), std::string("SMPP - alpha:2775"));
    configure(
        "[SMSGW]\r\nModem1=SMPP - alpha:2775\r\nModem2=SMPP - beta:2775\r\n"
        "[SMPP - alpha:2775]\r\nRoute1=+44*\r\n[SMPP - beta:2775]\r\nRoute1=+44*\r\n");
    auto beta = worker(2);
    FakeSession sb(*beta);
    links::serve_queue(*beta, sb);
    EXPECT_TRUE(sb.submits.empty());
}

TEST_F(QueuePassTest, RouteQueuesOfOtherRoutesAreNotEntered) {
    configure("[SMSGW]\r\nModem1=SMPP - alpha:2775\r\n[SMPP - alpha:2775]\r\nRouteName=GOLD\r\n");
    std::string own = queue("00000001.req", message("+4411", "own"), "RT_-_GOLD_-_bob");
    std::string other = queue("00000002.req", message("+4412", "other"), "RT_-_SILVER_-_bob");
    std::string user = queue("00000003.req", message("+4413", "user"), "carol");
    auto w = worker(1);
    FakeSession s(*w);
    links::serve_queue(*w, s);
    EXPECT_FALSE(exists(own));
    EXPECT_TRUE(exists(other));
    EXPECT_FALSE(exists(user));
    EXPECT_EQ(s.submits.size(), 2u);
}

TEST_F(QueuePassTest, UserQueuesTakeTurns) {
    configure(std::string(kOneLink) + "UserQueueThreshold=2\r\n");
    for (int k = 0; k < 5; ++k) {
        queue(platform::strprintf("A%07d.req", k), message("+4410", "a"), "anne");
        queue(platform::strprintf("B%07d.req", k), message("+4420", "b"), "bert");
    }
    auto w = worker(1);
    FakeSession s(*w);
    links::serve_queue(*w, s);
    std::string order;
    for (const Submitted& m : s.submits) order += m.data;
    // Two from each in turn, every file within the one pass.
    EXPECT_EQ(order, "aabbaabbab");
    EXPECT_EQ(s.yields.size(), 1u);
}

TEST_F(QueuePassTest, QueueCacheListingReplacesTheScan) {
    configure(std::string(kOneLink) + "UseQCache=Yes\r\n");
    links::queue_cache_clear();
    std::string root = queue("00000001.req", message("+4411", "root"));
    std::string sub = queue("00000002.req", message("+4412", "sub"), "anne");
    links::queue_cache_scan(q_);
    ASSERT_TRUE(frame::settings().use_q_cache);
    ASSERT_TRUE(links::queue_cache_ready());
    // Written after the listing: not seen until the next one.
    std::string late = queue("00000003.req", message("+4413", "late"));
    auto w = worker(1);
    FakeSession s(*w);
    links::serve_queue(*w, s);
    links::queue_cache_clear();
    EXPECT_EQ(recipients(s), (std::vector<std::string>{"+4411", "+4412"}));
    EXPECT_FALSE(exists(root));
    EXPECT_FALSE(exists(sub));
    EXPECT_TRUE(exists(late));
}

TEST_F(QueuePassTest, SecondTransmitterStartsAtItsShareOfTheRoot) {
    configure(std::string(kOneLink) + "[SMPP - alpha:2775]\r\nTransmitterCount=2\r\n");
    for (int k = 0; k < 10; ++k)
        queue(platform::strprintf("%08X.req", k), message("+44", std::to_string(k)));
    auto w = worker(1);
    w->thread_number = 2;
    FakeSession s(*w);
    links::serve_queue(*w, s);
    std::string order;
    for (const Submitted& m : s.submits) order += m.data;
    EXPECT_EQ(order, "5678901234");
}

TEST_F(QueuePassTest, LocalDeliveryHookTakesTheMessage) {
    configure(kOneLink);
    static std::vector<std::string> delivered;
    delivered.clear();
    links::set_local_delivery_hook([](const std::string& path, const store::SmsMessage& msg) {
        if (msg.phone_number == "local") {
            delivered.push_back(path);
            return links::LocalDelivery::Delivered;
        }
        if (msg.phone_number == "later") return links::LocalDelivery::Kept;
        return links::LocalDelivery::NotLocal;
    });
    std::string local = queue("00000001.req", message("local", "x"));
    std::string later = queue("00000002.req", message("later", "x"));
    std::string remote = queue("00000003.req", message("+4411", "x"));
    auto w = worker(1);
    FakeSession s(*w);
    links::serve_queue(*w, s);
    EXPECT_EQ(recipients(s), (std::vector<std::string>{"+4411"}));
    EXPECT_EQ(delivered, (std::vector<std::string>{local}));
    EXPECT_FALSE(exists(local));
    EXPECT_TRUE(exists(later));
    EXPECT_FALSE(exists(remote));
}

TEST_F(QueuePassTest, LocalUserRoutesWaitForLocalDelivery) {
    struct Case {
        const char* name;
        const char* extra;
        const char* user;
    } cases[] = {
        {"00000001.req", "SMSCRoute=localuser:bob\r\n", "bob"},
        {"00000002.req", "SMSCRoute=LocalUser:Carol\r\n", "Carol"},
        {"00000003.req", "RouteToLocalUser=dave\r\n", "dave"},
    };
    configure(kOneLink);
    for (const Case& c : cases) queue(c.name, message("+4411", "x", c.extra));
    auto w = worker(1);
    FakeSession s(*w, 3);
    links::serve_queue(*w, s);
    EXPECT_TRUE(s.submits.empty());
    ASSERT_EQ(s.yields.size(), 3u);
    std::string log = debug_log();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(exists(q_ + c.name));
        EXPECT_FALSE(exists(q_ + store::message_id_of(c.name) + ".ERR"));
        // Three passes, one line.
        EXPECT_EQ(count_of(log, std::string(c.name) + " waits for local delivery to " + c.user),
                  1u)
            << log;
    }
    EXPECT_EQ(records::counter_today(records::Counter::Failed), 0u);
}

TEST_F(QueuePassTest, SymbolicLinksInTheQueueAreSkippedAndTracedOnce) {
    configure(kOneLink);
    std::string outside = home_ + "outside/";
    std::filesystem::create_directories(outside + "RT_-_X_-_");
    spit(outside + "00000008.REQ", "[SMS]\r\n" + message("+4411", "linked file"));
    spit(outside + "RT_-_X_-_/00000009.REQ", "[SMS]\r\n" + message("+4411", "in a linked directory"));
    std::filesystem::create_symlink(outside + "00000008.REQ", q_ + "00000008.REQ");
    std::filesystem::create_directory_symlink(outside + "RT_-_X_-_", q_ + "RT_-_X_-_");
    queue("00000001.req", message("+4411", "real"));
    auto w = worker(1);
    FakeSession s(*w, 3);
    links::serve_queue(*w, s);
    ASSERT_EQ(s.submits.size(), 1u);
    EXPECT_TRUE(exists(outside + "00000008.REQ"));
    EXPECT_TRUE(exists(outside + "RT_-_X_-_/00000009.REQ"));
    std::string log = debug_log();
    EXPECT_EQ(count_of(log, "Symbolic link " + q_ + "00000008.REQ skipped"), 1u) << log;
    EXPECT_EQ(count_of(log, "Symbolic link " + q_ + "RT_-_X_-_ skipped"), 1u) << log;
}

TEST_F(QueuePassTest, AsynchronousOutcomeArrivesFromAnotherThread) {
    configure(kOneLink);
    std::string ok = queue("00000001.req", message("+4411", "ok"));
    std::string bad = queue("00000002.req", message("+4412", "bad"));
    auto w = worker(1);
    FakeSession s(*w);
    s.async = true;
    links::serve_queue(*w, s);
    ASSERT_EQ(s.pending.size(), 2u);
    // Claimed but not answered: nothing has happened to the files yet, and
    // no other worker can claim them.
    EXPECT_TRUE(exists(ok));
    EXPECT_FALSE(platform::claim_file(ok).valid());
    std::thread helper([&] {
        links::SubmitResult good;
        good.smsc_id = "X1";
        links::finish_message(*w, s, *s.pending[0], good);
        links::finish_message(*w, s, *s.pending[1], refused(0x45, "Later"));
    });
    helper.join();
    EXPECT_FALSE(exists(ok));
    EXPECT_TRUE(exists(bad));
    EXPECT_NE(slurp(bad).find("RetryCount=1"), std::string::npos);
    EXPECT_EQ(w->sent_since_start.load(), 1u);
    s.pending.clear();
    EXPECT_TRUE(platform::claim_file(bad).valid());
}

// Outcomes reported on helper threads while the pass goes on, across the
// 256-message settings check.
class ThreadedAsyncSession : public FakeSession {
  public:
    explicit ThreadedAsyncSession(links::WorkerState& w) : FakeSession(w) { async = true; }
    links::WorkerState* worker = nullptr;
    std::vector<std::thread> helpers;
    void submit_async(std::unique_ptr<links::ClaimedMessage> m) override {
        std::shared_ptr<links::ClaimedMessage> owned(std::move(m));
        helpers.emplace_back([this, owned] {
            links::SubmitResult r;
            if (owned->msg.data == "fail") r = refused(0x45, "Later");
            links::finish_message(*worker, *this, *owned, r);
        });
    }
    ~ThreadedAsyncSession() override {
        for (std::thread& t : helpers) t.join();
    }
};

TEST_F(QueuePassTest, ConcurrentAsynchronousOutcomesKeepTheBooks) {
    configure(kOneLink);
    constexpr int kFiles = 300;
    for (int k = 0; k < kFiles; ++k)
        queue(platform::strprintf("%08X.req", k),
              message("+44" + std::to_string(k), k % 3 == 0 ? "fail" : "ok"));
    auto w = worker(1);
    {
        ThreadedAsyncSession s(*w);
        s.worker = w.get();
        links::serve_queue(*w, s);
    }
    int left = 0;
    for (int k = 0; k < kFiles; ++k) {
        std::string path = q_ + platform::strprintf("%08X.req", k);
        bool should_fail = k % 3 == 0;
        EXPECT_EQ(exists(path), should_fail) << k;
        if (should_fail) {
            ++left;
            EXPECT_NE(slurp(path).find("RetryCount=1\r\n"), std::string::npos) << k;
        }
    }
    EXPECT_EQ(w->sent_since_start.load(), uint64_t(kFiles - left));
    EXPECT_EQ(records::counter_today(records::Counter::Sent), uint32_t(kFiles - left));
    EXPECT_EQ(records::counter_today(records::Counter::Retried), uint32_t(left));
    std::string log = out_log();
    EXPECT_EQ(count_of(log, "OK -- SMPP - alpha:2775"), size_t(kFiles - left));
    EXPECT_EQ(count_of(log, "Retry Pending - Later -- SMPP - alpha:2775"), size_t(left));
}

// Throttled files come back first, with their resubmit count.
class ResubmittingSession : public FakeSession {
  public:
    explicit ResubmittingSession(links::WorkerState& w) : FakeSession(w) { async = true; }
    std::vector<std::pair<std::string, unsigned>> resubmits;
    std::vector<unsigned> counts_seen;
    std::vector<std::pair<std::string, unsigned>> take_resubmits() override {
        return std::move(resubmits);
    }
    void submit_async(std::unique_ptr<links::ClaimedMessage> m) override {
        counts_seen.push_back(m->throttle_resubmits);
        FakeSession::submit_async(std::move(m));
    }
};

TEST_F(QueuePassTest, ResubmitsFirstAndVanishedFilesPassedBy) {
    configure(kOneLink);
    queue("00000001.req", message("+4411", "first"));
    std::string last = queue("00000009.req", message("+4419", "throttled"));
    auto w = worker(1);
    ResubmittingSession s(*w);
    s.resubmits = {{q_ + "00000005.req", 1}, {last, 3}};  // the first one is gone
    links::serve_queue(*w, s);
    EXPECT_EQ(recipients(s), (std::vector<std::string>{"+4419", "+4411"}));
    EXPECT_EQ(s.counts_seen, (std::vector<unsigned>{3, 0}));
}

TEST_F(QueuePassTest, HeldAndVanishedFilesArePassedBy) {
    configure(kOneLink);
    std::string held = queue("00000001.req", message("+4411", "held"));
    std::string free_ = queue("00000002.req", message("+4412", "free"));
    platform::FileHandle other = platform::claim_file(held);
    ASSERT_TRUE(other.valid());
    auto w = worker(1);
    FakeSession s(*w);
    links::serve_queue(*w, s);
    EXPECT_EQ(recipients(s), (std::vector<std::string>{"+4412"}));
    EXPECT_TRUE(exists(held));
    EXPECT_FALSE(exists(free_));
}

TEST_F(QueuePassTest, LostLinkEndsTheSessionAndKeepsTheRest) {
    configure(kOneLink);
    for (int k = 1; k <= 3; ++k)
        queue(platform::strprintf("0000000%d.req", k), message("+441" + std::to_string(k), "x"));
    auto w = worker(1);
    FakeSession s(*w, 5);
    s.by_recipient["+441"] = refused(-1, "Connection lost");
    s.by_recipient["+4411"] = refused(-1, "Connection lost");
    s.link_good = false;
    s.enquire_ok = false;
    links::serve_queue(*w, s);
    // The first failure was confirmed by the enquire-link: nothing more is tried.
    EXPECT_EQ(s.submits.size(), 1u);
    EXPECT_EQ(s.enquiries, 1u);
    EXPECT_TRUE(w->connection_error.load());
    EXPECT_TRUE(s.yields.empty());
    EXPECT_TRUE(exists(q_ + "00000002.req"));
    EXPECT_TRUE(exists(q_ + "00000003.req"));
}

TEST_F(QueuePassTest, RecombinesSegmentsWithWdpAdaptation) {
    configure(std::string(kOneLink) + "[SMPP - alpha:2775]\r\nWDPAdaptation=Yes\r\n");
    std::vector<std::string> paths;
    for (int k = 1; k <= 3; ++k)
        paths.push_back(
            queue("SAR-+4411-2b-3-" + std::to_string(k) + ".req",
                  message("+4411", "p" + std::to_string(k),
                          platform::strprintf("UDH=0B00030103%02X050400000000\r\n", k))));
    auto w = worker(1);
    FakeSession s(*w);
    links::serve_queue(*w, s);
    ASSERT_EQ(s.submits.size(), 1u);
    EXPECT_EQ(s.submits[0].data, "p1p2p3");
    EXPECT_EQ(s.submits[0].udh, "06050400000000");
    for (const std::string& p : paths) EXPECT_FALSE(exists(p)) << p;
    EXPECT_EQ(count_of(out_log(), "OK -- SMPP - alpha:2775"), 3u);
}

TEST_F(QueuePassTest, RecombinationWaitsForMissingSegmentsThreeMinutes) {
    configure(std::string(kOneLink) + "[SMPP - alpha:2775]\r\nWDPAdaptation=Yes\r\n");
    std::string one = queue("SAR-+4411-2c-3-1.req", message("+4411", "p1"));
    std::string three = queue("SAR-+4411-2c-3-3.req", message("+4411", "p3"));
    {
        auto w = worker(1);
        FakeSession s(*w);
        links::serve_queue(*w, s);
        EXPECT_TRUE(s.submits.empty());
        EXPECT_TRUE(exists(one));
    }
    platform::set_file_mtime(one, g_now - 181);
    auto w = worker(1);
    FakeSession s(*w);
    links::serve_queue(*w, s);
    ASSERT_EQ(s.submits.size(), 1u);
    EXPECT_EQ(s.submits[0].data, "p1p3");
    EXPECT_FALSE(exists(one));
    EXPECT_FALSE(exists(three));
    std::string trace = debug_log();
    EXPECT_NE(trace.find("Waiting on incomplete message SAR-+4411-2c-3-1.req..."),
              std::string::npos);
    EXPECT_NE(trace.find("Stopped waiting for SAR-+4411-2c-3-2.req"), std::string::npos);
}

}  // namespace
