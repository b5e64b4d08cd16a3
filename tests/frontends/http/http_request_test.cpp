// Tests of request reading: the completeness test, chunked bodies, header
// and parameter lookup, URL encoding, address rules, multipart forms, static
// paths, ProcessRead over a socket pair and the user cache.
#include "frontends/http/http_request.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "frame/settings.h"
#include "frontends/http/http_server.h"
#include "frontends/http/user_cache.h"
#include "platform/trace_sink.h"
#include "support/accounts.h"

namespace fs = std::filesystem;
using namespace frontends::http;

namespace {

std::vector<std::string> g_trace;
void capture(std::string_view name, std::string_view text) {
    g_trace.push_back(std::string(name) + ": " + std::string(text));
}

struct TempDir {
    TempDir() {
        char t[] = "/tmp/http-test-XXXXXX";
        path = ::mkdtemp(t);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string path;
};

const char* name_of(RequestState s) {
    switch (s) {
        case RequestState::Incomplete:
            return "Incomplete";
        case RequestState::Complete:
            return "Complete";
        case RequestState::HeaderTooLarge:
            return "HeaderTooLarge";
        case RequestState::BodyTooLarge:
            return "BodyTooLarge";
        case RequestState::Bad:
            return "Bad";
    }
    return "?";
}

TEST(HttpCompleteness, Table) {
    const std::string post = "POST /s HTTP/1.1\r\nContent-Length: 5\r\n\r\n";  // 39 bytes
    const std::string chunked = "POST /s HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    struct Case {
        std::string in;
        RequestState want;
        size_t request_len;
    } cases[] = {
        {"GET / HTTP/1.1\r\n\r\n", RequestState::Complete, 18},
        {"GET / HTTP/1.1\n\n", RequestState::Complete, 16},
        {"GET / HTTP/1.1\r\nHost: a\r\n", RequestState::Incomplete, 0},
        {post + "abc", RequestState::Incomplete, 44},
        {post + "abcdeGET / HTTP/1.1", RequestState::Complete, 44},
        {"POST / HTTP/1.1\r\ncontent-length:   2\r\n\r\nab", RequestState::Complete, 42},
        // "X-Content-Length" is not at a line start.
        {"GET / HTTP/1.1\r\nX-Content-Length: 9\r\n\r\n", RequestState::Complete, 39},
        {chunked + "5\r\nhello\r\n0\r\n\r\nNEXT", RequestState::Complete, chunked.size() + 15},
        {chunked + "5\r\nhello\r\n0\r\n", RequestState::Incomplete, 0},
        {chunked + "5\r\nhel", RequestState::Incomplete, 0},
        {chunked + "5\r\nhello\r\n0\r\nX-T: 1\r\n\r\n", RequestState::Complete,
         chunked.size() + 23},
        // Request smuggling and unusable lengths.
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
         RequestState::Bad, 0},
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", RequestState::Bad,
         0},
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc",
         RequestState::Complete, 60},
        {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", RequestState::Bad, 0},
        {"POST / HTTP/1.1\r\nContent-Length: 12abc\r\n\r\n", RequestState::Bad, 0},
        {"POST / HTTP/1.1\r\nContent-Length: \r\n\r\n", RequestState::Bad, 0},
        {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n",
         RequestState::BodyTooLarge, 0},
        {"POST / HTTP/1.1\r\nContent-Length: 16777217\r\n\r\n", RequestState::BodyTooLarge, 0},
        {chunked + "FFFFFFFFFFFFFFFFFFFF\r\n", RequestState::BodyTooLarge, 0},
        {chunked + "1000001\r\n", RequestState::BodyTooLarge, 0},
        {"GET / HTTP/1.1\r\nX: " + std::string(70000, 'a'), RequestState::HeaderTooLarge, 0},
        {"GET / HTTP/1.1\r\nX: " + std::string(70000, 'a') + "\r\n\r\n",
         RequestState::HeaderTooLarge, 0},
    };
    for (const Case& c : cases) {
        Completeness r = check_request(c.in);
        EXPECT_STREQ(name_of(r.state), name_of(c.want)) << c.in.substr(0, 120);
        if (c.want == RequestState::Complete) {
            EXPECT_EQ(r.request_len, c.request_len) << c.in;
        }
    }
}

