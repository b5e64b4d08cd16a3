// Black-box tests of the gateway's HTTP and HTTPS server: keep-alive and
// pipelining, HTTP/1.0, HTTPS through curl and openssl, the admin redirect,
// caps and bad requests, path escapes, port changes, authentication and its
// back-off, the IP lists, slow clients and the connection cap.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "support/accounts.h"
#include "system/harness.h"

namespace fs = std::filesystem;

namespace {

using systest::Gateway;

uint64_t now_ms() {
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

unsigned free_port() {
    uint16_t port = 0;
    platform::Socket l = platform::tcp_listen("127.0.0.1", 0, 1, &port);
    return port;
}

// A raw client; from may name another loopback source address.
struct Client {
    platform::Socket s;
    std::string buf;

    bool open(unsigned port, const char* from = nullptr) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        s = platform::Socket(fd);
        struct sockaddr_in sa {};
        sa.sin_family = AF_INET;
        if (from) {
            ::inet_pton(AF_INET, from, &sa.sin_addr);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return false;
        }
        sa.sin_port = htons(uint16_t(port));
        ::inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
        return ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }
    bool send(const std::string& d) {
        return platform::send_all(s.fd(), d.data(), d.size(), 5000) == long(d.size());
    }
    // Reads more; false on close or time-out.
    bool more(unsigned timeout_ms) {
        char b[65536];
        long n = platform::recv_some(s.fd(), b, sizeof b, timeout_ms);
        if (n <= 0) return false;
        buf.append(b, size_t(n));
        return true;
    }
    // One response framed by its Content-Length; "" on close or time-out.
    std::string response(unsigned timeout_ms = 5000) {
        uint64_t end = now_ms() + timeout_ms;
        while (true) {
            size_t he = buf.find("\r\n\r\n");
            if (he != std::string::npos) {
                size_t cl = buf.find("Content-Length: ");
                if (cl == std::string::npos || cl > he) cl = buf.find("Content-length: ");
                size_t len = cl < he ? std::stoul(buf.substr(cl + 16)) : 0;
                if (buf.size() >= he + 4 + len) {
                    std::string r = buf.substr(0, he + 4 + len);
                    buf.erase(0, r.size());
                    return r;
                }
            }
            if (now_ms() >= end || !more(unsigned(end - now_ms()))) return "";
        }
    }
    // True when the server closed the connection within timeout_ms.
    bool closed(unsigned timeout_ms) {
        uint64_t end = now_ms() + timeout_ms;
        while (now_ms() < end) {
            char b[512];
            long n = ::recv(s.fd(), b, sizeof b, MSG_DONTWAIT);
            if (n == 0) return true;
            if (n > 0) buf.append(b, size_t(n));
            struct pollfd p {
                s.fd(), POLLIN, 0
            };
            ::poll(&p, 1, 50);
        }
        return false;
    }
};

std::string ask(unsigned port, const std::string& req, const char* from = nullptr) {
    Client c;
    if (!c.open(port, from) || !c.send(req)) return "connect failed";
    return c.response();
}

std::string run(const std::string& cmd) {
    return systest::run_command(cmd);
}

bool wait_port(unsigned port, bool open, unsigned timeout_ms) {
    return systest::wait_for(
        [&] {
            Client c;
            return c.open(port) == open;
        },
        timeout_ms, 100);
}

const std::string kUnknownBody =
    "<HTML><HEAD><TITLE>\r\nUnknown request\r\n</TITLE></HEAD><BODY><H1>\r\nError:  No valid "
    "parameters specified, menu not enabled\r\n</H1>\r\n\r\n</BODY></HTML>\r\n";

std::string unknown_page(const char* version, const char* status, const char* conn) {
    return std::string(version) + " " + status + "\r\nConnection: " + conn +
           "\r\nContent-Type: text/html\r\nExpires: Tue, 01 Jan 1980 1:00:00 GMT\r\nCache-Control: "
           "no-cache\r\nContent-Length: " +
           std::to_string(kUnknownBody.size()) + "\r\n\r\n" + kUnknownBody;
}

class HttpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!systest::test_hooks_built()) GTEST_SKIP() << "needs a build with SMSGW_TEST_HOOKS";
        home_ = tmp_.path() + "/home/";
        port_ = free_port();
        ssl_port_ = free_port();
    }
    std::string ini(const std::string& extra) {
        return "[SMSGW]\r\nDebug=Yes\r\nWebPort=" + std::to_string(port_) +
               "\r\nWebPortSSL=" + std::to_string(ssl_port_) + "\r\n" + extra;
    }
    systest::TempDir tmp_;
    std::string home_;
    unsigned port_ = 0, ssl_port_ = 0;
};

