// The SMPP connection cycle against an SMSC on loopback (the engine's own
// server side): failure texts of each attempt step, synchronous and windowed
// submission through the queue pass, throttling, and the receiver roles.
#include "links/smpp/smpp_link.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/smpp_raw_peer.h"
#include "delivery/route_cache.h"
#include "delivery/routing.h"
#include "frame/debug_trace.h"
#include "frame/frame_fixture.h"
#include "frame/global_state.h"
#include "frame/settings.h"
#include "links/core/link_config.h"
#include "links/core/link_worker.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "protocols/smpp/smpp.h"
#include "records/message_log.h"
#include "support/directories.h"
#include "support/ini_profile.h"

namespace smpp = protocols::smpp;
namespace fs = std::filesystem;

namespace {

using frame_test::slurp;

// Atomically: the worker may reload SMSGW.INI while it runs.
void spit(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::string tmp = fs::path(path).parent_path().string() + "/.tmp-write";
    std::ofstream(tmp, std::ios::binary | std::ios::trunc) << text;
    fs::rename(tmp, path);
}

// Polls pred every 5 ms for at most ms.
template <class F>
bool eventually(F pred, unsigned ms = 10000) {
    uint64_t start = platform::monotonic_ms();
    while (!pred()) {
        if (platform::monotonic_ms() - start > ms) return false;
        platform::sleep_ms(5);
    }
    return true;
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// ---- an SMSC on loopback ----------------------------------------------------------------

class TestSmsc;
std::atomic<TestSmsc*> g_smsc{nullptr};

class TestSmsc {
  public:
    // Status answered to the n-th submit (counted from 1).
    std::function<uint32_t(unsigned n)> submit_status = [](unsigned) { return 0u; };
    uint32_t bind_status = 0;  // non-zero: every login refused with it
    // Runs on a session thread right after a receiver (or transceiver) bind.
    std::function<void(int fd)> on_receiver_bound;

    TestSmsc() {
        listener_ = platform::tcp_listen("127.0.0.1", 0, 16, &port_);
        g_smsc = this;
        smpp::SMPPServerSetReceiveMessageCallback(
            [](std::string_view, std::string_view, std::string_view, std::string_view recipient,
               int, int, std::string_view, std::string_view message, int, int, std::string_view,
               std::string& message_id, std::string_view option_text) -> int {
                TestSmsc* s = g_smsc.load();
                if (!s) return 0x08;
                return int(s->on_submit(recipient, message, option_text, message_id));
            });
    }
    ~TestSmsc() {
        stop_ = true;
        if (acceptor_.joinable()) acceptor_.join();
        for (auto& t : sessions_) t.join();
        g_smsc = nullptr;
        smpp::SMPPServerSetReceiveMessageCallback(nullptr);
    }
    uint16_t port() const { return port_; }

    void start() {
        acceptor_ = std::thread([this] {
            while (!stop_) {
                platform::Socket s = platform::tcp_accept(listener_, 100);
                if (!s) continue;
                std::lock_guard lk(mu_);
                sessions_.emplace_back([this, s = std::move(s)]() mutable { serve(std::move(s)); });
            }
        });
    }

    std::vector<int> bind_kinds() {
        std::lock_guard lk(mu_);
        return binds_;
    }
    std::vector<std::string> recipients() {
        std::lock_guard lk(mu_);
        return recipients_;
    }
    std::vector<std::string> options() {
        std::lock_guard lk(mu_);
        return options_;
    }
    std::vector<uint64_t> submit_times() {
        std::lock_guard lk(mu_);
        return times_;
    }
    unsigned submits() {
        std::lock_guard lk(mu_);
        return unsigned(recipients_.size());
    }
    unsigned unbinds() const { return unbinds_.load(); }

  private:
    uint32_t on_submit(std::string_view recipient, std::string_view message,
                       std::string_view options, std::string& id) {
        unsigned n;
        {
            std::lock_guard lk(mu_);
            recipients_.emplace_back(recipient);
            options_.emplace_back(options);
            times_.push_back(platform::monotonic_ms());
            n = unsigned(recipients_.size());
        }
        id = "SMSC-" + std::string(message);
        return submit_status(n);
    }

    void serve(platform::Socket s) {
        std::string account, password;
        uint32_t seq = 0;
        int kind = 0, version = 0;
        if (!smpp::SMPPServerWaitForLogin(s.fd(), nullptr, 5, account, password, seq, kind,
                                          version)) {
            smpp::SMPPReleaseSession(s.fd());
            return;
        }
        {
            std::lock_guard lk(mu_);
            binds_.push_back(kind);
        }
        if (bind_status) {
            smpp::SMPPServerRejectLogin(s.fd(), nullptr, seq, kind, bind_status);
            smpp::SMPPReleaseSession(s.fd());
            return;
        }
        smpp::SMPPServerAcceptLogin(s.fd(), nullptr, seq, kind, version);
        if ((kind == 1 || kind == 9) && on_receiver_bound) on_receiver_bound(s.fd());
        int end = 0;
        while (!stop_ && !end) smpp::SMPPServerYield(s.fd(), nullptr, 0, account, &end);
        if (end) ++unbinds_;
        smpp::SMPPReleaseSession(s.fd());
    }

    platform::Socket listener_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::mutex mu_;
    std::vector<std::thread> sessions_;
    std::vector<int> binds_;
    std::vector<std::string> recipients_, options_;
    std::vector<uint64_t> times_;
    std::atomic<unsigned> unbinds_{0};
};

// ---- fixture: a private home with one SMPP link --------------------------------------------

class SmppLinkTest : public frame_test::FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        support::ini_drop_cache_for_tests();
        delivery::route_cache_clear();
        delivery::release_routing_lists();
        links::reset_global_throttle_for_tests();
        records::close_message_logs();  // the daily log handle belongs to a home
    }
    void TearDown() override {
        smpp::SMPPSetReceiveMessageCallback(nullptr);
        records::close_message_logs();
        delivery::release_routing_lists();
        delivery::route_cache_clear();
        FrameTest::TearDown();
    }