TEST(HttpChunks, BadSizeIsTracedWithThreeBytesAndProcessedAtOnce) {
    g_trace.clear();
    platform::set_trace_sink(&capture);
    std::string head = "POST / HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n";
    std::string in = head + "5\r\nhello\r\nZQ!\r\nmore";
    Completeness r = check_request(in);
    EXPECT_EQ(r.state, RequestState::Complete);
    EXPECT_EQ(r.request_len, in.size());
    ASSERT_EQ(g_trace.size(), 1u);
    EXPECT_EQ(g_trace[0],
              "HttpChunkComplete: Invalid character in chunked length field:  5A 51 21");
    // Data without its CR LF.
    g_trace.clear();
    EXPECT_EQ(check_request(head + "2\r\nabc\r\n").state, RequestState::Complete);
    ASSERT_EQ(g_trace.size(), 1u);
    EXPECT_EQ(g_trace[0], "HttpChunkComplete: Invalid length in chunked HTTP response");
    platform::set_trace_sink(nullptr);

    // Fed a byte at a time with the walk remembered: the same end, once.
    std::string whole = head + "3\r\nabc\r\n10\r\n0123456789abcdef\r\n0\r\n\r\nGET";
    ChunkProgress progress;
    size_t done_at = 0;
    for (size_t n = head.size(); n <= whole.size() && !done_at; ++n) {
        Completeness part = check_request(std::string_view(whole).substr(0, n), {}, &progress);
        if (part.state == RequestState::Complete) done_at = n;
        EXPECT_EQ(part.request_len, done_at ? whole.size() - 3 : 0) << n;
    }
    EXPECT_EQ(done_at, whole.size() - 3);
    // A size line that never ends is bounded by the raw size too.
    EXPECT_EQ(check_request(head + "1;" + std::string(70000, 'x'), RequestLimits{1024, 500}).state,
              RequestState::BodyTooLarge);

    struct Case {
        std::string body, want;
    } cases[] = {
        {"4\r\nWiki\r\n5;ext=1\r\npedia\r\n0\r\n\r\n", "Wikipedia"},
        {"a\r\n0123456789\r\n1\r\n!\r\n0\r\nTrailer: x\r\n\r\n", "0123456789!"},
        {"0\r\n\r\n", ""},
        {"3\r\nabc\r\nZZ", "abcZZ"},  // a broken walk keeps the rest as received
    };
    for (const Case& c : cases) {
        std::string buf = head + c.body;
        EXPECT_EQ(HttpChunkStrip(buf, head.size()), head.size() + c.want.size());
        EXPECT_EQ(buf, head + c.want);
    }
}

TEST(HttpHeaders, LookupRules) {
    std::string req =
        "GET /x HTTP/1.1\r\nHOST:  example.com:8800 extra\r\nX-Host: no\r\nUser-Agent: "
        "Mozilla/5.0\tetc\r\nAuthorization: Basic dXNlcjpwYTpzcw==\r\nEmpty:\r\n\r\nHost: body\r\n";
    EXPECT_EQ(GetHeader(req, "host").value(), "example.com:8800 extra");
    EXPECT_EQ(GetHost(req), "example.com:8800");
    EXPECT_EQ(GetUserAgent(req), "Mozilla/5.0");  // ends at the tab
    EXPECT_EQ(GetHeader(req, "Host", 5).value(), "exam");
    EXPECT_EQ(GetHeader(req, "Empty").value(), "");
    EXPECT_FALSE(GetHeader(req, "Accept").has_value());
    EXPECT_EQ(GetHeaderValues(req, "Host").size(), 1u);  // not from the body
    auto basic = GetAuthorizationBasic(req);
    ASSERT_TRUE(basic);
    EXPECT_EQ(basic->user, "user");
    EXPECT_EQ(basic->password, "pa:ss");
    EXPECT_FALSE(GetAuthorizationBasic("GET / HTTP/1.1\r\nAuthorization: Digest x\r\n\r\n"));

    RequestLine line;
    struct Head {
        std::string in;
        bool ok;
    } heads[] = {
        {"GET /a?b=c HTTP/1.1\r\nHost: x\r\n\r\n", true},
        {"GET /a HTTP/1.0\n\n", true},
        {"GET /a\r\n\r\n", false},
        {"GET  /a HTTP/1.1\r\n\r\n", false},
        {"GET /a HTTP/1.1\r\nNoColon\r\n\r\n", false},
        {"GET /a HTTP/1.1\r\nContent-Length : 5\r\n\r\n", false},
        {"GET /a HTTP/1.1\r\nX: 1\r\n folded\r\n\r\n", false},
        {"G(T /a HTTP/1.1\r\n\r\n", false},
        {std::string("G\0T /a HTTP/1.1\r\n\r\n", 20), false},
        {"GET /a FTP/1.1x\r\n\r\n", false},
    };
    for (const Head& h : heads) EXPECT_EQ(parse_request_head(h.in, line), h.ok) << h.in;
}

