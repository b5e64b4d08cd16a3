// Black-box tests of the administration interface on the real gateway: the
// address rule and logins, provisioning and the account tools while the
// gateway runs, the pages and their escaping, request tokens, commands, the
// XML status read by a real XML parser, /health following the only link,
// and /metrics read by a small text-format parser.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

#include "common/ucp_sim.h"
#include "frontends/http/admin_auth.h"
#include "platform/net.h"
#include "support/ini_profile.h"
#include "system/harness.h"
#include "system/link_fixture.h"

namespace fs = std::filesystem;

namespace {

using linktest::contains;

std::string base64(const std::string& in) {
    static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        unsigned v = unsigned(uint8_t(in[i])) << 16;
        if (i + 1 < in.size()) v |= unsigned(uint8_t(in[i + 1])) << 8;
        if (i + 2 < in.size()) v |= unsigned(uint8_t(in[i + 2]));
        out += t[(v >> 18) & 63];
        out += t[(v >> 12) & 63];
        out += i + 1 < in.size() ? t[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? t[v & 63] : '=';
    }
    return out;
}

struct Answer {
    std::string raw, status, body;
};

// One HTTP/1.0 exchange (the gateway closes after it); from picks another
// loopback source address.
Answer http(unsigned port, const std::string& method, const std::string& path,
            const std::string& auth = "", const std::string& body = "",
            const char* from = nullptr) {
    Answer a;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    platform::Socket s(fd);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    if (from) {
        ::inet_pton(AF_INET, from, &sa.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return a;
    }
    sa.sin_port = htons(uint16_t(port));
    ::inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return a;
    std::string req = method + " " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n";
    if (!auth.empty()) req += "Authorization: Basic " + base64(auth) + "\r\n";
    if (!body.empty() || method == "POST")
        req += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n";
    req += "\r\n" + body;
    if (platform::send_all(fd, req.data(), req.size(), 5000) != long(req.size())) return a;
    char buf[65536];
    for (int i = 0; i < 2000; ++i) {
        long n = platform::recv_some(fd, buf, sizeof buf, 10000);
        if (n <= 0) break;
        a.raw.append(buf, size_t(n));
    }
    size_t sp = a.raw.find(' '), eol = a.raw.find("\r\n");
    if (sp != std::string::npos && eol != std::string::npos)
        a.status = a.raw.substr(sp + 1, eol - sp - 1);
    size_t he = a.raw.find("\r\n\r\n");
    if (he != std::string::npos) a.body = a.raw.substr(he + 4);
    return a;
}

std::string token_of(const std::string& page) {
    std::smatch m;
    if (std::regex_search(page, m, std::regex("name=\"AdminToken\" value=\"([0-9A-Fa-f]+)\"")))
        return m[1];
    return "";
}

// Prometheus text format: "# HELP" / "# TYPE" lines, then samples
// "name{label="value",...} number". Returns false on a malformed line.
bool parse_metrics(const std::string& text, std::map<std::string, double>& samples) {
    std::istringstream in(text);
    const std::regex sample(
        R"re(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="([^"\\]|\\.)*",?)*\})? (-?[0-9.eE+]+|NaN|\+Inf|-Inf))re");
    const std::regex comment(R"re(# (HELP|TYPE) [a-zA-Z_:][a-zA-Z0-9_:]* .*)re");
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        if (line[0] == '#') {
            if (!std::regex_match(line, comment)) return false;
            continue;
        }
        std::smatch m;
        if (!std::regex_match(line, m, sample)) return false;
        size_t sp = line.rfind(' ');
        samples[line.substr(0, sp)] = std::stod(line.substr(sp + 1));
    }
    return true;
}

std::string run(const std::string& home, const std::string& args, const std::string& input = "") {
    std::string cmd = "SMSGW_HOME='" + home + "' '" + systest::gateway_binary() + "' " + args;
    if (!input.empty()) cmd = "printf '%s\\n' '" + input + "' | " + cmd;
    return systest::run_command(cmd + " 2>&1; echo \"rc=$?\"");
}