    // Writes SMSGW.INI with Modem1 = the link on port and the link keys,
    // loads the settings and prepares the worker state.
    void configure(uint16_t port, const std::string& link_keys,
                   const std::string& global_keys = "") {
        link_ = "SMPP - 127.0.0.1:" + std::to_string(port);
        spit(home_ + "SMSGW.INI", "[SMSGW]\r\nModem1=" + link_ + "\r\nDebug=Yes\r\n" + global_keys +
                                      "[" + link_ + "]\r\nUserName=acct\r\nPassword=secret\r\n" +
                                      link_keys);
        support::ini_drop_cache_for_tests();
        frame::load_global_settings();
        delivery::reload_routing_lists();
        time_t t = time(nullptr);
        struct tm tm {};
        localtime_r(&t, &tm);
        w_.link_index = 1;
        w_.thread_number = 1;
        w_.settings = links::load_link_settings(link_, unsigned(tm.tm_wday));
        w_.restart = false;
        w_.failure_count = 0;
    }

    std::string queue_dir() const { return frame::settings().q_dir; }

    // Queues n messages named "<prefix>NN.REQ".
    std::vector<std::string> queue_messages(unsigned n, const std::string& prefix = "M",
                                            const std::string& extra = "") {
        fs::create_directories(queue_dir());
        std::vector<std::string> paths;
        for (unsigned i = 0; i < n; ++i) {
            char name[32];
            snprintf(name, sizeof name, "%s%04u.REQ", prefix.c_str(), i);
            std::string path = queue_dir() + name;
            char body[160];
            snprintf(body, sizeof body, "[SMS]\r\nPhoneNumber=+44770090%04u\r\nData=Text %u\r\n", i,
                     i);
            // Queued before the cycle starts: nobody reads a half-written file.
            std::ofstream(path, std::ios::binary | std::ios::trunc) << body << extra;
            paths.push_back(path);
        }
        return paths;
    }