TEST_F(HttpTest, GatewaysWithoutAWebPortEachListenOnTheirOwn) {
    // Neither INI names a web port; both gateways run at once and both must
    // get their web listener, on the port the harness chose.
    struct Case {
        const char* ini;  // "" leaves SMSGW.INI unwritten
    } cases[] = {{"[SMSGW]\r\nDebug=Yes\r\n"}, {""}, {"[Other]\r\nX=1\r\n"}};
    std::vector<std::unique_ptr<Gateway>> gws;
    for (size_t i = 0; i < std::size(cases); ++i) {
        gws.push_back(std::make_unique<Gateway>(tmp_.path() + "/g" + std::to_string(i) + "/"));
        ASSERT_TRUE(gws.back()->start(systest::with_ini(cases[i].ini)));
    }
    std::set<unsigned> ports;
    for (auto& gw : gws) {
        ASSERT_TRUE(gw->wait_ready());
        EXPECT_TRUE(systest::wait_for([&] { return gw->status_byte(1) == 1; }, 5000));
        EXPECT_EQ(gw->status_byte(2), 0) << "web port clash";
        ASSERT_NE(gw->web_port(), 0u);
        ports.insert(gw->web_port());
        EXPECT_NE(systest::read_text(gw->path("SMSGW.INI"))
                      .find("WebPort=" + std::to_string(gw->web_port())),
                  std::string::npos);
    }
    EXPECT_EQ(ports.size(), gws.size());
    for (auto& gw : gws) {
        gw->send_signal(SIGTERM);
        EXPECT_TRUE(gw->wait_exit(20000).has_value());
    }
}