TEST(HttpParameters, LookupRules) {
    frame::mutable_settings().remove_trailing_spaces = false;
    struct Case {
        std::string req, name;
        bool found;
        std::string value;
    } cases[] = {
        {"GET /?User=a&Username=b HTTP/1.1\r\n\r\n", "User", true, "a"},
        {"GET /?Username=b HTTP/1.1\r\n\r\n", "User", false, ""},
        {"GET /?xUser=b HTTP/1.1\r\n\r\n", "User", false, ""},
        {"GET /Phone=123 HTTP/1.1\r\n\r\n", "phone", true, "123"},
        {"GET /a\\Phone=1?x HTTP/1.1\r\n\r\n", "Phone", true, "1"},
        {"POST /?Text=query HTTP/1.1\r\nContent-Length: 9\r\n\r\nText=body", "Text", true, "query"},
        {"POST / HTTP/1.1\r\nContent-Length: 9\r\n\r\nText=body", "text", true, "body"},
        {"POST / HTTP/1.1\r\n\r\na=1?Text=x+y%21&b", "Text", true, "x y!"},
        {"POST / HTTP/1.1\r\n\r\n/Text=x", "Text", false, ""},  // "/" counts only in the line
        {"GET /?To=a%0D%0AB HTTP/1.1\r\n\r\n", "To", true, "a\r\nB"},
        {"GET /?To=ab%00cd HTTP/1.1\r\n\r\n", "To", true, "ab"},
        {"GET /?To=a%zz%4 HTTP/1.1\r\n\r\n", "To", true, "a%zz%4"},
        {"GET /?To=12++%20 HTTP/1.1\r\n\r\n", "To", true, "12"},     // trailing blanks go
        {"GET /?Text=12++ HTTP/1.1\r\n\r\n", "Text", true, "12  "},  // not for Text here
        {"GET /?To=" + std::string(300, 'x') + " HTTP/1.1\r\n\r\n", "To", true,
         std::string(99, 'x')},
    };
    for (const Case& c : cases) {
        std::string v = "unset";
        EXPECT_EQ(GetRequestParameter(c.req, c.name, v, 100), c.found) << c.req;
        if (c.found) {
            EXPECT_EQ(v, c.value) << c.req;
        }
    }
    frame::mutable_settings().remove_trailing_spaces = true;

    std::string req = "POST /?To=1&x=2&To=3 HTTP/1.1\r\n\r\nTo=4&ToX=5&Tone=6";
    std::string v, n;
    for (unsigned i = 1; i <= 3; ++i) {
        ASSERT_TRUE(GetNthRequestParameter(req, "to", i, v, 10));
        EXPECT_EQ(v, std::to_string(i == 1 ? 1 : i == 2 ? 3 : 4));
    }
    EXPECT_FALSE(GetNthRequestParameter(req, "To", 4, v, 10));
    const char* names[] = {"To", "To", "To", "ToX", "Tone"};
    for (unsigned i = 1; i <= 5; ++i) {
        ASSERT_TRUE(FindParameterNameByPrefix(req, "to", i, n, 10));
        EXPECT_EQ(n, names[i - 1]);
    }
    EXPECT_FALSE(FindParameterNameByPrefix(req, "to", 6, n, 10));
}