    size_t queued(const std::vector<std::string>& paths) const {
        size_t n = 0;
        for (const auto& p : paths) n += fs::exists(p) ? 1 : 0;
        return n;
    }

    std::string message_log() const {
        std::string all;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(home_ + "LOGS", ec))
            if (e.path().filename().string().rfind("SMSOUT-", 0) == 0) all += slurp(e.path());
        return all;
    }
    std::string debug_log() const { return slurp(home_ + "LOGS/SMSDEBUG.LOG"); }

    // Runs the cycle on its own thread until stop().
    void start_cycle() {
        cycle_ = std::thread([this] { links::run_smpp_cycle(w_); });
    }
    void stop_cycle() {
        w_.restart = true;
        if (cycle_.joinable()) cycle_.join();
    }

    std::string link_;
    links::WorkerState w_;
    std::thread cycle_;
};

// ---- pure helpers ------------------------------------------------------------------------------

TEST(SmppLinkOptions, OptionTextJoinsPresentItemsInOrder) {
    struct Case {
        std::string options, user, service, validity, link_validity, expected;
    } cases[] = {
        {"", "", "", "", "", ""},
        {"SMPPOption_a=1", "", "", "", "", "SMPPOption_a=1"},
        {"", "alice", "", "", "", "LocalUser=alice"},
        {"", "", "CMT", "", "", "ServiceType=CMT"},
        {"", "", "", "", "1440", "Validity=1440"},
        {"", "", "", "60", "1440", "Validity=60"},
        {"a=1; b=2", "bob", "WAP", "5", "", "a=1; b=2; LocalUser=bob; ServiceType=WAP; Validity=5"},
        {"a=1; ", "bob", "", "", "", "a=1; LocalUser=bob"},
        {"", "u", "", "", "10", "LocalUser=u; Validity=10"},
    };
    for (const auto& c : cases) {
        store::SmsMessage m;
        m.smpp_options = c.options;
        m.submit_user = c.user;
        m.service_type = c.service;
        m.validity = c.validity;
        EXPECT_EQ(links::smpp_option_text(m, c.link_validity), c.expected) << c.options;
    }
}

TEST(SmppLinkOptions, EngineCodesAndThreadCounts) {
    EXPECT_EQ(links::smpp_status_code(0), 0);
    EXPECT_EQ(links::smpp_status_code(0x58), 0x58);
    EXPECT_EQ(links::smpp_status_code(0xFFFFFFFFu), -1);
    EXPECT_EQ(links::smpp_status_code(0xFFFFFFFEu), -2);
    EXPECT_EQ(links::smpp_status_code(0xFFFFFFFDu), -3);
    EXPECT_EQ(links::smpp_status_code(0xFFFFFFFCu), int64_t(0xFFFFFFFCu));

    links::LinkSettings s;
    s.transmitter_count = 1;
    s.receiver_count = 3;
    EXPECT_FALSE(links::smpp_thread_beyond_counts(s, 1));
    EXPECT_FALSE(links::smpp_thread_beyond_counts(s, 3));
    EXPECT_TRUE(links::smpp_thread_beyond_counts(s, 4));
}

// ---- connection failures ----------------------------------------------------------------------