TEST_F(HttpTest, KeepAlivePipeliningTlsRedirectCapsPathsAndPortChange) {
    std::string base =
        ini("WebAuth=No\r\nWebMenu=No\r\nMaxHttpHeaderSize=4096\r\nMaxHttpBodySize=1000\r\n");
    fs::create_directories(home_ + "SMS-IN/A/sub");
    systest::write_text(home_ + "SMS-IN/A/ok.txt", "attached");
    systest::write_text(home_ + "secret.txt", "secret");
    fs::create_symlink(home_ + "secret.txt", home_ + "SMS-IN/A/link.txt");
    Gateway gw(home_);
    ASSERT_TRUE(gw.start(systest::with_ini(base)));
    ASSERT_TRUE(gw.wait_ready());
    ASSERT_TRUE(wait_port(port_, true, 10000));
    EXPECT_EQ(gw.status_byte(1), 1);

    // Two requests in one packet, blank lines between them, one connection.
    Client c;
    ASSERT_TRUE(c.open(port_));
    ASSERT_TRUE(
        c.send("GET /a HTTP/1.1\r\nHost: x\r\n\r\n\r\n\r\nGET /b HTTP/1.1\r\nHost: x\r\n\r\n"));
    const std::string keep = unknown_page("HTTP/1.1", "400 Bad Request", "Keep-Alive");
    EXPECT_EQ(c.response(), keep);
    EXPECT_EQ(c.response(), keep);
    // A browser gets 200 for the same page.
    ASSERT_TRUE(c.send("GET /c HTTP/1.1\r\nUser-Agent: Mozilla/5.0\r\n\r\n"));
    EXPECT_EQ(c.response(), unknown_page("HTTP/1.1", "200 OK", "Keep-Alive"));
    // 1,000 pipelined requests in one packet, all answered in order.
    std::string many;
    for (int i = 0; i < 1000; ++i) many += "GET /p" + std::to_string(i) + " HTTP/1.1\r\n\r\n";
    ASSERT_TRUE(c.send(many));
    int answered = 0;
    while (answered < 1000 && c.response(10000) == keep) ++answered;
    EXPECT_EQ(answered, 1000);
    // HTTP/1.0: answered as such, with close, and the connection ends.
    ASSERT_TRUE(c.send("GET /d HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(c.response(), unknown_page("HTTP/1.0", "400 Bad Request", "close"));
    EXPECT_TRUE(c.closed(8000));

    // /admin on the plain port goes to the TLS port; a bad Host is not echoed.
    EXPECT_EQ(ask(port_, "GET /admin/x HTTP/1.1\r\nHost: gw.example:80\r\n\r\n"),
              "HTTP/1.1 302 Redirect\r\nConnection: Keep-Alive\r\nContent-length: 0\r\nLocation: "
              "https://gw.example:" +
                  std::to_string(ssl_port_) + "/ADMIN\r\n\r\n");
    // Account pages without an account go to the administration pages.
    EXPECT_EQ(ask(port_, "GET /userActivity HTTP/1.1\r\nHost: gw:81\r\n\r\n"),
              "HTTP/1.1 302 Redirect\r\nConnection: close\r\nContent-length: 0\r\nLocation: "
              "http://gw:81/ADMIN/ACTIVITY\r\n\r\n");
    std::string evil = ask(port_, "GET /ADMIN HTTP/1.1\r\nHost: <script>x\r\n\r\n");
    EXPECT_EQ(evil.find("<script>"), std::string::npos) << evil;
    EXPECT_NE(evil.find("Location: https://:"), std::string::npos) << evil;

    // HTTPS with the certificate generated at first use.
    ASSERT_TRUE(wait_port(ssl_port_, true, 10000));
    std::string url = "https://127.0.0.1:" + std::to_string(ssl_port_) + "/x";
    EXPECT_EQ(run("curl -sk -i --max-time 10 " + url),
              unknown_page("HTTP/1.1", "400 Bad Request", "Keep-Alive"));
    std::string s_client =
        run("printf 'GET /y HTTP/1.0\\r\\n\\r\\n' | timeout 10 openssl s_client -quiet -connect "
            "127.0.0.1:" +
            std::to_string(ssl_port_) + " 2>/dev/null");
    EXPECT_EQ(s_client, unknown_page("HTTP/1.0", "400 Bad Request", "close"));
    EXPECT_EQ(fs::status(home_ + "PRIVATE/SSLKEY.PEM").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    // Caps and bad requests: a clear answer, then the connection closes.
    struct Bad {
        std::string req, status;
    } bad[] = {
        {"POST / HTTP/1.1\r\nContent-Length: 1001\r\n\r\n", "413 Payload Too Large"},
        {"GET / HTTP/1.1\r\nX: " + std::string(5000, 'a') + "\r\n\r\n",
         "431 Request Header Fields Too Large"},
        {"GET / HTTP/1.1\r\nX: " + std::string(5000, 'a'), "431 Request Header Fields Too Large"},
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
         "400 Bad Request"},
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 2\r\n\r\nabc", "400 Bad Request"},
        {"POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\n", "400 Bad Request"},
        {"POST / HTTP/1.1\r\nContent-Length: 1e3\r\n\r\n", "400 Bad Request"},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFFFFFF\r\n",
         "413 Payload Too Large"},
        {"GET /\r\n\r\n", "400 Bad Request"},
        {"GET / HTTP/1.1\r\nNo colon here\r\n\r\n", "400 Bad Request"},
    };
    for (const Bad& b : bad) {
        Client bc;
        ASSERT_TRUE(bc.open(port_));
        bc.send(b.req);
        std::string r = bc.response();
        EXPECT_EQ(r.substr(0, 9 + b.status.size() + 21),
                  "HTTP/1.1 " + b.status + "\r\nConnection: close\r\n")
            << b.req.substr(0, 80);
        EXPECT_TRUE(bc.closed(8000)) << b.req.substr(0, 80);
    }

    // Attachments: served from SMS-IN/A only.
    EXPECT_EQ(
        ask(port_, "GET /SMSAttachFile/ok.txt HTTP/1.1\r\n\r\n"),
        "HTTP/1.1 200 OK\r\nConnection: Keep-Alive\r\nContent-Type: text/plain\r\nContent-Length: "
        "8\r\n\r\nattached");
    EXPECT_EQ(ask(port_, "GET /SMSAttachFile/..%2F..%2Fok.txt?x=1 HTTP/1.1\r\n\r\n").substr(0, 15),
              "HTTP/1.1 200 OK");
    const std::string not_found =
        "HTTP/1.1 404 Not Found\r\nConnection: Keep-Alive\r\nContent-Length: 0\r\n\r\n";
    for (const char* p : {"..%2F..%2Fsecret.txt", "%2e%2e/%2e%2e/SMSGW.INI", "link.txt",
                          "%2Fetc%2Fpasswd", "/etc/passwd", "sub", "sub%2F..", "ok.txt%00"}) {
        EXPECT_EQ(ask(port_, std::string("GET /SMSAttachFile/") + p + " HTTP/1.1\r\n\r\n"),
                  not_found)
            << p;
    }

    // A new WebPort is taken up within 15 seconds.
    unsigned old_port = port_;
    port_ = free_port();
    ASSERT_TRUE(gw.rewrite_sms_ini(ini("WebAuth=No\r\nWebMenu=No\r\n")));
    EXPECT_TRUE(wait_port(port_, true, 20000));
    EXPECT_TRUE(wait_port(old_port, false, 2000));
    std::string log = gw.debug_log();
    EXPECT_NE(log.find("Closing web port " + std::to_string(old_port) + ", opening web port " +
                       std::to_string(port_)),
              std::string::npos);
    EXPECT_NE(log.find("bytes written to HTTP proxy socket pipeline"), std::string::npos);
    ASSERT_TRUE(gw.send_signal(SIGTERM));
    EXPECT_EQ(gw.wait_exit(5000), 0);
}

const std::string kAuthBody =
    "<HTML>\r\n<HEAD>\r\n<TITLE>Authorization "
    "failed</TITLE>\r\n</HEAD>\r\n<BODY>\r\n<PRE>\r\nInvalid "
    "username and password, or your web browser does not support "
    "authentication.\r\n</PRE>\r\n</BODY>\r\n"
    "</HTML>\r\n";

std::string basic(const std::string& user_pass) {
    return run("printf '%s' '" + user_pass + "' | base64 -w0");
}

TEST_F(HttpTest, AuthenticationBackOffLocalServiceIpListsAndBusyPort) {
    support::set_account_database_path(home_ + "USERS.DB");
    fs::create_directories(home_);
    {
        support::UserFile f;
        ASSERT_TRUE(support::SMSOpenUserFile(f, support::UserFileAccess::ReadWrite));
        support::UserRecord r;
        r.name = "Alice";
        r.enable_web_login = true;
        ASSERT_TRUE(support::set_user_password(r, "Secret1"));
        ASSERT_TRUE(support::SMSAddUser(f, r));
    }
    support::set_account_database_path("");
    // The web port is taken when the gateway starts.
    uint16_t busy_port = 0;
    auto holder = std::make_unique<platform::Socket>(platform::tcp_listen("", 0, 1, &busy_port));
    port_ = busy_port;
    Gateway gw(home_);
    systest::GatewayOptions opt = systest::with_ini(ini("Debug2=Yes\r\nEnableThreadPool=Yes\r\n"));
    opt.minute_seconds = 2;
    ASSERT_TRUE(gw.start(opt));
    ASSERT_TRUE(gw.wait_ready());
    EXPECT_TRUE(systest::wait_for([&] { return gw.status_byte(2) == 1; }, 5000));
    EXPECT_NE(
        gw.events_log().find("\tError\tKel SMS/MMS Gateway v2014.07.22 not started, unable to "
                             "allocate web port " +
                             std::to_string(port_) + "\r\n"),
        std::string::npos);
    holder.reset();
    ASSERT_TRUE(wait_port(port_, true, 10000));
    EXPECT_TRUE(
        systest::wait_for([&] { return gw.status_byte(1) == 1 && gw.status_byte(2) == 0; }, 2000));

    auto timed = [&](const std::string& req, uint64_t* ms) {
        uint64_t t0 = now_ms();
        std::string r = ask(port_, req);
        *ms = now_ms() - t0;
        return r;
    };
    const std::string challenge =
        "HTTP/1.1 401 Authorization Required\r\nConnection: Keep-Alive\r\nWWW-Authenticate: Basic "
        "realm=\"Kel SMS/MMS Gateway\"\r\nContent-Type: text/html\r\nContent-Length: 188\r\n\r\n" +
        kAuthBody;
    const std::string good =
        "GET /m HTTP/1.1\r\nAuthorization: Basic " + basic("alice:SECRET1") + "\r\n\r\n";
    const std::string not_found =
        "HTTP/1.1 404 Not Found\r\nConnection: Keep-Alive\r\nContent-Length: 0\r\n\r\n";
    uint64_t t_unknown = 0, t_wrong = 0, t = 0;
    // No credentials at all: no delay, and the challenge, so that a browser
    // asks its user; credentials given as parameters get no challenge.
    std::string none = timed("GET /m HTTP/1.1\r\n\r\n", &t);
    EXPECT_EQ(none, challenge);
    EXPECT_LT(t, 800u);
    EXPECT_EQ(ask(port_, "GET /m?User=&Password=x HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 401 Authorization Required\r\nConnection: Keep-Alive\r\nContent-Type: "
              "text/html\r\nContent-Length: 188\r\n\r\n" +
                  kAuthBody);
    // Unknown user and wrong password answer alike, in the same time.
    EXPECT_EQ(timed("GET /m HTTP/1.1\r\nAuthorization: Basic " + basic("nobody:x") + "\r\n\r\n",
                    &t_unknown),
              challenge);
    EXPECT_EQ(ask(port_, good),
              not_found);  // passes (no web menu here) and resets the back-off
    EXPECT_EQ(timed("GET /m HTTP/1.1\r\nAuthorization: Basic " + basic("alice:wrong") + "\r\n\r\n",
                    &t_wrong),
              challenge);
    EXPECT_GE(t_unknown, 900u);
    EXPECT_LT(t_unknown > t_wrong ? t_unknown - t_wrong : t_wrong - t_unknown, 400u);
    // Four more failures: the fifth in a row waits five seconds.
    for (int i = 2; i <= 5; ++i) {
        timed("GET /m?User=alice&Password=no HTTP/1.1\r\n\r\n", &t);
        if (i < 5) {
            EXPECT_GE(t, unsigned(i) * 1000 - 100) << i;
        }
    }
    EXPECT_GE(t, 4900u);
    EXPECT_LT(t, 6500u);
    EXPECT_EQ(ask(port_, "GET /m?User=alice&Password=secret1 HTTP/1.1\r\n\r\n"), not_found);

    // The local-service login takes the generated secret, and only it.
    std::string key_path = home_ + "PRIVATE/LOCALSYSTEM.KEY";
    std::string secret = systest::read_text(key_path);
    EXPECT_EQ(secret.size(), 48u);
    EXPECT_EQ(fs::status(key_path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(ask(port_, "GET /m HTTP/1.1\r\nAuthorization: Basic " +
                             basic("localsystem:" + secret) + "\r\n\r\n"),
              not_found);
    EXPECT_EQ(ask(port_,
                  "GET /m HTTP/1.1\r\nAuthorization: Basic " + basic("LocalSystem:" + secret) +
                      "\r\n\r\n",
                  "127.0.0.2")
                  .substr(0, 37),
              "HTTP/1.1 401 Authorization Required\r\n");

    // WebMenu=No answers 403; the IP lists are reloaded without a restart.
    ASSERT_TRUE(
        gw.rewrite_sms_ini(ini("Debug2=Yes\r\nEnableThreadPool=Yes\r\nWebMenu=No\r\n["
                               "IPRestrictions]\r\nAllowed1=10.1.1.1\r\nBlocked1=127.0.0.2\r\n")));
    const std::string page =
        "<HTML><HEAD><TITLE>\r\nConnection not allowed\r\n</TITLE></HEAD><BODY>\r\nERROR:  "
        "Connection "
        "not allowed from 127.0.0.2.\r\n</BODY></HTML>\r\n";
    const std::string refused =
        "HTTP/1.1 403 Forbidden\r\nConnection: Keep-Alive\r\nContent-Type: "
        "text/html\r\nContent-Length: " +
        std::to_string(page.size()) + "\r\n\r\n" + page;
    EXPECT_TRUE(systest::wait_for(
        [&] { return ask(port_, "GET / HTTP/1.1\r\n\r\n", "127.0.0.2") == refused; }, 15000, 200));
    EXPECT_EQ(ask(port_, "GET /m HTTP/1.1\r\n\r\n").substr(0, 24), "HTTP/1.1 403 Forbidden\r\n");
    // 127.0.0.1 is never refused (and without a menu the login ends on the unknown page).
    EXPECT_EQ(ask(port_, good), unknown_page("HTTP/1.1", "400 Bad Request", "Keep-Alive"));
    ASSERT_TRUE(gw.rewrite_sms_ini(ini("Debug2=Yes\r\nEnableThreadPool=Yes\r\nWebMenu=No\r\n")));
    EXPECT_TRUE(systest::wait_for(
        [&] {
            return ask(port_, "GET / HTTP/1.1\r\n\r\n", "127.0.0.3").find("not allowed") ==
                   std::string::npos;
        },
        15000, 200));
    std::string log = gw.debug_log();
    EXPECT_NE(log.find("LoadBlockedList:  Reload"), std::string::npos);
    // The pool served the one-at-a-time connections with a few threads.
    size_t threads = 0, connections = 0;
    for (size_t p = log.find("AssignThreadNumber:  ThreadProcessConnection");
         p != std::string::npos;
         p = log.find("AssignThreadNumber:  ThreadProcessConnection", p + 1)) {
        ++threads;
    }
    for (size_t p = log.find("Processing connection from"); p != std::string::npos;
         p = log.find("Processing connection from", p + 1)) {
        ++connections;
    }
    EXPECT_GE(connections, 20u);
    EXPECT_LE(threads, connections / 3);
    EXPECT_NE(log.find("Connection not allowed from 127.0.0.2..."), std::string::npos);
    ASSERT_TRUE(gw.send_signal(SIGTERM));
    EXPECT_EQ(gw.wait_exit(5000), 0);
}

TEST_F(HttpTest, SlowClientsDeadlinesConnectionCapAndStalledHandshakes) {
    Gateway gw(home_);
    ASSERT_TRUE(
        gw.start(systest::with_ini(ini("WebAuth=No\r\nWebMenu=No\r\nMaxWebConnections="
                                       "1000\r\nHttpHeaderTimeout=20\r\nHttpBodyTimeout=3\r\n"))));
    ASSERT_TRUE(gw.wait_ready());
    ASSERT_TRUE(wait_port(port_, true, 10000));
    // 1,000 connections that never finish their header; the first one never
    // even ends its request line.
    std::vector<Client> slow(1000);
    const uint64_t opened = now_ms();
    for (Client& s : slow) {
        ASSERT_TRUE(s.open(port_));
        ASSERT_TRUE(s.send(&s == &slow[0] ? "GET /never-ending-line" : "GET / HTTP/1.1\r\nX: "));
    }
    // The cap holds: the next client is refused at once.
    EXPECT_TRUE(systest::wait_for(
        [&] {
            return ask(port_, "GET / HTTP/1.1\r\n\r\n").substr(0, 34) ==
                   "HTTP/1.1 503 Service Unavailable\r\n";
        },
        5000, 100));
    // Slowloris: another header byte 10 s in does not buy more time; the
    // deadline counts from the start of the request.
    const uint64_t waited = now_ms() - opened;
    if (waited < 10000) std::this_thread::sleep_for(std::chrono::milliseconds(10000 - waited));
    for (size_t i = 1; i < slow.size(); ++i) ASSERT_TRUE(slow[i].send("a"));
    // The header deadline answers every slow client and frees the slots.
    unsigned timed_out = 0;
    for (Client& s : slow) {
        if (s.response(25000).substr(0, 29) == "HTTP/1.1 408 Request Timeout\r") ++timed_out;
    }
    EXPECT_EQ(timed_out, 1000u);
    slow.clear();
    const std::string keep = unknown_page("HTTP/1.1", "400 Bad Request", "Keep-Alive");
    EXPECT_TRUE(systest::wait_for([&] { return ask(port_, "GET / HTTP/1.1\r\n\r\n") == keep; },
                                  10000, 100));
    // A body slower than its Content-Length.
    Client body;
    ASSERT_TRUE(body.open(port_));
    ASSERT_TRUE(body.send("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nab"));
    uint64_t t0 = now_ms();
    EXPECT_EQ(body.response(8000).substr(0, 29), "HTTP/1.1 408 Request Timeout\r");
    EXPECT_GE(now_ms() - t0, 2000u);
    EXPECT_TRUE(body.closed(8000));

    // 1,000 stalled TLS handshakes (under a raised cap) do not keep a TLS
    // client out.
    ASSERT_TRUE(gw.rewrite_sms_ini(ini("WebAuth=No\r\nWebMenu=No\r\nMaxWebConnections=1100\r\n")));
    ASSERT_TRUE(wait_port(ssl_port_, true, 10000));
    std::vector<Client> stalled(1000);
    for (Client& s : stalled) ASSERT_TRUE(s.open(ssl_port_));
    std::string url = "https://127.0.0.1:" + std::to_string(ssl_port_) + "/x";
    EXPECT_EQ(run("curl -sk -i --max-time 10 " + url), keep);
    // Shutdown wakes every open connection.
    uint64_t t1 = now_ms();
    ASSERT_TRUE(gw.send_signal(SIGTERM));
    EXPECT_EQ(gw.wait_exit(15000), 0);
    EXPECT_LT(now_ms() - t1, 12000u);
    std::string log = gw.debug_log();
    EXPECT_NE(log.find("Connection refused from 127.0.0.1, 1000 connections open"),
              std::string::npos);
    EXPECT_NE(log.find("Request timed out from 127.0.0.1"), std::string::npos);
}

TEST_F(HttpTest, BusyPortsReportedOnceADayAndUnfilledRowsAnswer404) {
    // Both ports are taken when the gateway starts.
    uint16_t web = 0, ssl = 0;
    auto hold_web = std::make_unique<platform::Socket>(platform::tcp_listen("", 0, 1, &web));
    auto hold_ssl = std::make_unique<platform::Socket>(platform::tcp_listen("", 0, 1, &ssl));
    port_ = web;
    ssl_port_ = ssl;
    Gateway gw(home_);
    ASSERT_TRUE(gw.start(systest::with_ini(ini("WebAuth=No\r\nPHPEnable=Yes\r\n"))));
    ASSERT_TRUE(gw.wait_ready());
    EXPECT_TRUE(systest::wait_for([&] { return gw.status_byte(2) == 1; }, 5000));
    // Every listener retries every 5 seconds; wait for two more attempts each.
    auto count = [](const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
        return n;
    };
    EXPECT_TRUE(systest::wait_for(
        [&] { return count(gw.debug_log(), "Error 98 from socket bind") >= 6; }, 20000, 200));
    const std::string banner = "Kel SMS/MMS Gateway v2014.07.22 not started, unable to allocate ";
    std::string events = gw.events_log();
    EXPECT_EQ(count(events, banner + "web port " + std::to_string(web) + "\r\n"), 1u) << events;
    EXPECT_EQ(count(events, banner + "SSL port " + std::to_string(ssl) + "\r\n"), 1u) << events;
    EXPECT_TRUE(fs::exists(home_ + "PRIVATE/SOCKET.ERR"));
    EXPECT_TRUE(fs::exists(home_ + "PRIVATE/SSLSOCKET.ERR"));
    hold_web.reset();
    hold_ssl.reset();
    ASSERT_TRUE(wait_port(port_, true, 10000));
    ASSERT_TRUE(wait_port(ssl_port_, true, 10000));
    EXPECT_TRUE(
        systest::wait_for([&] { return gw.status_byte(1) == 1 && gw.status_byte(2) == 0; }, 2000));

    // Rows whose front ends are not part of this build answer 404
    // ("/PROVISION" is answered by the administration front end).
    struct Row {
        const char* path;
        const char* conn;
    } rows[] = {{"/INBOUNDSMS/x", "Keep-Alive"},
                {"/PHP/a.php", "Keep-Alive"},
                {"/menu", "Keep-Alive"}};
    for (const Row& row : rows) {
        EXPECT_EQ(ask(port_, std::string("GET ") + row.path + " HTTP/1.1\r\n\r\n"),
                  std::string("HTTP/1.1 404 Not Found\r\nConnection: ") + row.conn +
                      "\r\nContent-Length: 0\r\n\r\n")
            << row.path;
    }
    ASSERT_TRUE(gw.send_signal(SIGTERM));
    EXPECT_EQ(gw.wait_exit(5000), 0);
}

}  // namespace