TEST(HttpEncoding, UrlEncodeReplace) {
    struct Case {
        std::string text, token, value;
        size_t size;
        std::string want;
    } cases[] = {
        {"http://h/?t=$TEXT$&u=$text$", "$TEXT$", "a b&c", 100,
         "http://h/?t=a%20b%26c&u=a%20b%26c"},
        {"x=@V", "@v", "$'()-./=@[]^_`{}|~\x7F", 100, "x=$'()-./=@[]^_`{}|~\x7F"},
        {"x=@V", "@V", "!\"#%*+,:;<>?\\\r\n\x80\xFF", 100,
         "x=%21%22%23%25%2A%2B%2C%3A%3B%3C%3E%3F%5C%0D%0A%80%FF"},
        {"abc@Vdef", "@V", "123", 7, "abc123"},
        {"x=@V", "@V", std::string("a\0b", 3), 100, "x=a%00b"},
        {"no token", "@V", "x", 100, "no token"},
    };
    for (Case c : cases) {
        UrlEncodeReplace(c.text, c.token, c.value, c.size);
        EXPECT_EQ(c.text, c.want);
    }
    EXPECT_EQ(html_escape("<a href=\"x\">'&'</a>"),
              "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
}

TEST(HttpAddresses, PatternsAndRules) {
    struct Case {
        const char* pattern;
        const char* address;
        bool match;
    } cases[] = {
        {"10.1.2.3", "10.1.2.3", true},    {" 10 . 1 . 2 . 3 ", "10.1.2.3", true},
        {"10.1", "10.1.0.0", true},        {"10.1", "10.1.2.3", false},
        {"10.*.*.*", "10.200.3.4", true},  {"10.*", "10.5.0.0", true},
        {"10.*", "10.5.0.1", false},       {"*.*.*.*", "1.2.3.4", true},
        {"10.256.1.1", "10.0.1.1", false}, {"10.a.1.1", "10.0.1.1", false},
        {"1.2.3.4.5", "1.2.3.4", false},   {"", "1.2.3.4", false},
        {"1..3.4", "1.0.3.4", false},      {"1.2.3.4", "1.2.3.4.5", false},
        {"1.2.3.4", "::1", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(address_matches(c.pattern, c.address), c.match) << c.pattern << " " << c.address;
    }
    EXPECT_TRUE(address_list_matches(" 9.9.9.9 ; 10.1.*.* , x", "10.1.7.7"));
    EXPECT_FALSE(address_list_matches("9.9.9.9;", "10.1.7.7"));

    std::vector<std::string> none, allowed = {"192.168.1.5"},
                                   blocked = {"192.168.*.*", "127.*.*.*"};
    EXPECT_FALSE(address_allowed_by("192.168.1.5", allowed, blocked));
    EXPECT_FALSE(address_allowed_by("10.0.0.1", allowed, none));
    EXPECT_TRUE(address_allowed_by("192.168.1.5", allowed, none));
    EXPECT_TRUE(address_allowed_by("10.0.0.1", none, blocked));
    EXPECT_TRUE(address_allowed_by("127.0.0.1", allowed, blocked));  // never refused
    EXPECT_FALSE(address_allowed_by("127.0.0.2", none, blocked));
}

TEST(HttpMultipart, UploadsAreStoredSafelyAndBodyBecomesPairs) {
    TempDir tmp;
    std::string temp = tmp.path + "/TEMP/";
    auto form = [](const std::string& fname) {
        return "POST /s HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=\"XyZ\"\r\n\r\n"
               "--XyZ\r\nContent-Disposition: form-data; name=\"Phone\"\r\n\r\n+4412 3&x=1\r\n"
               "--XyZ\r\nContent-Disposition: form-data; name=\"File\"; filename=\"" +
               fname +
               "\"\r\nContent-Type: image/gif\r\n\r\nGIF\r\n89\r\n--XyZ\r\n"
               "Content-Disposition: form-data; name=\"a&b=c\"\r\n\r\nv\r\n--XyZ--\r\n";
    };
    std::vector<std::string> reqs(2, form("..\\..\\evil/../.hidden.gif"));
    std::thread other([&] { ASSERT_TRUE(ParseMultipart(reqs[1], temp)); });
    ASSERT_TRUE(ParseMultipart(reqs[0], temp));
    other.join();
    std::vector<std::string> stored;
    for (const std::string& r : reqs) {
        size_t hl = header_block_length(r);
        std::string body = r.substr(hl);
        size_t f = body.find("&File=");
        ASSERT_NE(f, std::string::npos) << body;
        std::string name = body.substr(f + 6, body.find('&', f + 6) - f - 6);
        EXPECT_EQ(body.substr(0, f), "Phone=%2B4412%203%26x=1");
        EXPECT_EQ(body.substr(f + 6 + name.size()), "&a%26b=c=v&");
        EXPECT_TRUE(name.size() > 10 && name.substr(name.size() - 10) == "hidden.gif") << name;
        stored.push_back(name);
    }
    EXPECT_NE(stored[0], stored[1]);  // same client name, two files
    for (const std::string& s : stored) {
        std::string content;
        std::FILE* f = std::fopen((temp + s).c_str(), "rb");
        ASSERT_TRUE(f);
        char buf[64];
        content.append(buf, std::fread(buf, 1, sizeof buf, f));
        std::fclose(f);
        EXPECT_EQ(content, "GIF\r\n89");
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(temp), fs::directory_iterator()), 2);

    struct Name {
        const char* in;
        const char* out;
    } names[] = {{"C:\\x\\a.txt", "a.txt"}, {"../../etc/passwd", "passwd"}, {"...", "upload"},
                 {".profile", "profile"},   {"a\r\nb.txt", "ab.txt"},       {"", "upload"}};
    for (const Name& n : names) EXPECT_EQ(safe_upload_name(n.in), n.out);
    // Cut to its last 200 bytes before the leading dots go.
    EXPECT_EQ(safe_upload_name("b." + std::string(199, 'a')), std::string(199, 'a'));
    std::string no_boundary = "POST / HTTP/1.1\r\nContent-Type: multipart/form-data\r\n\r\nx";
    EXPECT_FALSE(ParseMultipart(no_boundary, temp));
}

TEST(HttpStatic, PathsThatEscapeTheDirectoryAreRefused) {
    TempDir tmp;
    std::string dir = tmp.path + "/A/";
    fs::create_directories(dir + "sub");
    std::FILE* f = std::fopen((dir + "x.txt").c_str(), "w");
    std::fputs("x", f);
    std::fclose(f);
    std::fclose(std::fopen((tmp.path + "/secret.txt").c_str(), "w"));
    fs::create_symlink(tmp.path + "/secret.txt", dir + "link.txt");
    fs::create_symlink(tmp.path, dir + "up");
    fs::create_symlink("../x.txt", dir + "sub/inner.txt");  // stays inside: allowed
    struct Case {
        const char* rest;
        bool found;
    } cases[] = {
        {"x.txt", true},
        {"..%2F..%2Fx.txt", true},
        {"sub/../x.txt", false},
        {"%2e%2e/secret.txt", false},
        {"..", false},
        {"/etc/passwd", false},
        {"%2Fetc%2Fpasswd", false},
        {"link.txt", false},
        {"up/secret.txt", false},
        {"sub", false},
        {"sub/inner.txt", true},
        {"x.txt%00.gif", false},
        {"missing.txt", false},
        {"....//x.txt", true},
    };
    for (const Case& c : cases) {
        platform::FileHandle h = open_static_file(dir, c.rest);
        char b[4] = {};
        EXPECT_EQ(h.valid() && ::read(h.fd(), b, sizeof b) == 1 && b[0] == 'x', c.found) << c.rest;
    }
    struct Type {
        const char* name;
        const char* type;
    } types[] = {{"a.MMS", "application/vnd.wap.mms-message"},
                 {"a.jpeg", "image/jpeg"},
                 {"a.wml", "text/vnd.wap.wml"},
                 {"a.pdf", "application/pdf"},
                 {"dir.d/noext", "application/octet-stream"},
                 {"a.p\"df", "application/octet-stream"}};
    for (const Type& t : types) EXPECT_EQ(content_type_for(t.name), t.type) << t.name;
}

uint64_t g_now = 1000;
uint64_t fake_now() {
    return g_now;
}

TEST(HttpUserCache, OneEntryPerAccountReloadedAfter59Seconds) {
    TempDir tmp;
    support::set_account_database_path(tmp.path + "/USERS.DB");
    set_user_cache_clock_for_tests(&fake_now);
    support::UserFile file;
    ASSERT_TRUE(support::SMSOpenUserFile(file, support::UserFileAccess::ReadWrite));
    support::UserRecord rec;
    rec.name = "CacheUser";
    rec.enable_web_login = true;
    rec.web_options = "All";
    ASSERT_TRUE(support::SMSAddUser(file, rec));

    UserCacheEntry* a = take_user_entry("cacheuser");
    UserCacheEntry* b = take_user_entry("CACHEUSER");
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->use_count.load(), 2);
    release_user_entry(a);
    release_user_entry(b);
    release_user_entry(b);
    EXPECT_EQ(a->use_count.load(), 0);
    EXPECT_EQ(find_user_entry("CacheUSER"), a);

    support::UserRecord got;
    ASSERT_TRUE(cached_user_record(*a, got));
    EXPECT_EQ(got.web_options, "All");
    rec.web_options = "TextOnly";
    ASSERT_TRUE(support::SMSAddUser(file, rec));
    g_now += 59000;
    ASSERT_TRUE(cached_user_record(*a, got));
    EXPECT_EQ(got.web_options, "All");  // still the copy
    g_now += 1;
    ASSERT_TRUE(cached_user_record(*a, got));
    EXPECT_EQ(got.web_options, "TextOnly");
    UserCacheEntry* missing = take_user_entry("nobody-here");
    EXPECT_FALSE(cached_user_record(*missing, got));
    set_user_cache_clock_for_tests(nullptr);
    support::SMSCloseUserFile(file);
    support::set_account_database_path("");
}

