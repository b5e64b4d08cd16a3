// Tests of the connection handler over socket pairs: the dispatch rows that
// other front ends fill, SendAFile's length bound and the state reset.
#include "frontends/http/http_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "frontends/http/http_state.h"
#include "platform/files.h"

using namespace frontends::http;

namespace {

// Everything the peer of fd reads until the other end closes.
std::string read_all(int fd) {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
    return out;
}

// One request through handle_connection; the whole answer.
std::string exchange(const std::string& request) {
    int sv[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    std::thread server([fd = sv[0]] { handle_connection(fd, nullptr); });
    EXPECT_EQ(::write(sv[1], request.data(), request.size()), ssize_t(request.size()));
    std::string answer = read_all(sv[1]);
    ::close(sv[1]);
    server.join();
    return answer;
}

TEST(HttpRoutes, RowsAnswer404UntilAHandlerAnswers) {
    reset_http_state_for_tests();
    const std::string nf =
        "HTTP/1.0 404 Not Found\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    struct Row {
        const char* path;
        Route route;
    } rows[] = {{"/ADMIN/x", Route::Admin},
                {"/provision", Route::Provision},
                {"/InboundSMS/abc", Route::InboundSms},
                {"/metrics?x=1", Route::Health}};
    for (const Row& row : rows) {
        const std::string req = std::string("GET ") + row.path + " HTTP/1.0\r\n\r\n";
        EXPECT_EQ(exchange(req), nf) << row.path;
        // A handler that declines leaves the 404; one that answers is heard.
        register_route_handler(row.route, [](Connection&, Request&) { return false; });
        EXPECT_EQ(exchange(req), nf) << row.path;
        register_route_handler(row.route, [](Connection& c, Request& r) {
            return SendData(c, "handled " + r.line.path) == 1;
        });
        EXPECT_EQ(exchange(req), std::string("handled ") + row.path) << row.path;
    }
    // "/health" shares the row; a longer name is no such request.
    EXPECT_EQ(exchange("GET /health HTTP/1.0\r\n\r\n"), "handled /health");
    EXPECT_NE(exchange("GET /healthz HTTP/1.0\r\n\r\n"), "handled /healthz");
    // The reset empties the table again.
    reset_http_state_for_tests();
    EXPECT_EQ(exchange("GET /ADMIN/x HTTP/1.0\r\n\r\n"), nf);
}

TEST(HttpSendAFile, SendsNoMoreThanTheAnnouncedLength) {
    const std::string big(40000, 'b');
    struct Case {
        std::string content;
        uint64_t length;
        int result;
        std::string received;
    } cases[] = {
        {"hello", 5, 1, "H:hello"},
        {"hello, and more written since", 5, 1, "H:hello"},  // grew after the stat
        {"hel", 5, 0, "H:hel"},                              // shrank: sent short, fails
        {"hello", UINT64_MAX, 1, "H:hello"},                 // no bound: to the end
        {"", 0, 1, "H:"},
        {big, 40000, 1, "H:" + big},
        {big + "tail", 40000, 1, "H:" + big},
        {big, 39999, 1, "H:" + big.substr(1)},
    };
    for (const Case& k : cases) {
        char path[] = "/tmp/http-sendafile-XXXXXX";
        int file = ::mkstemp(path);
        ASSERT_GE(file, 0);
        ASSERT_TRUE(platform::write_all(file, k.content.data(), k.content.size()));
        int sv[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        std::string got;
        std::thread reader([&] { got = read_all(sv[1]); });
        Connection c;
        c.fd = sv[0];
        EXPECT_EQ(SendAFile(c, file, "H:", k.length), k.result) << k.length;
        ::shutdown(sv[0], SHUT_WR);
        reader.join();
        EXPECT_EQ(got.size(), k.received.size()) << k.length;
        EXPECT_EQ(got, k.received) << k.length;
        ::close(sv[0]);
        ::close(sv[1]);
        ::close(file);
        ::unlink(path);
    }
}

TEST(HttpState, ResetKeepsHandedOutUserEntriesValid) {
    reset_http_state_for_tests();
    UserCacheEntry* old = take_user_entry("ResetUser");
    release_user_entry(old);
    http_state().backoff.failures["10.0.0.1"] = 4;
    http_state().connections.store(7);
    reset_http_state_for_tests();
    EXPECT_TRUE(http_state().backoff.failures.empty());
    EXPECT_EQ(http_state().connections.load(), 0u);
    EXPECT_EQ(find_user_entry("resetuser"), nullptr);
    EXPECT_EQ(old->name, "ResetUser");  // retired, not freed
    EXPECT_NE(take_user_entry("ResetUser"), old);
}

}  // namespace