TEST_F(SmppLinkTest, SmppLinkFailureTextsReachStatusFileAndLogs) {
    struct Case {
        const char* what;
        std::function<std::string(SmppLinkTest&, uint16_t& port, std::string& keys,
                                  std::unique_ptr<TestSmsc>& smsc, platform::Socket& hold)>
            prepare;
    } cases[] = {
        {"bind refused",
         [](SmppLinkTest&, uint16_t& port, std::string&, std::unique_ptr<TestSmsc>& smsc,
            platform::Socket&) {
             smsc = std::make_unique<TestSmsc>();
             smsc->bind_status = 0x0D;
             smsc->start();
             port = smsc->port();
             return std::string(
                 "SMPP Failure -- Unable to login to SMPP server with specified "
                 "parameters:  ESME_RBINDFAIL - Bind Failed");
         }},
        {"connect refused",
         [](SmppLinkTest&, uint16_t& port, std::string&, std::unique_ptr<TestSmsc>&,
            platform::Socket&) {
             platform::Socket l = platform::tcp_listen("127.0.0.1", 0, 1, &port);
             l.close();  // nothing listens there now
             return "SMPP Failure -- Unable to connect to SMPP server at 127.0.0.1:" +
                    std::to_string(port);
         }},
        {"TLS refused",
         [](SmppLinkTest&, uint16_t& port, std::string& keys, std::unique_ptr<TestSmsc>& smsc,
            platform::Socket&) {
             // A plain SMSC reads the TLS greeting as a broken PDU and hangs up.
             smsc = std::make_unique<TestSmsc>();
             smsc->start();
             port = smsc->port();
             keys = "UseSSL=Yes\r\n";
             return "SMPP Failure -- Unable to negotiate SSL/TLS connection with SMPP server at "
                    "127.0.0.1:" +
                    std::to_string(port);
         }},
        {"sender port busy",
         [](SmppLinkTest&, uint16_t& port, std::string& keys, std::unique_ptr<TestSmsc>& smsc,
            platform::Socket& hold) {
             smsc = std::make_unique<TestSmsc>();
             smsc->start();
             port = smsc->port();
             uint16_t busy = 0;
             hold = platform::tcp_listen("127.0.0.1", 0, 1, &busy);
             keys = "SenderPort=" + std::to_string(busy) + "\r\nBindIP=127.0.0.1\r\n";
             return "SMPP Failure -- Unable to bind to SMPP sender port " + std::to_string(busy);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        uint16_t port = 0;
        std::string keys;
        std::unique_ptr<TestSmsc> smsc;
        platform::Socket hold;
        std::string expected = c.prepare(*this, port, keys, smsc, hold);
        // No separate receiver: its own attempts would write the status file too.
        configure(port, keys + "ReceiverCount=0\r\n");
        uint32_t before = w_.failure_count;
        links::run_smpp_cycle(w_);
        EXPECT_EQ(w_.failure_count, before + 1);
        EXPECT_EQ(slurp(links::link_status_path(link_)), expected);
        EXPECT_NE(message_log().find(expected), std::string::npos) << message_log();
        EXPECT_NE(debug_log().find(expected), std::string::npos);
        links::stop_smpp_link_threads();
        fs::remove(links::link_status_path(link_));
    }
}

TEST_F(SmppLinkTest, SmppLinkSenderPortBoundIsTraced) {
    TestSmsc smsc;
    smsc.start();
    // A free local port: take one and let it go.
    uint16_t local = 0;
    platform::tcp_listen("127.0.0.1", 0, 1, &local).close();
    configure(smsc.port(), "SenderPort=" + std::to_string(local) + "\r\n");
    start_cycle();
    EXPECT_TRUE(eventually([&] { return !smsc.bind_kinds().empty(); }));
    stop_cycle();
    EXPECT_NE(debug_log().find("Debug:  SMPP sender port bound to " + std::to_string(local)),
              std::string::npos);
    EXPECT_EQ(w_.failure_count, 0u);
}

// ---- sending ------------------------------------------------------------------------------------

TEST_F(SmppLinkTest, SmppLinkSyncSubmitsDeliverAndDeleteFiles) {
    TestSmsc smsc;
    smsc.start();
    configure(smsc.port(), "ReceiverCount=0\r\nValidity=1440\r\n");
    auto files = queue_messages(5, "S", "SubmitUser=alice\r\nServiceType=CMT\r\n");
    start_cycle();
    EXPECT_TRUE(eventually([&] { return queued(files) == 0; })) << queued(files) << " left";
    stop_cycle();
    EXPECT_EQ(smsc.submits(), 5u);
    EXPECT_EQ(smsc.bind_kinds(), std::vector<int>{2});
    EXPECT_TRUE(eventually([&] { return smsc.unbinds() == 1; }, 5000))
        << "a clean session end unbinds";
    auto recips = smsc.recipients();
    std::sort(recips.begin(), recips.end());
    for (unsigned i = 0; i < recips.size(); ++i) {
        char want[32];
        snprintf(want, sizeof want, "+44770090%04u", i);
        EXPECT_EQ(recips[i], want);
    }
    for (const auto& o : smsc.options()) EXPECT_NE(o.find("ServiceType=CMT"), std::string::npos);
    std::string log = message_log();
    EXPECT_EQ(count_of(log, "OK -- " + link_), 5u) << log;
    EXPECT_FALSE(fs::exists(links::link_status_path(link_)));
}

TEST_F(SmppLinkTest, SmppLinkAsyncWindowDeliversEveryFile) {
    TestSmsc smsc;
    smsc.start();
    configure(smsc.port(), "ReceiverCount=0\r\nWindowSize=10\r\n");
    auto files = queue_messages(50, "A");
    start_cycle();
    EXPECT_TRUE(eventually([&] { return queued(files) == 0; })) << queued(files) << " left";
    stop_cycle();
    EXPECT_EQ(smsc.submits(), 50u);
    EXPECT_EQ(links::smpp_async_pending_total(), 0u);
    std::string log = message_log();
    EXPECT_EQ(count_of(log, "OK -- " + link_), 50u);
    EXPECT_NE(debug_log().find("ThreadSmppSubmitAsyncHelper"), std::string::npos);
    // The SMSC ids reached the log lines.
    EXPECT_NE(log.find("SMSCMsgId=SMSC-Text 7"), std::string::npos);
}

TEST_F(SmppLinkTest, SmppLinkAsyncWithoutHelpersStillDelivers) {
    TestSmsc smsc;
    smsc.start();
    configure(smsc.port(), "ReceiverCount=0\r\nWindowSize=4\r\n",
              "SmppSubmitAsyncHelperThread=No\r\n");
    auto files = queue_messages(20, "B");
    start_cycle();
    EXPECT_TRUE(eventually([&] { return queued(files) == 0; })) << queued(files) << " left";
    stop_cycle();
    EXPECT_EQ(smsc.submits(), 20u);
    EXPECT_EQ(debug_log().find("ThreadSmppSubmitAsyncHelper"), std::string::npos);
}

TEST_F(SmppLinkTest, SmppLinkThrottledSubmitWaitsAndKeepsTheFile) {
    TestSmsc smsc;
    smsc.submit_status = [](unsigned) { return 0x58u; };
    smsc.start();
    configure(smsc.port(), "ReceiverCount=0\r\nSMPPThrottleErrorDelay=1\r\n");
    auto files = queue_messages(1, "T");
    start_cycle();
    EXPECT_TRUE(eventually([&] { return smsc.submits() >= 3; }, 8000));
    stop_cycle();
    auto times = smsc.submit_times();
    ASSERT_GE(times.size(), 3u);
    ASSERT_LE(times.size(), 5u);
    for (size_t i = 1; i < times.size(); ++i)
        EXPECT_GE(times[i] - times[i - 1], 950u) << "attempt " << i + 1 << " came too early";
    EXPECT_EQ(queued(files), 1u) << "a throttled message stays queued";
    EXPECT_GE(count_of(message_log(), "Retry Pending - ESME_RTHROTTLED"), times.size() - 1);
}

TEST_F(SmppLinkTest, SmppLinkAsyncThrottleResubmitsLater) {
    TestSmsc smsc;
    smsc.submit_status = [](unsigned n) { return n == 1 ? 0x58u : 0u; };
    smsc.start();
    configure(smsc.port(), "ReceiverCount=0\r\nWindowSize=5\r\nSMPPThrottleErrorDelay=1\r\n");
    auto files = queue_messages(3, "R");
    start_cycle();
    // Two go through at once; the throttled one stays queued for its retry.
    EXPECT_TRUE(eventually([&] { return queued(files) <= 1 && smsc.submits() >= 3; }));
    stop_cycle();
    EXPECT_LE(queued(files), 1u);
    EXPECT_EQ(links::smpp_async_pending_total(), 0u);
    EXPECT_NE(message_log().find("Retry Pending - ESME_RTHROTTLED"), std::string::npos);
}

TEST_F(SmppLinkTest, SmppLinkAsyncUnansweredSubmitsStayQueued) {
    // The SMSC takes the submits but never answers while the session lasts.
    std::atomic<bool> release{false};
    TestSmsc smsc;
    smsc.submit_status = [&](unsigned) {
        for (int i = 0; i < 2000 && !release; ++i) platform::sleep_ms(5);
        return 0u;
    };
    smsc.start();
    configure(smsc.port(), "ReceiverCount=0\r\nWindowSize=4\r\nCommandTimeout=1\r\n");
    auto files = queue_messages(8, "U");
    start_cycle();
    EXPECT_TRUE(eventually([&] { return smsc.submits() >= 1; }));
    platform::sleep_ms(200);
    stop_cycle();
    release = true;
    EXPECT_EQ(links::smpp_async_pending_total(), 0u) << "every record was released";
    EXPECT_EQ(queued(files), 8u) << "no unanswered message may be lost";
    EXPECT_EQ(count_of(message_log(), "OK -- "), 0u);
}

// ---- receivers ----------------------------------------------------------------------------------

struct Deliveries {
    std::mutex mu;
    std::vector<std::string> texts;
    void install() {
        smpp::SMPPSetReceiveMessageCallback(
            [this](std::string_view, std::string_view, std::string_view, int, int, std::string_view,
                   std::string_view message, int, int, std::string_view, std::string_view) {
                std::lock_guard lk(mu);
                texts.emplace_back(message);
                return 0;
            });
    }
    size_t size() {
        std::lock_guard lk(mu);
        return texts.size();
    }
};

// The SMSC delivers one message to the first connection that may receive;
// delivered (1 until then) takes the gateway's answer.
void deliver_on_receiver_bind(TestSmsc& smsc, std::atomic<uint32_t>& delivered, std::string to,
                              std::string text, std::string smsc_id) {
    smsc.on_receiver_bound = [&delivered, to, text, smsc_id](int fd) {
        delivered = smpp::SMPPServerSubmitMessage(fd, nullptr, "acct", to, "123", 0, 0, "", text, 0,
                                                  0, "", smsc_id, "");
    };
}

TEST_F(SmppLinkTest, SmppLinkReceiveOnlyThreadNeverTakesFiles) {
    Deliveries rx;
    rx.install();
    std::atomic<uint32_t> delivered{1};
    TestSmsc smsc;
    deliver_on_receiver_bind(smsc, delivered, "+4470", "inbound", "D1");
    smsc.start();
    configure(smsc.port(), "TransmitterCount=1\r\nReceiverCount=2\r\n");
    w_.thread_number = 2;
    auto files = queue_messages(3, "N");
    start_cycle();
    EXPECT_TRUE(eventually([&] { return delivered.load() != 1u; }));
    EXPECT_EQ(delivered.load(), 0u) << "the delivery was answered with success";
    platform::sleep_ms(300);
    stop_cycle();
    EXPECT_EQ(smsc.bind_kinds(), std::vector<int>{1});
    EXPECT_EQ(smsc.submits(), 0u);
    EXPECT_EQ(queued(files), 3u);
    ASSERT_EQ(rx.size(), 1u);
    EXPECT_EQ(rx.texts[0], "inbound");
    EXPECT_NE(debug_log().find("Receive only connection"), std::string::npos);
}

TEST_F(SmppLinkTest, SmppLinkTransmitterStartsSeparateReceiver) {
    Deliveries rx;
    rx.install();
    std::atomic<uint32_t> delivered{1};
    TestSmsc smsc;
    deliver_on_receiver_bind(smsc, delivered, "+4471", "via receiver", "D2");
    smsc.start();
    configure(smsc.port(), "TransmitterCount=1\r\nReceiverCount=1\r\nKeepAlive=0\r\n");
    start_cycle();
    EXPECT_TRUE(eventually([&] { return smsc.bind_kinds().size() == 2; }));
    EXPECT_TRUE(eventually([&] { return delivered.load() != 1u; }));
    EXPECT_EQ(delivered.load(), 0u);
    stop_cycle();
    auto kinds = smsc.bind_kinds();
    std::sort(kinds.begin(), kinds.end());
    EXPECT_EQ(kinds, (std::vector<int>{1, 2}));
    EXPECT_EQ(rx.size(), 1u);
    // Both connections were unbound when the worker left.
    EXPECT_TRUE(eventually([&] { return smsc.unbinds() == 2; }, 5000)) << smsc.unbinds();
}

TEST_F(SmppLinkTest, SmppLinkTransceiverWindowDrainsDeliveriesOnQueueThreads) {
    Deliveries rx;
    rx.install();
    std::atomic<uint32_t> delivered{1};
    TestSmsc smsc;
    deliver_on_receiver_bind(smsc, delivered, "+4472", "to transceiver", "D3");
    smsc.start();
    configure(smsc.port(), "ReceiveSingleConnection=Yes\r\nWindowSize=5\r\n",
              "AsyncCallbackThreads=2\r\nDebug2=Yes\r\n");
    auto files = queue_messages(5, "X");
    start_cycle();
    EXPECT_TRUE(eventually([&] { return delivered.load() != 1u && queued(files) == 0; }));
    EXPECT_EQ(delivered.load(), 0u);
    stop_cycle();
    EXPECT_EQ(smsc.bind_kinds(), std::vector<int>{9}) << "one transceiver, no receiver";
    EXPECT_EQ(smsc.submits(), 5u);
    ASSERT_EQ(rx.size(), 1u);
    EXPECT_EQ(rx.texts[0], "to transceiver");
    // AsyncCallbackThreads receive-queue threads (Debug2 traces each thread's start).
    EXPECT_EQ(count_of(debug_log(), "AssignThreadNumber:  ThreadProcessSMPPReceiveAsyncQ"), 2u);
}

TEST_F(SmppLinkTest, SmppLinkReceiveOnlyLeavesWhenSettingsChange) {
    TestSmsc smsc;
    smsc.start();
    configure(smsc.port(), "TransmitterCount=1\r\nReceiverCount=2\r\n");
    w_.thread_number = 2;
    start_cycle();
    ASSERT_TRUE(eventually([&] { return smsc.bind_kinds().size() == 1; }));
    // One receiver fewer: thread 2 is no longer configured.
    platform::sleep_ms(20);  // a new modification time
    std::string ini = slurp(home_ + "SMSGW.INI");
    ini.replace(ini.find("ReceiverCount=2"), 15, "ReceiverCount=1");
    spit(home_ + "SMSGW.INI", ini);
    ASSERT_TRUE(eventually([&] { return w_.restart.load(); }, 5000));
    cycle_.join();
    EXPECT_NE(debug_log().find("Connection settings have changed, requiring a reconnection"),
              std::string::npos);
    EXPECT_TRUE(eventually([&] { return smsc.unbinds() == 1; }, 5000));

    // The outer loop reads the settings again; the next cycle finds the
    // thread number beyond the counts and ends the thread without connecting.
    w_.settings = links::load_link_settings(link_, 0);
    w_.restart = false;
    EXPECT_EQ(w_.settings.receiver_count, 1u);
    start_cycle();
    cycle_.join();
    EXPECT_NE(debug_log().find("Stopping transmitter"), std::string::npos);
    EXPECT_TRUE(w_.end_thread);
    EXPECT_EQ(smsc.bind_kinds().size(), 1u);
}

TEST_F(SmppLinkTest, SmppLinkThreadBeyondCountsStops) {
    TestSmsc smsc;
    smsc.start();
    configure(smsc.port(), "TransmitterCount=1\r\nReceiverCount=1\r\n");
    w_.thread_number = 2;
    start_cycle();
    cycle_.join();  // returns at once: nothing for thread 2 to do
    EXPECT_TRUE(w_.end_thread);
    EXPECT_TRUE(smsc.bind_kinds().empty());
    EXPECT_EQ(count_of(debug_log(), "Stopping transmitter"), 1u);
}

// ---- submit fields on the wire ----------------------------------------------------------------

// An SMSC speaking raw PDUs: keeps every submit_sm it is sent, answers
// every request with success.
class RawSmsc {
  public:
    RawSmsc() { listener_ = platform::tcp_listen("127.0.0.1", 0, 4, &port_); }
    ~RawSmsc() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    uint16_t port() const { return port_; }
    void start() {
        thread_ = std::thread([this] {
            while (!stop_) {
                smpp_test::RawPeer peer;
                peer.s = platform::tcp_accept(listener_, 100);
                if (!peer.s) continue;
                while (!stop_) {
                    smpp::Pdu p;
                    if (!peer.recv(p, 200)) {
                        // Readable yet nothing read: the link closed the connection.
                        if (platform::wait_readable(peer.s.fd(), 0) > 0) break;
                        continue;
                    }
                    if (p.command_id == smpp::SUBMIT_SM) {
                        std::lock_guard lk(mu_);
                        submits_.push_back(p);
                    }
                    peer.answer(p, 0, p.command_id == smpp::SUBMIT_SM ? "RAW1" : "");
                    if (p.command_id == smpp::UNBIND) break;
                }
            }
        });
    }
    std::vector<smpp::Pdu> submits() {
        std::lock_guard lk(mu_);
        return submits_;
    }

  private:
    platform::Socket listener_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mu_;
    std::vector<smpp::Pdu> submits_;
};

// A service type is one field: separators in it never set other fields of
// the submit, in either submit mode.
TEST_F(SmppLinkTest, SmppLinkServiceTypeStaysOneField) {
    struct Case {
        const char* keys;
        const char* service_type;
        const char* wire_service_type;  // the field holds 5 characters
    } cases[] = {
        {"ReceiverCount=0\r\n", "WAP; DestTON=9", "WAP; "},
        {"ReceiverCount=0\r\nWindowSize=4\r\n", "WAP; DestTON=9", "WAP; "},
        {"ReceiverCount=0\r\n", "X;Validity=000001000000000R", "X;Val"},
        {"ReceiverCount=0\r\nWindowSize=4\r\n", "; SourceTON=3; DestNPI=7", "; Sou"},
        {"ReceiverCount=0\r\n", "CMT", "CMT"},
    };
    unsigned n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.keys) + c.service_type);
        RawSmsc smsc;
        smsc.start();
        configure(smsc.port(), c.keys);
        auto files = queue_messages(1, "T" + std::to_string(n++),
                                    std::string("ServiceType=") + c.service_type + "\r\n");
        start_cycle();
        EXPECT_TRUE(eventually([&] { return queued(files) == 0; }));
        stop_cycle();
        auto subs = smsc.submits();
        ASSERT_EQ(subs.size(), 1u);
        const smpp::Pdu& p = subs[0];
        EXPECT_EQ(p.service_type, c.wire_service_type);
        EXPECT_EQ(p.dest_addr, "447700900000");
        EXPECT_EQ(unsigned(p.dest_addr_ton), 1u);
        EXPECT_EQ(unsigned(p.dest_addr_npi), 1u);
        EXPECT_EQ(unsigned(p.source_addr_ton), 0u);
        EXPECT_EQ(p.validity_period, "");
    }
}

}  // namespace
