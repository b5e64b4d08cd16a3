// Outbound HTTP client against independent loopback peers: a Python server
// (plain and TLS, with a CA made here) sending good and broken responses,
// and tinyproxy as the proxy.
#include "frame/http_client.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "frame/http_response.h"
#include "frame_fixture.h"
#include "platform/process.h"

namespace {

using frame_test::slurp;
using frame_test::spit;
using Clock = std::chrono::steady_clock;

// A child that prints its port on its first line (or is told one) and
// serves until its input closes.
struct Peer {
    platform::ChildProcess child;
    unsigned port = 0;
    explicit Peer(std::vector<std::string> argv, unsigned known_port = 0) {
        auto c = platform::spawn_piped(argv, {});
        if (!c) return;
        child = *c;
        std::string line;
        for (char ch; !known_port && ::read(child.stdout_fd, &ch, 1) == 1 && ch != '\n';)
            line += ch;
        port = known_port ? known_port : unsigned(std::atoi(line.c_str()));
        for (int i = 0; i < 100 && known_port; ++i) {  // wait until it listens
            if (platform::tcp_connect("127.0.0.1", uint16_t(port), 200)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~Peer() {
        if (child.pid > 0) platform::wait_child(child, 1000);
    }
};

unsigned free_port() {
    uint16_t p = 0;
    platform::tcp_listen("127.0.0.1", 0, 1, &p);
    return p;
}

std::string run(const std::string& cmd) {
    return std::system(cmd.c_str()) == 0 ? "" : "failed: " + cmd;
}

class HttpClientTest : public frame_test::FrameTest {
  protected:
    static inline std::string dir_;
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/smsgw-httpca-XXXXXX";
        dir_ = std::string(::mkdtemp(tmpl)) + "/";
        // A test CA and a server certificate for "localhost" only (no IP name).
        std::string d = dir_;
        ASSERT_EQ(
            "", run("cd " + d +
                    " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=TestCA "
                    "-keyout ca.key -out ca.pem 2>/dev/null && openssl req -newkey rsa:2048 -nodes "
                    "-subj /CN=localhost -keyout srv.key -out srv.csr 2>/dev/null && printf "
                    "'subjectAltName=DNS:localhost\\n' > ext && openssl x509 -req -in srv.csr -CA "
                    "ca.pem "
                    "-CAkey ca.key -CAcreateserial -days 2 -extfile ext -out srv.pem 2>/dev/null"));
    }
    static void TearDownTestSuite() { run("rm -rf " + dir_); }

    void SetUp() override {
        FrameTest::SetUp();
        configure("");
    }
    void configure(const std::string& extra) { load("[SMSGW]\r\nDebug=Yes\r\n" + extra); }
    std::string trace() { return slurp(home_ + "LOGS/SMSDEBUG.LOG"); }
    std::string peer_script() {
        return std::string(SMSGW_SOURCE_DIR) + "/tests/frame/http_peer.py";
    }
    std::string url(unsigned port, const std::string& path, const char* scheme = "http://",
                    const char* host = "127.0.0.1") {
        return std::string(scheme) + host + ":" + std::to_string(port) + path;
    }
    frame::UrlResponse get(const std::string& u, frame::KeepAlive* ka = nullptr,
                           unsigned timeout = 5, bool any = false, const std::string& proxy = "",
                           int* ok = nullptr) {
        frame::UrlFetch f;
        f.url = u;
        f.keep_alive = ka;
        f.timeout_s = timeout;
        f.accept_any_status = any;
        f.proxy = proxy;
        frame::UrlResponse r;
        int res = frame::fetch_url(f, r);
        if (ok) *ok = res;
        EXPECT_EQ(res == 1, r.error.empty()) << u << " " << r.error;
        return r;
    }
};

TEST_F(HttpClientTest, ResponsesGoodAndBroken) {
    Peer peer({"python3", peer_script()});
    ASSERT_NE(peer.port, 0u);
    configure("HTTPClientMaxResponseKB=64\r\n");
    struct Case {
        const char* path;
        unsigned timeout;
        bool ok;
        const char* body;   // exact body, or a part of it after '~'
        const char* trace;  // expected trace text
    } cases[] = {
        {"/continue", 5, true, "~conn=", "HttpResponseWait:  100 Continue"},
        {"/chunked", 5, true, "hello, world", "Chunked response Ok"},
        {"/close", 5, true, "~until close", "ioctlsocket indicates end of request"},
        {"/short", 5, false, "", "Expected 140 bytes, got 50 bytes"},
        {"/beyond", 5, true, "12345", "HttpResponseWait:  Ok"},
        {"/redirect/8", 5, true, "~GET /ok HTTP/1.1", "Retrieving http://127.0.0.1:%u/redirect/0"},
        {"/redirect/9", 5, false, "", "Too many redirects, not following http://127.0.0.1:%u/ok"},
        {"/redirect-ftp", 5, false, "", "Redirect to a URL that is not HTTP: ftp://127.0.0.1/file"},
        {"/endless-headers", 5, false, "", "Response header block longer than 65536 bytes"},
        {"/chunk-overflow", 5, false, "", "Invalid length in chunked HTTP response"},
        {"/bad-chunk", 5, false, "",
         "HttpChunkComplete:  Invalid character in chunked length field:  7A 7A 0D"},
        {"/flood", 5, false, "", "Response longer than 65536 bytes"},
        {"/drip", 2, false, "", "Time-out waiting for the response"},
        {"/status/404", 5, false, "", "RetrieveURL:  HTTP Response Error Code 404"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        auto start = Clock::now();
        int ok = 0;
        frame::UrlResponse r = get(url(peer.port, c.path), nullptr, c.timeout, false, "", &ok);
        double took = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_LT(took, c.timeout + 1.0);
        EXPECT_EQ(ok, c.ok ? 1 : 0);
        std::string body(r.body());
        if (c.body[0] == '~')
            EXPECT_NE(body.find(c.body + 1), std::string::npos) << body;
        else
            EXPECT_EQ(body, c.body);
        EXPECT_EQ(r.raw.find("100 Continue"), std::string::npos);
        if (!c.ok) {
            EXPECT_TRUE(r.raw.empty() && !r.error.empty());
        }
        char want[200];
        std::snprintf(want, sizeof want, c.trace, peer.port);
        EXPECT_NE(trace().find(want), std::string::npos) << want;
    }
    // Any numeric status is an answer when the caller says so.
    int ok = 0;
    frame::UrlResponse r = get(url(peer.port, "/status/404"), nullptr, 5, true, "", &ok);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.content_type, "text/plain");
    EXPECT_NE(trace().find("got http error response"), std::string::npos);
}

TEST_F(HttpClientTest, RequestBytesForEachUrlForm) {
    Peer peer({"python3", peer_script()});
    configure("WebPort=" + std::to_string(peer.port) + "\r\n");
    std::string p = std::to_string(peer.port);
    struct Case {
        std::string url;
        std::string request;  // what the server received, after the first line of the body
    } cases[] = {
        {"us:pa:ss@127.0.0.1:" + p + "/auth?x=1 \t",
         "GET /auth?x=1 HTTP/1.1\r\nUser-Agent: Kel SMS/MMS Gateway v2014.07.22\r\nAccept: */*\r\n"
         "Connection: close\r\nAuthorization: Basic dXM6cGE6c3M=\r\nHost: 127.0.0.1:" +
             p + "\r\n\r\n"},
        {"httpspost://127.0.0.1:" + p + "/p?a=1",
         "POST /p HTTP/1.1\r\nUser-Agent: Kel SMS/MMS Gateway v2014.07.22\r\nAccept: "
         "*/*\r\nConnection: close\r\n"
         "Host: 127.0.0.1:" +
             p +
             "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 3\r\n\r\na=1"},
        {"HTTPPOST://127.0.0.1:" + p + "/q",
         "POST /q HTTP/1.1\r\nUser-Agent: Kel SMS/MMS Gateway v2014.07.22\r\nAccept: "
         "*/*\r\nConnection: close\r\n"
         "Host: 127.0.0.1:" +
             p +
             "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 0\r\n\r\n"},
        {"http://KelSMSLocal/local",
         "GET /local HTTP/1.1\r\nUser-Agent: Kel SMS/MMS Gateway v2014.07.22\r\nAccept: */*\r\n"
         "Connection: close\r\nHost: 127.0.0.1:" +
             p + "\r\n\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        frame::UrlResponse r = get(c.url);
        std::string body(r.body());
        EXPECT_EQ(body.substr(body.find('\n') + 1), c.request);
    }
    EXPECT_EQ(trace().find("pa:ss"), std::string::npos);
    EXPECT_NE(trace().find("Retrieving us:****@127.0.0.1:" + p + "/auth?x=1"), std::string::npos);
    // The caller's header lines come first and replace the defaults they name.
    frame::UrlFetch f;
    f.url = url(peer.port, "/h");
    f.extra_headers = "User-Agent: probe\r\nAccept: text/plain\r\n";
    frame::UrlResponse r;
    ASSERT_EQ(frame::fetch_url(f, r), 1);
    EXPECT_NE(std::string(r.body()).find(
                  "GET /h HTTP/1.1\r\nUser-Agent: probe\r\nAccept: text/plain\r\nConnection"),
              std::string::npos);
    EXPECT_EQ(std::string(r.body()).find("Kel SMS"), std::string::npos);
}

TEST_F(HttpClientTest, KeepAliveReuseAndReplacement) {
    Peer peer({"python3", peer_script()});
    frame::KeepAlive ka;
    EXPECT_EQ(std::string(get(url(peer.port, "/ok"), &ka).body()).substr(0, 13), "conn=1 req=1\n");
    ASSERT_TRUE(ka.socket.valid());
    std::string second(get(url(peer.port, "/ok"), &ka).body());
    EXPECT_EQ(second.substr(0, 13), "conn=1 req=2\n");
    EXPECT_EQ(second.find("Connection: close"), std::string::npos);
    EXPECT_NE(trace().find("Using keep-alive socket"), std::string::npos);
    // The server closes after answering: the next call notices and reconnects.
    get(url(peer.port, "/keep-then-close"), &ka);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(std::string(get(url(peer.port, "/ok"), &ka).body()).substr(0, 13), "conn=2 req=1\n");
    EXPECT_NE(trace().find("Keep-alive socket failed, opening new connection"), std::string::npos);
    // The server takes the next request and closes without answering.
    get(url(peer.port, "/drop-next"), &ka);
    EXPECT_EQ(std::string(get(url(peer.port, "/ok"), &ka).body()).substr(0, 13), "conn=3 req=1\n");
    EXPECT_NE(trace().find("Keep-alive failed, opening new connection"), std::string::npos);
    // Another host: the connection kept is not used for it.
    EXPECT_EQ(
        std::string(get(url(peer.port, "/ok", "http://", "localhost"), &ka).body()).substr(0, 13),
        "conn=4 req=1\n");
    // Not kept: extra bytes after the body, close-delimited, "Connection: close".
    for (const char* path : {"/beyond", "/close", "/once"}) {
        get(url(peer.port, path), &ka);
        EXPECT_FALSE(ka.socket.valid()) << path;
    }
}

TEST_F(HttpClientTest, RedirectCarriesCredentialOnlyToTheSameHost) {
    Peer peer({"python3", peer_script()});
    std::string body(get(url(peer.port, "/redirect/0", "http://", "u:p@127.0.0.1")).body());
    EXPECT_NE(body.find("Authorization: Basic dTpw\r\n"), std::string::npos) << body;
    EXPECT_NE(trace().find("Re-using Authorization header on redirect request"), std::string::npos);
    body = get(url(peer.port, "/redirect-other", "http://", "u:p@127.0.0.1")).body();
    EXPECT_NE(body.find("Host: localhost:"), std::string::npos);
    EXPECT_EQ(body.find("Authorization"), std::string::npos);
    EXPECT_NE(trace().find("Old Host 127.0.0.1"), std::string::npos);
}

TEST_F(HttpClientTest, TlsVerification) {
    Peer tls({"python3", peer_script(), dir_ + "srv.pem", dir_ + "srv.key"});
    Peer plain({"python3", peer_script()});
    std::string ca = "HTTPClientCAFile=" + dir_ + "ca.pem\r\n";
    struct Case {
        std::string ini;
        const char* host;
        bool ok;
        const char* trace;
    } cases[] = {
        {ca, "localhost", true, "RetrieveURL:  Using SSL"},
        {"", "localhost", false, "SSL/TLS Error - Certificate verification failed"},
        {ca, "127.0.0.1", false, "SSL/TLS Error - Certificate verification failed"},
        {"HTTPClientVerifyCertificates=No\r\n", "127.0.0.1", true, "Using SSL"},
        {"HTTPClientNoVerifyHosts=other.example, localhost\r\n", "localhost", true, "Using SSL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " " + c.ini);
        configure(c.ini);
        int ok = 0;
        frame::UrlResponse r =
            get(url(tls.port, "/ok", "https://", c.host), nullptr, 5, false, "", &ok);
        EXPECT_EQ(ok, c.ok ? 1 : 0) << r.error;
        EXPECT_NE(trace().find(c.trace), std::string::npos);
    }
    configure(ca);
    frame::KeepAlive ka;
    std::string first(get(url(tls.port, "/ok", "https://", "localhost"), &ka).body());
    EXPECT_EQ(
        std::string(get(url(tls.port, "/ok", "https://", "localhost"), &ka).body()).substr(0, 13),
        first.substr(0, 11) + "2\n");
    // From https to http the credential stays behind, even on the same host.
    configure("HTTPClientVerifyCertificates=No\r\n");
    std::string body(
        get(url(tls.port, "/to-plain/" + std::to_string(plain.port), "https://", "u:p@127.0.0.1"))
            .body());
    EXPECT_NE(body.find("GET /ok"), std::string::npos);
    EXPECT_EQ(body.find("Authorization"), std::string::npos);
}

TEST_F(HttpClientTest, ThroughTinyproxy) {
    Peer tls({"python3", peer_script(), dir_ + "srv.pem", dir_ + "srv.key"});
    Peer plain({"python3", peer_script()});
    unsigned pp = free_port();
    spit(home_ + "tinyproxy.conf", "Port " + std::to_string(pp) +
                                       "\nListen 127.0.0.1\nAllow 127.0.0.1\n"
                                       "LogLevel Critical\nConnectPort " +
                                       std::to_string(tls.port) + "\n");
    Peer proxy({"tinyproxy", "-d", "-c", home_ + "tinyproxy.conf"}, pp);
    std::string via = "127.0.0.1:" + std::to_string(pp);
    configure("HTTPClientCAFile=" + dir_ + "ca.pem\r\n");
    std::string body(
        get(url(plain.port, "/ok", "http://", "localhost"), nullptr, 5, false, via).body());
    EXPECT_NE(body.find("GET /ok HTTP/1.1"), std::string::npos) << body;
    EXPECT_NE(trace().find("GET http://localhost:" + std::to_string(plain.port) + "/ok HTTP/1.1"),
              std::string::npos);
    body = get(url(tls.port, "/ok", "https://", "localhost"), nullptr, 5, false, via).body();
    EXPECT_NE(body.find("GET /ok HTTP/1.1"), std::string::npos) << body;
    EXPECT_NE(trace().find("CONNECT localhost:" + std::to_string(tls.port) + " HTTP/1.1"),
              std::string::npos);
    // CONNECT to a port the proxy does not allow.
    frame::UrlResponse r =
        get(url(plain.port, "/ok", "https://", "localhost"), nullptr, 5, false, via);
    EXPECT_EQ(r.error, "Proxy Server rejected SSL/TLS connection attempt");
    // A loopback target bypasses the proxy (here a dead one).
    EXPECT_FALSE(
        std::string(get(url(plain.port, "/ok"), nullptr, 5, false, "127.0.0.1:1").body()).empty());
}

TEST_F(HttpClientTest, PositionalFormsAndConnect) {
    Peer peer({"python3", peer_script()});
    char* resp = nullptr;
    char type[frame::kContentTypeSize];
    char err[200];
    size_t hl = 0, bl = 0;
    platform::Socket s;
    support::SslSessionPtr tls;
    std::string u = url(peer.port, "/ok");
    ASSERT_EQ(frame::RetrieveURL(u.c_str(), nullptr, nullptr, &resp, type, &hl, &bl, 0, false, &s,
                                 &tls, 5, err, sizeof err),
              1);
    EXPECT_EQ(std::string(type), "text/plain");
    EXPECT_EQ(std::strlen(resp), hl + bl);
    EXPECT_TRUE(s.valid());
    EXPECT_TRUE(frame::GWfree(resp));
    u = url(peer.port, "/status/500");
    EXPECT_EQ(frame::RetrieveURL(u.c_str(), nullptr, nullptr, &resp, type, &hl, &bl, 0, false,
                                 nullptr, nullptr, 5, err, sizeof err),
              0);
    EXPECT_EQ(resp, nullptr);
    EXPECT_STREQ(err, "HTTP Response Error Code 500");
    EXPECT_STREQ(type, "");
    unsigned dead = free_port();
    u = url(dead, "/x");
    EXPECT_EQ(frame::RetrieveURL(u.c_str(), nullptr, nullptr, &resp, type, &hl, &bl, 0, false,
                                 nullptr, nullptr, 5, err, sizeof err),
              0);
    EXPECT_STREQ(err, "HTTP Connection failed for 127.0.0.1");
    platform::Socket c;
    EXPECT_EQ(frame::InetServerConnect(c, "127.0.0.1#12", peer.port), 0);
    EXPECT_NE(trace().find("Connected to 127.0.0.1 (127.0.0.1:" + std::to_string(peer.port) + ")"),
              std::string::npos);
}

TEST(HttpResponseReader, FramingRules) {
    using State = frame::HttpResponseReader::State;
    struct Case {
        const char* in;
        bool head, close;
        State want;
        const char* body;
    } cases[] = {
        {"HTTP/1.1 304 Not Modified\n\n", false, false, State::Complete, ""},
        {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n", true, false, State::Complete, ""},
        {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nab", false, true, State::Failed, "ab"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n", false, true,
         State::Failed, "abc"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcX", false, false,
         State::Failed, "abc"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\n", false, false, State::Failed, ""},
        {"HTTP/1.1 200 OK\r\nContent-Length: 99999999\r\n\r\n", false, false, State::Failed, ""},
        {"garbage\n\nbody", false, true, State::Complete, "body"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        frame::HttpResponseReader r(1 << 20, c.head);
        for (const char* p = c.in; *p; ++p) r.feed(std::string_view(p, 1));
        if (c.close) r.finish();
        EXPECT_EQ(r.state(), c.want) << r.error();
        EXPECT_EQ(r.raw().substr(r.header_len()), c.body);
    }
    EXPECT_EQ(
        frame::response_header("HTTP/1.1 200\r\ncontent-TYPE:  text/x \r\n\r\n", "Content-Type"),
        "text/x");
}

}  // namespace
