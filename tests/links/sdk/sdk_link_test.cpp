// Tests of the virtual SMSC: endpoint parsing, the form body, the HTTP
// answer handling, and whole queue passes against a small HTTP server on
// loopback that answers by the message text.
#include "links/sdk/sdk_link.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame/global_state.h"
#include "links/core/worker_fixture.h"
#include "platform/net.h"

namespace {

using namespace worker_test;

// --- a tiny HTTP server ---------------------------------------------------------------

struct SeenRequest {
    std::string head, body;
};

// Answers every request by its body: "FAIL500" in it -> 500, "FAIL404" -> 404,
// otherwise 200 with "SMSC-<n>" as the first body line. Silent mode reads
// the request and never answers; Close mode closes without a word.
class TestHttpServer {
  public:
    enum class Mode { Answer, Silent, Close };
    explicit TestHttpServer(Mode mode = Mode::Answer) : mode_(mode) {
        listener_ = platform::tcp_listen("127.0.0.1", 0, 16, &port_);
        thread_ = std::thread([this] { run(); });
    }
    ~TestHttpServer() {
        stop_ = true;
        thread_.join();
    }
    uint16_t port() const { return port_; }
    std::string endpoint() const { return "127.0.0.1:" + std::to_string(port_); }
    std::vector<SeenRequest> requests() {
        std::lock_guard<std::mutex> lock(mu_);
        return seen_;
    }

  private:
    void run() {
        while (!stop_) {
            platform::Socket c = platform::tcp_accept(listener_, 50);
            if (!c) continue;
            SeenRequest r = read_request(c.fd());
            size_t n;
            {
                std::lock_guard<std::mutex> lock(mu_);
                seen_.push_back(r);
                n = seen_.size();
            }
            if (mode_ == Mode::Close) continue;
            if (mode_ == Mode::Silent) {
                while (!stop_) platform::sleep_ms(10);
                continue;
            }
            std::string answer;
            if (r.body.find("FAIL500") != std::string::npos) {
                answer = "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n";
            } else if (r.body.find("FAIL404") != std::string::npos) {
                answer = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
            } else {
                std::string body = "SMSC-" + std::to_string(n) + "\r\nsecond line\r\n";
                answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                         "\r\n\r\n" + body;
            }
            platform::send_all(c.fd(), answer.data(), answer.size(), 2000);
        }
    }
    static SeenRequest read_request(int fd) {
        std::string raw;
        char buf[2048];
        for (int i = 0; i < 200; ++i) {
            long n = platform::recv_some(fd, buf, sizeof buf, 2000);
            if (n <= 0) break;
            raw.append(buf, size_t(n));
            size_t end = raw.find("\r\n\r\n");
            if (end == std::string::npos) continue;
            size_t len = 0;
            size_t cl = raw.find("Content-Length: ");
            if (cl != std::string::npos && cl < end) len = std::stoul(raw.substr(cl + 16));
            if (raw.size() >= end + 4 + len) return {raw.substr(0, end + 2), raw.substr(end + 4)};
        }
        return {raw, ""};
    }