TEST(AdminSystem, AdministrationEndToEnd) {
    if (!systest::test_hooks_built()) GTEST_SKIP() << "needs a build with SMSGW_TEST_HOOKS";
    auto smsc = std::make_unique<ucp_sim::Smsc>();
    smsc->max_session_ms = 300000;
    smsc->serve();
    const std::string link = "UCP - 127.0.0.1:" + std::to_string(smsc->port);
    linktest::Rig rig;
    std::string ini =
        "[SMSGW]\r\nDebug=Yes\r\nReceiveSMS=No\r\nEnableReceiptProcessing=No\r\n"
        "AdminUser=admin\r\nAdminPassword=" +
        frontends::http::scramble_admin_password("OldPw") +
        "\r\nAdminIPAddressList=127.0.0.1\r\nModem1=" + link + "\r\n\r\n[" + link +
        "]\r\nUserName=user\r\nPassword=secret\r\nRetryDelay=1\r\n"
        "InitRetryDelay=1\r\n\r\n[AdminCommands]\r\necho=/bin/echo\r\n";
    ASSERT_TRUE(rig.start(ini)) << rig.diag();
    const unsigned port = rig.gw().web_port();
    const std::string home = rig.home();
    const std::string admin = "admin:OldPw";

    // The address rule comes before any login; then 401 with the realm.
    Answer a = http(port, "GET", "/ADMIN", admin, "", "127.0.0.2");
    EXPECT_EQ(a.status, "403 Forbidden");
    EXPECT_TRUE(contains(a.body, "ERROR:  Connection not allowed from 127.0.0.2.")) << a.raw;
    for (const std::string& who :
         {std::string(), std::string("admin:wrong"), std::string("nobody:OldPw")}) {
        a = http(port, "GET", "/ADMIN/STATUS", who);
        EXPECT_EQ(a.status, "401 Auth Required") << who;
        EXPECT_TRUE(contains(a.raw, "WWW-Authenticate: Basic realm=\"KelSMS Administration\"\r\n"));
    }
    EXPECT_EQ(
        http(port, "GET", "/PROVISION?AdminUser=admin&AdminPassword=OldPw", "", "", "127.0.0.2")
            .status,
        "403 Forbidden");

    // Provisioning: create, error texts, modify; nothing a value holds
    // becomes an INI key.
    const std::string prov = "/PROVISION?AdminUser=admin&AdminPassword=OldPw&";
    struct Prov {
        std::string query, want;
    } provs[] = {
        {"UserName=alice&Password=Pw1&EnableWebLogin=Yes&FullName=%3Cscript%3Ealert(1)%3C/"
         "script%3E",
         "OK"},
        {"UserName=Alice&Password=x", "ERROR UserName Alice already defined"},
        {"Action=Explode&UserName=alice", "ERROR Unsupported request (invalid or missing Action)"},
        {"UserName=..%2F..%2Fetc&Password=x", "ERROR Invalid UserName ../../etc"},
        {"UserName=evil&Password=x&RecipientAddresses=1%0D%0A%5BSMSGW%5D%0D%0AWebPort%3D1",
         "ERROR Invalid value for RecipientAddresses (line breaks are not allowed)"},
        {"AdminPassword=bad&UserName=z", "ERROR Invalid AdminUser or AdminPassword"},
    };
    for (const Prov& p : provs) {
        std::string q = p.query;
        bool own_pw = contains(q, "AdminPassword=bad");
        a = http(port, "GET", own_pw ? "/PROVISION?AdminUser=admin&" + q : prov + q);
        EXPECT_EQ(a.status, "200 OK") << q;
        EXPECT_TRUE(contains(a.raw, "Content-Type: text/plain\r\n"));
        EXPECT_EQ(a.body, p.want + "\r\n") << q;
    }
    EXPECT_FALSE(contains(systest::read_text(home + "SMSGW.INI"), "WebPort=1\r"));

    // The new account is listed (its name escaped), may submit, but may not
    // administer until AdminEnabled is on.
    a = http(port, "GET", "/ADMIN/SMSUSERS", admin);
    EXPECT_EQ(a.status, "200 OK");
    EXPECT_TRUE(contains(a.body, "<td>alice</td><td>&lt;script&gt;alert(1)&lt;/script&gt;</td>"))
        << a.body;
    EXPECT_FALSE(contains(a.body, "<script>"));
    EXPECT_EQ(http(port, "GET", "/ADMIN", "alice:Pw1").status, "401 Auth Required");
    a = http(port, "GET", "/?PhoneNumber=31600000001&Text=hello+admin", "alice:Pw1");
    EXPECT_EQ(a.status, "200 OK") << a.raw;
    EXPECT_EQ(http(port, "GET", prov + "Action=Modify&UserName=alice&AdminEnabled=Yes").body,
              "OK\r\n");
    EXPECT_EQ(http(port, "GET", "/ADMIN", "alice:Pw1").status, "200 OK");

    // Every page answers behind the login.
    for (const char* page : {"/ADMIN", "/ADMIN/USERS", "/ADMIN/SMSUSERS", "/ADMIN/LOGFILES",
                             "/ADMIN/EVENTLOG", "/ADMIN/ACTIVITY", "/ADMIN/STATUS", "/ADMIN/INBOX/",
                             "/ADMIN/Q", "/ADMIN/XMLSTATUS", "/ADMIN/admin.css"}) {
        EXPECT_EQ(http(port, "GET", page).status, "401 Auth Required") << page;
        EXPECT_EQ(http(port, "GET", page, admin).status, "200 OK") << page;
    }
    EXPECT_EQ(http(port, "GET", "/ADMIN/nosuch.htm", admin).status, "404 Not Found");
    EXPECT_EQ(http(port, "GET", "/ADMIN/..%2FSMSGW.INI", admin).status, "404 Not Found");

    // Received texts and senders in the inbox are escaped.
    systest::write_text(
        home + "LOGS/SMSIN-29990102.LOG",
        "2999-01-02 10:00:00,<img src=x onerror=alert(1)>,UCP - x,Text=<script>\r\n");
    a = http(port, "GET", "/ADMIN/INBOX", admin);
    EXPECT_TRUE(contains(a.body, "&lt;img src=x onerror=alert(1)&gt;,UCP - x,Text=&lt;script&gt;"))
        << a.body;
    EXPECT_FALSE(contains(a.body, "<img") || contains(a.body, "<script"));

    // The log viewer shows only listed logs; a symlink in LOGS/ is neither.
    fs::create_symlink(home + "SMSGW.INI", home + "LOGS/SMSOUT-29990101.LOG");
    a = http(port, "GET", "/ADMIN/LOGFILES", admin);
    EXPECT_FALSE(contains(a.body, "SMSOUT-29990101")) << a.body;
    EXPECT_EQ(http(port, "GET", "/ADMIN/LOGFILES?file=SMSOUT-29990101.LOG", admin).status,
              "404 Not Found");
    EXPECT_EQ(http(port, "GET", "/ADMIN/LOGFILES?file=../SMSGW.INI", admin).status,
              "404 Not Found");

    // Changes need a POST with the page's token.
    std::string main_page = http(port, "GET", "/ADMIN", admin).body;
    std::string token = token_of(main_page);
    ASSERT_FALSE(token.empty()) << main_page;
    std::string events_before = systest::read_text(home + "PRIVATE/EVENTS.LOG");
    ASSERT_FALSE(events_before.empty());
    EXPECT_EQ(http(port, "GET", "/ADMIN/EVENTLOG?Action=Clear&AdminToken=" + token, admin).status,
              "200 OK");
    EXPECT_EQ(http(port, "POST", "/ADMIN/EVENTLOG", admin, "Action=Clear").status, "403 Forbidden");
    EXPECT_EQ(
        http(port, "POST", "/ADMIN/EVENTLOG", admin, "Action=Clear&AdminToken=00" + token).status,
        "403 Forbidden");
    EXPECT_EQ(http(port, "POST", "/ADMIN/SMSUSERS", admin, "Action=Delete&UserName=alice").status,
              "403 Forbidden");
    EXPECT_EQ(systest::read_text(home + "PRIVATE/EVENTS.LOG"), events_before);
    a = http(port, "POST", "/ADMIN/EVENTLOG", admin, "Action=Clear&AdminToken=" + token);
    EXPECT_TRUE(contains(a.body, "Event log cleared")) << a.body;
    EXPECT_TRUE(systest::read_text(home + "PRIVATE/EVENTS.LOG").empty());

    // An account added through the account page's form (every field as the
    // form sends it) may submit at once; empty fields change nothing.
    std::string form = "AdminToken=" + token + "&Action=Add&UserName=erin&Password=E1";
    for (const char* f :
         {"EnableWebLogin=Yes", "EnableSmppLogin=No", "EnableSmtpLogin=No", "ReceiveEnabled=No",
          "AdminEnabled=No", "EnableCreditBalance=No", "MessageLimitDefault=No", "CreditsToAdd=",
          "FullName=Erin", "ForcedSenderAddress=", "RestrictIPAddress=", "MessageLimitPerDay=0",
          "MessageLimitPerMonth=0", "ThrottleSpeed=", "WebOptions=", "RecipientAddresses="})
        form += std::string("&") + f;
    a = http(port, "POST", "/ADMIN/SMSUSERS", admin, form);
    EXPECT_TRUE(contains(a.body, "<p class=\"ok\">OK</p>")) << a.body;
    a = http(port, "POST", "/ADMIN/SMSUSERS", admin,
             "AdminToken=" + token +
                 "&Action=Modify&UserName=erin&Password=&FullName=Erin+E&CreditsToAdd=");
    EXPECT_TRUE(contains(a.body, "<p class=\"ok\">OK</p>")) << a.body;
    EXPECT_EQ(http(port, "GET", "/?PhoneNumber=31600000003&Text=from+erin", "erin:E1").status,
              "200 OK");
    EXPECT_FALSE(systest::file_exists(home + "USERS/erin/SMS.CTR"));

    // MMS accounts: add, change (an empty password keeps the old one), list.
    const std::string mms = "AdminToken=" + token + "&UserName=mia";
    EXPECT_EQ(
        http(port, "POST", "/ADMIN/USERS", admin, "Action=Add&UserName=mia&Password=m").status,
        "403 Forbidden");
    EXPECT_TRUE(contains(http(port, "POST", "/ADMIN/USERS", admin,
                              mms + "&Action=Add&Password=m&FullName=Mia&PhoneNumber=%2B3161")
                             .body,
                         "OK Added"));
    EXPECT_TRUE(
        contains(http(port, "POST", "/ADMIN/USERS", admin,
                      mms + "&Action=Modify&Password=&FullName=M%3Ci%3Ea&PhoneNumber=%2B3162")
                     .body,
                 "OK Modified"));
    a = http(port, "GET", "/ADMIN/USERS", admin);
    EXPECT_TRUE(contains(a.body, "<td>mia</td><td>M&lt;i&gt;a</td><td>+3162</td>")) << a.body;
    EXPECT_TRUE(contains(
        http(port, "POST", "/ADMIN/USERS", admin, mms + "&Action=Modify&FullName=a%0Ab").body,
        "line breaks are not allowed"));

    // A command: its output, and never a shell.
    EXPECT_EQ(http(port, "GET", "/ADMIN/echo?CmdLine=hello+there", admin).status, "403 Forbidden");
    a = http(port, "GET", "/ADMIN/echo?CmdLine=hello+there&AdminToken=" + token, admin);
    EXPECT_EQ(a.status, "200 OK");
    EXPECT_TRUE(contains(a.raw, "Content-Type: text/plain\r\n"));
    EXPECT_EQ(a.body, "hello there\n");
    a = http(port, "GET", "/ADMIN/echo?CmdLine=x%3Btouch+" + home + "PWNED&AdminToken=" + token,
             admin);
    EXPECT_EQ(a.status, "400 Bad Request");
    EXPECT_FALSE(systest::file_exists(home + "PWNED"));

    // The SMSC takes the submitted message; the metrics agree with the logs.
    ASSERT_TRUE(systest::wait_for([&] { return rig.queued() == 0; }, 20000)) << rig.diag();
    ASSERT_TRUE(systest::wait_for(
        [&] { return rig.out_log_has("31600000001") && rig.out_log_has("31600000003"); }, 10000))
        << rig.diag();
    EXPECT_EQ(http(port, "GET", "/health", "", "", "127.0.0.2").status, "200 OK");
    ASSERT_TRUE(support::ini_set(home + "SMSGW.INI", "SMSGW", "MonitorIPAddressList", "127.0.0.1"));
    EXPECT_EQ(http(port, "GET", "/health", "", "", "127.0.0.2").status, "403 Forbidden");
    EXPECT_EQ(http(port, "GET", "/metrics", "", "", "127.0.0.2").status, "403 Forbidden");
    EXPECT_EQ(http(port, "GET", "/health").status, "200 OK");
    a = http(port, "GET", "/metrics");
    std::map<std::string, double> m;
    ASSERT_TRUE(parse_metrics(a.body, m)) << a.body;
    size_t web_lines = 0;
    for (const auto& f : linktest::Rig::files(home + "LOGS", ".LOG"))
        if (contains(f, "SMSWEB-")) {
            std::istringstream in(systest::read_text(f));
            for (std::string l; std::getline(in, l);) web_lines += !l.empty() && l != "\r";
        }
    size_t sent_lines = 0;
    for (const auto& l : rig.out_lines())
        sent_lines += contains(l, "31600000001") || contains(l, "31600000003");
    EXPECT_EQ(m["smsgw_messages_today{kind=\"submitted\"}"], double(web_lines)) << a.body;
    EXPECT_EQ(m["smsgw_link_messages_today{link=\"" + link + "\",kind=\"sent\"}"],
              double(sent_lines))
        << a.body;
    EXPECT_EQ(m["smsgw_link_up{link=\"" + link + "\"}"], 1.0);
    EXPECT_EQ(m.count("smsgw_queue_size{queue=\"outbound\"}"), 1u);
    EXPECT_EQ(m.count("smsgw_smpp_sessions"), 1u);
    EXPECT_GE(m["smsgw_http_responses_total{status=\"401\"}"], 4.0);

    // The XML status through a real parser, with a stale session flag that
    // the request removes.
    fs::create_directories(home + "PRIVATE/SMPPData/ActiveUsers");
    systest::write_text(home + "PRIVATE/SMPPData/ActiveUsers/127.0.0.1-4000-T-gone.FLG", "");
    a = http(port, "GET", "/ADMIN/XMLSTATUS", admin);
    EXPECT_TRUE(contains(a.raw, "Content-Type: application/xml\r\n"));
    EXPECT_FALSE(
        systest::file_exists(home + "PRIVATE/SMPPData/ActiveUsers/127.0.0.1-4000-T-gone.FLG"));
    auto parse_xml = [&](const std::string& xml) {
        systest::write_text(home + "status.xml", xml);
        return systest::run_command(
            "python3 -c \"import xml.etree.ElementTree as E; r=E.parse('" + home +
            "status.xml').getroot(); print(r.tag, [(s.findtext('Name'), s.findtext('Status')) for "
            "s in "
            "r.findall('SMSCStatus')], r.findtext('SMSSubmitted/MessagesToday'))\" 2>&1");
    };
    std::string parsed = parse_xml(a.body);
    EXPECT_TRUE(contains(parsed, "KelSMSStatus [('" + link + "', 'OK')] 2")) << parsed << a.body;

    // The account tools while the gateway runs.
    std::string out =
        run(home, "account set dave Password=Dv1 EnableWebLogin=Yes AdminEnabled=Yes");
    EXPECT_TRUE(contains(out, "OK")) << out;
    EXPECT_TRUE(contains(run(home, "account set dave Colour=red"), "rc=2"));
    EXPECT_TRUE(contains(run(home, "account set 'a;b' Password=x"), "rc=1"));
    EXPECT_EQ(http(port, "GET", "/ADMIN/ACTIVITY", "dave:Dv1").status, "200 OK");
    out = run(home, "account list");
    EXPECT_TRUE(contains(out, "UserName=dave\tPassword=(set)")) << out;
    EXPECT_TRUE(contains(out, "UserName=alice")) << out;
    EXPECT_TRUE(contains(run(home, "account delete dave"), "rc=0"));
    EXPECT_FALSE(contains(run(home, "account list"), "dave"));

    // A new administrator password, stored hashed; the old one stops working.
    out = run(home, "admin-password", "NewPw9");
    EXPECT_TRUE(contains(out, "rc=0")) << out;
    std::string stored = systest::read_text(home + "SMSGW.INI");
    EXPECT_TRUE(contains(stored, "AdminPassword=pbkdf2-sha256$"));
    EXPECT_FALSE(contains(stored, "NewPw9"));
    EXPECT_TRUE(systest::wait_for(
        [&] { return http(port, "GET", "/ADMIN", "admin:NewPw9").status == "200 OK"; }, 5000));
    EXPECT_EQ(http(port, "GET", "/ADMIN", admin).status, "401 Auth Required");
    EXPECT_EQ(http(port, "GET",
                   "/PROVISION?AdminUser=admin&AdminPassword=NewPw9&Action=Delete&UserName=alice")
                  .body,
              "OK\r\n");

    // The only SMSC stops: the link goes down, /health says so, the XML
    // status and the status page too.
    smsc.reset();
    rig.queue("ZZ000001.req",
              linktest::request(
                  {{"PhoneNumber", "31600000002"}, {"Sender", "<b>s"}, {"Data", "<i>q</i>"}}));
    EXPECT_TRUE(systest::wait_for(
        [&] { return http(port, "GET", "/health").status == "503 Service Unavailable"; }, 30000,
        200))
        << rig.diag();
    // Each pass of the link clears its status file before it tries again,
    // so every view is asked until it shows the failure (bounded).
    auto shows = [&](const std::function<bool()>& cond) {
        return systest::wait_for(cond, 10000, 50);
    };
    EXPECT_TRUE(shows([&] {
        a = http(port, "GET", "/health");
        return contains(a.body, "No link is up (" + link) && a.body.find('\n') == a.body.size() - 1;
    })) << a.raw;
    EXPECT_TRUE(shows([&] {
        parsed = parse_xml(http(port, "GET", "/ADMIN/XMLSTATUS", "admin:NewPw9").body);
        return contains(parsed, "[('" + link + "', 'ERROR')]");
    })) << parsed;
    EXPECT_TRUE(shows([&] {
        a = http(port, "GET", "/ADMIN/STATUS", "admin:NewPw9");
        return contains(a.body, "<font color=\"red\">" + link);
    })) << a.body;
    a = http(port, "GET", "/ADMIN/Q", "admin:NewPw9");
    EXPECT_TRUE(contains(a.body, "<td>&lt;b&gt;s</td><td>31600000002</td>")) << a.body;
    EXPECT_TRUE(contains(a.body, "&lt;i&gt;q&lt;/i&gt;"));
    EXPECT_FALSE(contains(a.body, "<i>q"));
    EXPECT_TRUE(rig.stop());
}

}  // namespace