// ProcessRead over a socket pair: pipelining, leading blanks, chunk
// decoding, deadlines and the inactivity limit.
TEST(HttpProcessRead, PipelinedRequestsDeadlinesAndIdleLimit) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Connection c;
    c.fd = sv[0];
    std::string two =
        "GET /a HTTP/1.1\r\n\r\n\r\n \r\nPOST /b HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
        "3\r\nabc\r\n0\r\n\r\nGET /c";
    ASSERT_EQ(::write(sv[1], two.data(), two.size()), ssize_t(two.size()));
    ReadTimeouts t{300, 200, 200};
    Request r;
    ASSERT_EQ(ProcessRead(c, r, {}, t), ReadResult::Request);
    EXPECT_EQ(r.bytes, "GET /a HTTP/1.1\r\n\r\n");
    ASSERT_EQ(ProcessRead(c, r, {}, t), ReadResult::Request);
    EXPECT_EQ(r.line.path, "/b");
    EXPECT_EQ(r.body(), "abc");
    EXPECT_EQ(c.pipeline, "GET /c");
    // The third request never ends its header: the header deadline answers.
    EXPECT_EQ(ProcessRead(c, r, {}, t), ReadResult::TimedOut);
    // Nothing at all for the idle limit: closed without an answer.
    EXPECT_EQ(ProcessRead(c, r, {}, ReadTimeouts{200, 10000, 10000}), ReadResult::Closed);
    std::string big = "GET / HTTP/1.1\r\nX: " + std::string(200, 'a') + "\r\n\r\n";
    ASSERT_EQ(::write(sv[1], big.data(), big.size()), ssize_t(big.size()));
    EXPECT_EQ(ProcessRead(c, r, RequestLimits{100, 100}, t), ReadResult::HeaderTooLarge);
    std::string bad = "GET /a\r\n\r\n";
    ASSERT_EQ(::write(sv[1], bad.data(), bad.size()), ssize_t(bad.size()));
    EXPECT_EQ(ProcessRead(c, r, {}, t), ReadResult::Bad);
    ::close(sv[1]);
    EXPECT_EQ(ProcessRead(c, r, {}, ReadTimeouts{5000, 5000, 5000}), ReadResult::Closed);
    ::close(sv[0]);
}

}  // namespace