    Mode mode_;
    platform::Socket listener_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<SeenRequest> seen_;
    std::thread thread_;
};

// A port nothing listens on (bound once, then closed).
uint16_t dead_port() {
    uint16_t port = 0;
    { platform::Socket s = platform::tcp_listen("127.0.0.1", 0, 1, &port); }
    return port;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes a form body; a malformed escape fails the test.
std::map<std::string, std::string> decode_form(const std::string& body) {
    std::map<std::string, std::string> out;
    size_t pos = 0;
    while (pos <= body.size()) {
        size_t amp = body.find('&', pos);
        std::string item =
            body.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
        size_t eq = item.find('=');
        std::string value;
        for (size_t i = eq + 1; eq != std::string::npos && i < item.size(); ++i) {
            if (item[i] == '%') {
                int hi = i + 2 < item.size() ? hex_digit(item[i + 1]) : -1;
                int lo = i + 2 < item.size() ? hex_digit(item[i + 2]) : -1;
                EXPECT_TRUE(hi >= 0 && lo >= 0) << item;
                value += char(hi * 16 + lo);
                i += 2;
            } else {
                value += item[i];
            }
        }
        out[item.substr(0, eq)] = value;
        if (amp == std::string::npos) break;
        pos = amp + 1;
    }
    return out;
}

// Stops the worker after its first pass.
class OnePassSession final : public links::LinkSession {
  public:
    explicit OnePassSession(links::WorkerState& w) : sdk_(w), w_(w) {}
    links::SubmitResult submit(const links::OutboundMessage& m) override { return sdk_.submit(m); }
    bool enquire_link() override { return sdk_.enquire_link(); }
    bool link_ok() override { return sdk_.link_ok(); }
    void yield(bool) override { w_.restart = true; }
    store::ErrorClass classify(int64_t code) const override { return sdk_.classify(code); }
    bool queue_full(int64_t code) const override { return sdk_.queue_full(code); }
    bool enquire_after_failure() const override { return sdk_.enquire_after_failure(); }
    links::WindowedSubmit* windowed() override { return nullptr; }

  private:
    links::SdkLinkSession sdk_;
    links::WorkerState& w_;
};

// --- pure pieces ------------------------------------------------------------------------

TEST(SdkLinkEndpoint, ParsesHostAndPort) {
    struct Case {
        const char* in;
        bool ok;
        const char* host;
        unsigned port;
    } cases[] = {
        {"127.0.0.1:8080", true, "127.0.0.1", 8080},
        {"  gw.example:65535 ", true, "gw.example", 65535},
        {"gw.example", true, "gw.example", 80},
        {"[::1]:9000", true, "::1", 9000},
        {"[::1]", true, "::1", 80},
        {"", false, "", 0},
        {":80", false, "", 0},
        {"host:", false, "", 0},
        {"host:0", false, "", 0},
        {"host:65536", false, "", 0},
        {"host:99999999999999999999", false, "", 0},
        {"host:12a", false, "", 0},
        {"host:-1", false, "", 0},
        {"ho st:80", false, "", 0},
        {"host/path:80", false, "", 0},
        {"[::1", false, "", 0},
        {"[::1]x", false, "", 0},
        {"[::1]:", false, "", 0},
        {"[]:80", false, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        std::optional<links::SdkEndpoint> ep = links::parse_sdk_endpoint(c.in);
        ASSERT_EQ(ep.has_value(), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(ep->host, c.host);
        EXPECT_EQ(ep->port, c.port);
    }
}

TEST(SdkLinkForm, EncodesEveryByteOutsideTheUnreservedSet) {
    EXPECT_EQ(links::form_encode("a b&c=+\xC3\xA9~-._Z9"), "a%20b%26c%3D%2B%C3%A9~-._Z9");
    EXPECT_EQ(links::form_encode(std::string("\0\r\n%", 4)), "%00%0D%0A%25");
    EXPECT_EQ(links::form_encode(""), "");
}

TEST(SdkLinkForm, BodyOfTextAndBinaryMessages) {
    store::SmsMessage msg;
    msg.pid = 64;
    msg.dcs = 245;
    links::OutboundMessage m;
    m.msg = &msg;
    m.message_id = "00000007";
    m.recipient = "+4411";
    m.sender = "+4400";
    m.data = "hi & bye";
    EXPECT_EQ(links::sdk_request_body(m, false),
              "PhoneNumber=%2B4411&Sender=%2B4400&Text=hi%20%26%20bye&UDH=&PID=64&DCS=245&"
              "MessageID=00000007");
    m.binary = true;
    m.data = "0A0B";
    m.udh = "050003AA0201";
    EXPECT_EQ(links::sdk_request_body(m, true),
              "PhoneNumber=4411&Sender=4400&Binary=1&Data=0A0B&UDH=050003AA0201&PID=64&DCS=245&"
              "MessageID=00000007");
    m.msg = nullptr;  // no record: PID and DCS 0
    EXPECT_NE(links::sdk_request_body(m, false).find("&PID=0&DCS=0&"), std::string::npos);
}

TEST(SdkLinkHttp, ParsesAnswers) {
    const std::string long_id(200, 'x');
    struct Case {
        const char* name;
        std::string raw;
        int64_t code;
        const char* error;
        std::string first_line;
    } cases[] = {
        {"200 with id", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n ID-42 \r\nxx", 0, "",
         "ID-42"},
        {"202 empty", "HTTP/1.0 202 Accepted\r\n\r\n", 0, "", ""},
        {"bare LF", "HTTP/1.1 200 OK\nX: y\n\nABC\nDEF", 0, "", "ABC"},
        {"chunked",
         "HTTP/1.1 200 OK\r\ntransfer-encoding: "
         "Chunked\r\n\r\n3\r\nabc\r\n4;x=1\r\nde\nf\r\n0\r\n\r\n",
         0, "", "abcde"},
        {"bad chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n", 0,
         "", ""},
        {"cut chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nabc", 0, "",
         "abc"},
        {"headers cut off", "HTTP/1.1 200 OK\r\nContent-Len", 0, "", ""},
        {"long id cut", "HTTP/1.1 200 OK\r\n\r\n" + long_id, 0, "", std::string(149, 'x')},
        {"404", "HTTP/1.1 404 Not Found\r\n\r\n", 404,
         "HTTPSMSC:  Connection failed, HTTP status code = 404.", ""},
        {"302", "HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n", 302,
         "HTTPSMSC:  Connection failed, HTTP status code = 302.", ""},
        {"401", "HTTP/1.1 401 Unauthorized\r\n\r\n", 401,
         "HTTPSMSC:  Invalid user name or password", ""},
        {"403", "HTTP/1.1 403 Forbidden\r\n\r\n", 403,
         "HTTPSMSC:  Connection denied.  Possible invalid user name or password, or connection "
         "not allowed from this IP address.",
         ""},
        {"nothing", "", -2, "HTTPSMSC:  Invalid response from server h:1", ""},
        {"garbage", "garbage\r\n\r\n", -2, "HTTPSMSC:  Invalid response from server h:1", ""},
        {"status not digits", "HTTP/1.1 2x0 OK\r\n\r\n", -2,
         "HTTPSMSC:  Invalid response from server h:1", ""},
        {"status too long", "HTTP/1.1 2000 OK\r\n\r\n", -2,
         "HTTPSMSC:  Invalid response from server h:1", ""},
        {"no line end", "HTTP/1.1 200 OK", -2, "HTTPSMSC:  Invalid response from server h:1", ""},
        {"status only", "HTTP/1.1 204\r\n\r\n", 0, "", ""},
    };
    links::SdkEndpoint ep{"h", 1};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        links::SdkHttpResult r = links::parse_sdk_http_response(c.raw, ep);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.error_text, c.error);
        EXPECT_EQ(r.first_line, c.first_line);
    }
}

using SdkLinkSessionTest = WorkerTest;

TEST_F(SdkLinkSessionTest, Classification) {
    configure("[SMSGW]\r\nSDKLinkEnabled=Yes\r\n");
    auto w = worker(0);
    links::SdkLinkSession s(*w);
    struct Case {
        int64_t code;
        store::ErrorClass cls;
    } cases[] = {
        {400, store::ErrorClass::Reject},
        {404, store::ErrorClass::Reject},
        {499, store::ErrorClass::Reject},
        {500, store::ErrorClass::Retryable},
        {503, store::ErrorClass::Retryable},
        {302, store::ErrorClass::Retryable},
        {-1, store::ErrorClass::Retryable},
        {-2, store::ErrorClass::Retryable},
        {links::kSdkNoEndpoint, store::ErrorClass::Reject},
        {links::kSdkBadEndpoint, store::ErrorClass::Reject},
    };
    for (const Case& c : cases) EXPECT_EQ(s.classify(c.code), c.cls) << c.code;
    EXPECT_TRUE(s.link_ok());
    EXPECT_TRUE(s.enquire_link());
}

TEST_F(SdkLinkSessionTest, RecipientsWithoutAUsableEndpointAreRefused) {
    struct Case {
        const char* name;
        const char* ini;
        const char* recipient;
        int64_t code;
        const char* error;
    } cases[] = {
        {"not listed", "[SMSGW]\r\nSDKLinkEnabled=Yes\r\n[SDKLink]\r\n+4411=127.0.0.1:1\r\n",
         "+4477", links::kSdkNoEndpoint, "No SDKLink endpoint for +4477"},
        {"table disabled", "[SMSGW]\r\nSDKLinkEnabled=No\r\n[SDKLink]\r\n+4411=127.0.0.1:1\r\n",
         "+4411", links::kSdkNoEndpoint, "No SDKLink endpoint for +4411"},
        {"bad value", "[SMSGW]\r\nSDKLinkEnabled=Yes\r\n[SDKLink]\r\n+4411=127.0.0.1:99999\r\n",
         "+4411", links::kSdkBadEndpoint, "Invalid SDKLink endpoint '127.0.0.1:99999' for +4411"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        configure(c.ini);
        auto w = worker(0);
        links::SdkLinkSession s(*w);
        store::SmsMessage msg;
        msg.phone_number = c.recipient;
        links::OutboundMessage m;
        m.msg = &msg;
        m.recipient = c.recipient;
        links::SubmitResult r = s.submit(m);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.error_text, c.error);
        EXPECT_EQ(s.classify(r.code), store::ErrorClass::Reject);
    }
}

TEST_F(SdkLinkSessionTest, PeersThatNeverAnswerProperly) {
    TestHttpServer silent(TestHttpServer::Mode::Silent);
    TestHttpServer closing(TestHttpServer::Mode::Close);
    const uint16_t dead = dead_port();
    configure("[SMSGW]\r\nSDKLinkEnabled=Yes\r\n[SDKLink]\r\n+1=" + silent.endpoint() +
              "\r\n+2=" + closing.endpoint() + "\r\n+3=127.0.0.1:" + std::to_string(dead) + "\r\n");
    auto w = worker(0);
    links::SdkLinkSession s(*w);
    s.response_ms = 300;  // the silent peer would otherwise hold us two minutes
    struct Case {
        const char* recipient;
        int64_t code;
        std::string error;
    } cases[] = {
        {"+1", links::kSdkNoResponse,
         "HTTPSMSC:  Invalid response from server 127.0.0.1:" + std::to_string(silent.port())},
        {"+2", links::kSdkNoResponse,
         "HTTPSMSC:  Invalid response from server 127.0.0.1:" + std::to_string(closing.port())},
        {"+3", links::kSdkConnectFailed,
         "HTTP Failure -- Unable to connect to HTTP server at 127.0.0.1:" + std::to_string(dead)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.recipient);
        store::SmsMessage msg;
        msg.phone_number = c.recipient;
        links::OutboundMessage m;
        m.msg = &msg;
        m.recipient = c.recipient;
        m.data = "x";
        links::SubmitResult r = s.submit(m);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.error_text, c.error);
        EXPECT_TRUE(r.smsc_id.empty());
        EXPECT_EQ(s.classify(r.code), store::ErrorClass::Retryable);
    }
    EXPECT_EQ(silent.requests().size(), 1u);
    EXPECT_EQ(closing.requests().size(), 1u);
}

// --- whole queue passes ---------------------------------------------------------------------

using SdkLinkQueueTest = WorkerTest;

TEST_F(SdkLinkQueueTest, MessagesArePostedAndTheirOutcomesHandled) {
    TestHttpServer server;
    const uint16_t dead = dead_port();
    configure("[SMSGW]\r\nSDKLinkEnabled=Yes\r\nModem1=SMPP - alpha:2775\r\n[SDKLink]\r\n+4411=" +
              server.endpoint() + "\r\n+4412=" + server.endpoint() + "\r\n+4413=127.0.0.1:" +
              std::to_string(dead) + "\r\n[Modem - SDKLINK - VirtualSMSC]\r\nRemovePlus=Yes\r\n");
    std::string ok =
        queue("00000001.req", message("+4411", "hello w\xC3\xB6rld & co", "Sender=+4400\r\n"));
    std::string retry = queue("00000002.req", message("+4412", "FAIL500"));
    std::string reject = queue("00000003.req", message("+4411", "FAIL404"));
    std::string down = queue("00000004.req", message("+4413", "nobody home"));
    std::string bin =
        queue("00000005.req",
              message("+4412", "0A0B0C", "Binary=1\r\nUDH=050003AA0201\r\nPID=40\r\nDCS=F5\r\n"));
    std::string other = queue("00000006.req", message("+4499", "not ours"));

    auto w = worker(0);
    ASSERT_EQ(w->settings.name, "SDKLINK - VirtualSMSC");
    ASSERT_EQ(w->settings.section, "Modem - SDKLINK - VirtualSMSC");
    OnePassSession s(*w);
    links::serve_queue(*w, s);

    std::vector<SeenRequest> seen = server.requests();
    ASSERT_EQ(seen.size(), 4u);
    std::map<std::string, std::map<std::string, std::string>> by_id;
    for (const SeenRequest& r : seen) {
        EXPECT_TRUE(r.head.starts_with("POST / HTTP/1.1\r\n")) << r.head;
        EXPECT_NE(r.head.find("\r\nHost: " + server.endpoint() + "\r\n"), std::string::npos);
        EXPECT_NE(r.head.find("\r\nContent-Type: application/x-www-form-urlencoded\r\n"),
                  std::string::npos);
        EXPECT_NE(r.head.find("\r\nConnection: close\r\n"), std::string::npos);
        std::map<std::string, std::string> f = decode_form(r.body);
        by_id[f["MessageID"]] = f;
    }
    ASSERT_EQ(by_id.count("00000001"), 1u);
    EXPECT_EQ(by_id["00000001"],
              (std::map<std::string, std::string>{{"PhoneNumber", "4411"},
                                                  {"Sender", "4400"},
                                                  {"Text", "hello w\xC3\xB6rld & co"},
                                                  {"UDH", ""},
                                                  {"PID", "0"},
                                                  {"DCS", "0"},
                                                  {"MessageID", "00000001"}}));
    EXPECT_EQ(by_id["00000005"], (std::map<std::string, std::string>{{"PhoneNumber", "4412"},
                                                                     {"Sender", ""},
                                                                     {"Binary", "1"},
                                                                     {"Data", "0A0B0C"},
                                                                     {"UDH", "050003AA0201"},
                                                                     {"PID", "64"},
                                                                     {"DCS", "245"},
                                                                     {"MessageID", "00000005"}}));
    EXPECT_EQ(by_id.count("00000002"), 1u);
    EXPECT_EQ(by_id.count("00000003"), 1u);

    // 200: sent and deleted.
    EXPECT_FALSE(exists(ok));
    EXPECT_FALSE(exists(bin));
    std::string log = out_log();
    EXPECT_NE(log.find(",00000001,,+4411,OK -- SDKLINK - VirtualSMSC,"), std::string::npos) << log;
    EXPECT_NE(log.find("SMSCMsgId=SMSC-"), std::string::npos) << log;
    // 500: kept for a retry.
    ASSERT_TRUE(exists(retry));
    EXPECT_NE(slurp(retry).find("[ErrorDetail]\r\nRetryCount=1\r\nLastRetryTime=20240305123456\r\n"
                                "LastErrorInfo=HTTPSMSC:  Connection failed, HTTP status code = "
                                "500. -- SDKLINK - VirtualSMSC\r\n"),
              std::string::npos)
        << slurp(retry);
    EXPECT_FALSE(exists(q_ + "00000002.ERR"));
    // 404: refused for good.
    EXPECT_FALSE(exists(reject));
    ASSERT_TRUE(exists(q_ + "00000003.ERR"));
    EXPECT_NE(slurp(q_ + "00000003.ERR").find("PhoneNumber=+4411"), std::string::npos);
    EXPECT_NE(log.find("HTTPSMSC:  Connection failed, HTTP status code = 404. -- SDKLINK - "
                       "VirtualSMSC"),
              std::string::npos)
        << log;
    // Endpoint down: stays queued with the connection failure.
    ASSERT_TRUE(exists(down));
    EXPECT_NE(slurp(down).find("LastErrorInfo=HTTP Failure -- Unable to connect to HTTP server at "
                               "127.0.0.1:" +
                               std::to_string(dead) + " -- SDKLINK - VirtualSMSC\r\n"),
              std::string::npos)
        << slurp(down);
    // A recipient outside [SDKLink] is not the virtual SMSC's business.
    EXPECT_TRUE(exists(other));
    EXPECT_EQ(slurp(other).find("[ErrorDetail]"), std::string::npos);
    EXPECT_EQ(records::counter_today(records::Counter::Sent), 2u);
}

TEST_F(SdkLinkQueueTest, WorkerEndsAtOnceWhenNotEnabled) {
    configure("[SMSGW]\r\nModem1=SMPP - a:1\r\n");
    links::link_worker_main("", 0, 0);
    EXPECT_NE(debug_log().find("SDKLINK - VirtualSMSC is not enabled, local routing thread ends"),
              std::string::npos);
}

// The index-0 worker as the entry routine starts it: it serves the queue in
// a thread until shutdown. Run in a child process because shutdown is
// process-wide and final.
TEST_F(SdkLinkQueueTest, LocalRoutingWorkerDeliversUntilShutdown) {
    EXPECT_EXIT(
        {
            ::alarm(30);  // fail rather than hang
            TestHttpServer server;
            configure(
                "[SMSGW]\r\nEnableLocalRoutingThread=Yes\r\nSDKLinkEnabled=Yes\r\n"
                "[SDKLink]\r\n+4411=" +
                server.endpoint() + "\r\n");
            std::string path = queue("00000001.req", message("+4411", "hello"));
            std::thread worker([] { links::link_worker_main("", 0, 0); });
            for (int i = 0; i < 1000 && exists(path); ++i) platform::sleep_ms(10);
            bool gone = !exists(path);
            // A file queued while the worker idles is taken in a later pass.
            std::string later = queue("00000002.req", message("+4411", "later"));
            support::SetEventForInterface("SMSOut", "SDKLINK - VirtualSMSC");
            for (int i = 0; i < 1000 && exists(later); ++i) platform::sleep_ms(10);
            bool later_gone = !exists(later);
            frame::request_shutdown();
            worker.join();
            if (!gone) std::_Exit(2);
            if (!later_gone) std::_Exit(3);
            if (server.requests().size() != 2) std::_Exit(4);
            if (out_log().find("OK -- SDKLINK - VirtualSMSC") == std::string::npos) std::_Exit(5);
            if (debug_log().find("SDKLink connection OK") == std::string::npos) std::_Exit(6);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
