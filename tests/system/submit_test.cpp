// Black-box tests of the HTTP submission interface: the real gateway takes
// submissions with curl and writes request files whose exact contents are
// checked; every validation message and account refusal is answered with
// its status and writes nothing; and over an SMPP link to the test SMSC
// the submitted messages arrive with the bytes the submission implies.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "common/node_peer.h"
#include "platform/text.h"
#include "radio/charset/charset.h"
#include "support/accounts.h"
#include "system/harness.h"
#include "system/link_fixture.h"

namespace fs = std::filesystem;

namespace {

using linktest::contains;

std::string run(const std::string& cmd) {
    return systest::run_command(cmd);
}

void add_account(const std::string& home, const std::string& name, uint32_t per_day = 0) {
    support::set_account_database_path(home + "USERS.DB");
    fs::create_directories(home);
    support::UserFile f;
    ASSERT_TRUE(support::SMSOpenUserFile(f, support::UserFileAccess::ReadWrite));
    support::UserRecord r;
    r.name = name;
    r.enable_web_login = true;
    r.message_limit_per_day = per_day;
    ASSERT_TRUE(support::set_user_password(r, "Secret1"));
    ASSERT_TRUE(support::SMSAddUser(f, r));
    support::SMSCloseUserFile(f);
    support::set_account_database_path("");
}

struct Answer {
    std::string status;  // "200 OK", "400 Bad Request" ...
    std::string raw;
    std::vector<std::string> ids;         // message ids in answer order
    std::vector<std::string> recipients;  // their recipients
};

class SubmitTest : public ::testing::Test {
  protected:
    // A GET with the query given (already URL-encoded) as Alice.
    Answer get(const std::string& query, bool browser = false, const std::string& user = "Alice") {
        std::string cmd = "curl -s -i --max-time 20 -u " + user + ":Secret1 ";
        if (browser) cmd += "-A 'Mozilla/5.0 (X11)' ";
        cmd += "'http://127.0.0.1:" + std::to_string(rig_.gw().web_port()) + "/?" + query + "'";
        return parse(run(cmd));
    }
    std::string page(const std::string& path) {
        return run("curl -s -i --max-time 20 -u Alice:Secret1 'http://127.0.0.1:" +
                   std::to_string(rig_.gw().web_port()) + path + "'");
    }
    Answer post(const std::string& body) {
        std::string path = rig_.home() + "../body.txt";
        systest::write_text(path, body);
        std::string cmd = "curl -s -i --max-time 60 -u Alice:Secret1 --data-binary @" + path +
                          " -H 'Content-Type: application/x-www-form-urlencoded' " +
                          "'http://127.0.0.1:" + std::to_string(rig_.gw().web_port()) + "/'";
        return parse(run(cmd));
    }
    static Answer parse(const std::string& raw) {
        Answer a;
        a.raw = raw;
        size_t sp = raw.find(' '), eol = raw.find("\r\n");
        if (sp != std::string::npos && eol != std::string::npos && sp < eol)
            a.status = raw.substr(sp + 1, eol - sp - 1);
        static const std::regex line("MessageID=([^,]+), Recipient=([^\r\n]*)\r\n");
        for (std::sregex_iterator it(raw.begin(), raw.end(), line), end; it != end; ++it) {
            a.ids.push_back((*it)[1]);
            a.recipients.push_back((*it)[2]);
        }
        return a;
    }
    std::string file(const std::string& rel) { return systest::read_text(rig_.home() + rel); }
    size_t all_files() {
        return linktest::Rig::files(rig_.q(), "").size() +
               linktest::Rig::files(rig_.home() + "SMS-IN", ".in").size();
    }

    linktest::Rig rig_;
};

std::string error_page(const std::string& message) {
    return "<HTML><HEAD><TITLE>\r\nInvalid Parameter\r\n</TITLE></HEAD><BODY><H1>\r\n"
           "Error:  Invalid Parameter\r\n</H1>\r\n" +
           message + "\r\n</BODY></HTML>\r\n";
}

TEST_F(SubmitTest, SubmitRequestFilesPagesAndValidation) {
    add_account(rig_.home(), "Alice");
    // The inbound threads are off, so that the local delivery stays in the
    // inbound store where the checks below count it.
    ASSERT_TRUE(rig_.start(
        "[SMSGW]\r\nDebug=Yes\r\nSeparateUserQueues=No\r\nExtraHttpArgList=Campaign;Data\r\n"
        "GlobalRecipPrefixConvert=07:+447\r\nReceiveSMS=No\r\n"));

    // Injection: CR/LF, %00, ";" and "Key=Value" never add a key.
    Answer a =
        get("PhoneNumber=%2B44%20(7700)%20900-123;07700900124:9200&Text=Hi%0D%0ABinary=1"
            "&Sender=Shop%0ASMSCRoute=x&Validity=1%00PhoneNumber=9&ServiceType=A;B=C"
            "&Campaign=c1%0D%0ADCS=8&Data=AA&ReplyRequested=Yes&Receipt=No");
    ASSERT_EQ(a.status, "200 OK") << a.raw;
    ASSERT_EQ(a.ids.size(), 2u) << a.raw;
    EXPECT_EQ(a.recipients, (std::vector<std::string>{"+447700900123", "+447700900124"}));
    // The port on the second recipient is the message's destination port:
    // a port header, and the text packed behind it.
    const std::string packed =
        radio::charset::pack_septets(radio::charset::utf8_to_gsm("Hi\r\nBinary=1"), 7);
    const std::string body =
        "[SMS]\r\nSubmitUser=Alice\r\nSubmittedBy=127.0.0.1\r\nSender=Shop SMSCRoute=x\r\n"
        "ReplyRequested=Yes\r\nValidity=1\r\nServiceType=A;B=C\r\n"
        "Data=" +
        packed + "\r\nUDH=06050423F00000\r\nBinary=1\r\n";
    EXPECT_EQ(file("Q/" + a.ids[0] + ".req"),
              body + "PhoneNumber=+447700900123\r\nSMSCRoute=\r\nCampaign=c1  DCS=8\r\n");
    EXPECT_EQ(file("Q/" + a.ids[1] + ".req"),
              body + "PhoneNumber=+447700900124\r\nSMSCRoute=\r\nCampaign=c1  DCS=8\r\n");
    EXPECT_TRUE(contains(a.raw, "<a href=\"javascript:history.back()\">Continue</a>\r\n"));
    EXPECT_TRUE(
        contains(a.raw, "Expires: Tue, 01 Jan 1980 1:00:00 GMT\r\nCache-Control: no-cache"));

    // A long text: one SAR file per segment, named by recipient and reference.
    a = get("PhoneNumber=555&Text=" + std::string(161, 'a') + "&ContinueURL=example.com/x");
    ASSERT_EQ(a.ids.size(), 2u) << a.raw;
    EXPECT_TRUE(contains(a.raw, "<a href=\"http://example.com/x\">Continue</a>"));
    std::smatch m;
    ASSERT_TRUE(std::regex_match(a.ids[0], m, std::regex("SAR-555-([0-9a-f]+)-2-1"))) << a.ids[0];
    EXPECT_EQ(a.ids[1], "SAR-555-" + m[1].str() + "-2-2");
    std::string seg1 = file("Q/" + a.ids[0] + ".req"), seg2 = file("Q/" + a.ids[1] + ".req");
    std::smatch u1, u2;
    ASSERT_TRUE(std::regex_search(seg1, u1, std::regex("UDH=050003([0-9A-F]{2})0201\r\n")));
    ASSERT_TRUE(std::regex_search(seg2, u2, std::regex("UDH=050003([0-9A-F]{2})0202\r\n")));
    EXPECT_EQ(u1[1], u2[1]);
    EXPECT_TRUE(contains(seg1, "Binary=1\r\nPhoneNumber=555\r\n"));

    // Unicode without shift tables: UCS-2, DCS 08.
    a = get("PhoneNumber=556&Text=%D0%9F%D1%80%D0%B8");
    ASSERT_EQ(a.ids.size(), 1u);
    EXPECT_TRUE(contains(file("Q/" + a.ids[0] + ".req"),
                         "Data=041F04400438\r\ndcs=08\r\nBinary=1\r\nPhoneNumber=556\r\n"));

    // A delayed message waits in the delayed area, a local delivery goes to
    // the inbound store; neither is in the live queue.
    a = get("PhoneNumber=557&Text=later&DelayUntil=2099-12-31%2023:59");
    ASSERT_EQ(a.ids.size(), 1u);
    EXPECT_TRUE(systest::file_exists(rig_.q("DELAYQ/20991231/2359/" + a.ids[0] + ".req")));
    a = get("PhoneNumber=558&Text=inside&LocalUser=Bob");
    ASSERT_EQ(a.ids.size(), 1u);
    EXPECT_EQ(file("SMS-IN/" + a.ids[0] + ".in"),
              "[SMS-IN]\r\nSubmitUser=Alice\r\nSubmittedBy=127.0.0.1\r\nRouteToLocalUser=Bob\r\n"
              "Data=inside\r\nPhoneNumber=558\r\nModemName=\r\n");

    // A DelayUntil in the past goes out at once, one in year 9999 waits;
    // a script as ContinueURL is not echoed.
    a = get("PhoneNumber=561&Text=now&DelayUntil=2001-01-01%2000:00");
    ASSERT_EQ(a.ids.size(), 1u);
    EXPECT_TRUE(systest::file_exists(rig_.q(a.ids[0] + ".req")));
    a = get("PhoneNumber=562&Text=never&DelayUntil=9999-12-31%2023:59");
    ASSERT_EQ(a.ids.size(), 1u);
    EXPECT_TRUE(systest::file_exists(rig_.q("DELAYQ/99991231/2359/" + a.ids[0] + ".req")));
    a = get("PhoneNumber=563&Text=ab&ContinueURL=javascript:alert(1)");
    ASSERT_EQ(a.ids.size(), 1u);
    EXPECT_FALSE(contains(a.raw, "alert"));
    EXPECT_TRUE(contains(a.raw, "<a href=\"javascript:history.back()\">"));

    // Distribution lists: "#sales" the public list, "team" Alice's own.
    fs::create_directories(rig_.home() + "DLists/Alice");
    systest::write_text(rig_.home() + "DLists/sales.TXT", "\xEF\xBB\xBF+111 Ann\r\n222\r\n");
    systest::write_text(rig_.home() + "DLists/Alice/team.TXT", "333\n");
    a = get("PhoneNumber=%23sales,team,444&Text=list");
    EXPECT_EQ(a.recipients, (std::vector<std::string>{"+111", "222", "333", "444"})) << a.raw;

    // charset: the text is converted to UTF-8.
    a = get("PhoneNumber=559&Text=caf%E9&charset=iso-8859-1");
    ASSERT_EQ(a.ids.size(), 1u);
    EXPECT_TRUE(contains(file("Q/" + a.ids[0] + ".req"), "Data=caf\xC3\xA9\r\n")) << a.raw;

    // An injected receipt for a message the tracking does not know.
    a = get("ReceiptMessageId=ABC&PhoneNumber=560&ReceiptFailed=Yes&ReceiptDoneDate=2612010000");
    ASSERT_EQ(a.ids.size(), 1u) << a.raw;
    std::string receipt = file("Q/" + a.ids[0] + ".req");
    EXPECT_TRUE(contains(receipt, "ReceiptFailed=Yes\r\nReceiptMessageId=ABC\r\n")) << receipt;
    EXPECT_TRUE(std::regex_search(
        receipt, std::regex("\r\nData=id:ABC sub:001 dlvrd:000 submit date:[0-9]{10} done "
                            "date:2612010000 stat:REJECTD err:3E7\r\nPhoneNumber=560\r\n")))
        << receipt;

    // Every validation failure: its message, 400 (200 for a browser), nothing written.
    const size_t before = all_files();
    struct Bad {
        std::string query, message;
    } bad[] = {
        {"PhoneNumber=abc&Text=x", "Invalid format for telephone number."},
        {"PhoneNumber=1&Text=x&SMSCRoute=Nowhere%3Cb%3E", "Unknown smscRoute=Nowhere&lt;b&gt;"},
        {"PhoneNumber=1&Text=x&MMSCRoute=m1", "Unknown mmscRoute=m1"},
        {"PhoneNumber=1&Text=x&UDH=0G",
         "Invalid format for UDH (hexadecimal digit characters only)."},
        {"PhoneNumber=1&Data=hello",
         "Invalid format for Text/Data parameter when binary flag is set (hexadecimal digit "
         "characters only)."},
        {"PhoneNumber=1&Data=ABC",
         "Invalid format for Text/Data parameter (odd number of hexadecimal digits)."},
        {"PhoneNumber=1&Text=x&DelayUntil=2030-02-40", "Invalid format for DelayUntil=2030-02-40"},
        {"PhoneNumber=1&Text=x&MMSText=y", "MMS submissions are not available."},
        {"PhoneNumber=1&Text=a%FF%FEb",
         "Invalid format for Text parameter (not UTF-8; give its charset)."},
    };
    for (const Bad& b : bad) {
        a = get(b.query);
        EXPECT_EQ(a.status, "400 Bad Request") << b.query;
        EXPECT_TRUE(contains(a.raw, "\r\n\r\n" + error_page(b.message))) << a.raw;
        a = get(b.query, true);
        EXPECT_EQ(a.status, "200 OK") << b.query;
    }
    // A 1 MB text in a POST is refused whole, not cut.
    a = post("PhoneNumber=1&Text=" + std::string(1 << 20, 'x'));
    EXPECT_EQ(a.status, "400 Bad Request");
    EXPECT_TRUE(contains(a.raw, "Text/Data parameter too long (more than 8191 characters)."));
    EXPECT_EQ(all_files(), before);

    // The web menu: the shipped default page, installed as Alice's own, with
    // its blocks decided for her (logged in, no administration, no sender or
    // route fields).
    fs::create_directories(rig_.home() + "USERS/Alice/html");
    fs::copy_file(std::string(SMSGW_SOURCE_DIR) + "/src/frontends/http/submit_html/default.htm",
                  rig_.home() + "USERS/Alice/html/default.htm");
    for (const char* path : {"/", "/nosuch.htm"}) {
        std::string menu = page(path);
        EXPECT_TRUE(contains(menu, "HTTP/1.1 200 OK\r\n")) << menu;
        EXPECT_TRUE(contains(menu, "Content-Type: text/html\r\n"));
        EXPECT_TRUE(contains(menu, "<form id=\"textform\" method=\"post\" action=\"/\">"));
        EXPECT_TRUE(contains(menu, "<p>Logged in.</p>"));
        EXPECT_TRUE(contains(menu, "name=\"UDH\""));
        EXPECT_FALSE(contains(menu, "<!@@"));
        EXPECT_FALSE(contains(menu, "/ADMIN"));
        EXPECT_FALSE(contains(menu, "name=\"Sender\""));
    }
    // A path that climbs is cut to a name inside html/: the menu, never the INI.
    std::string climbed = page("/..%2F..%2FSMSGW.INI");
    EXPECT_TRUE(contains(climbed, "id=\"textform\"")) << climbed;
    EXPECT_FALSE(contains(climbed, "[SMSGW]"));

    // The web and account logs have one line per file.
    size_t web = 0;
    for (const auto& path : linktest::Rig::files(rig_.home() + "LOGS", ".LOG")) {
        if (!contains(path, "SMSWEB-")) continue;
        std::string log = systest::read_text(path);
        web += size_t(std::count(log.begin(), log.end(), '\n'));
    }
    EXPECT_EQ(web, 2u + 2u + 1u + 1u + 3u + 4u + 1u + 1u) << rig_.diag();
    EXPECT_TRUE(rig_.stop());
}

TEST_F(SubmitTest, SubmitQuotaAndCreditRefusalsChargeNothing) {
    add_account(rig_.home(), "Carol", 3);
    ASSERT_TRUE(rig_.start(
        "[SMSGW]\r\nDebug=Yes\r\nDefaultMsgLimitPerDay=100\r\nDefaultMsgLimitPerMonth=1000\r\n"
        "DurableQueue=Yes\r\n"));
    Answer a = get("PhoneNumber=1,2&Text=x", false, "Carol");
    ASSERT_EQ(a.ids.size(), 2u) << a.raw;
    // Two more would pass the limit of 3: refused whole, with 503 (200 for a browser).
    a = get("PhoneNumber=3,4&Text=x", false, "Carol");
    EXPECT_EQ(a.status, "503 Service Unavailable") << a.raw;
    EXPECT_TRUE(a.ids.empty());
    a = get("PhoneNumber=3,4&Text=x", true, "Carol");
    EXPECT_EQ(a.status, "200 OK");
    EXPECT_TRUE(a.ids.empty());
    // The refusal charged nothing: one more still fits.
    a = get("PhoneNumber=3&Text=x", false, "Carol");
    EXPECT_EQ(a.ids.size(), 1u) << a.raw;
    a = get("PhoneNumber=4&Text=x", false, "Carol");
    EXPECT_EQ(a.status, "503 Service Unavailable");
    // Credits: Dave holds 3; a refusal for two when one is left takes none.
    add_account(rig_.home(), "Dave");
    fs::create_directories(rig_.home() + "USERS/Dave");
    systest::write_text(rig_.home() + "USERS/Dave/SMS.CTR", std::string("\x03\0\0\0", 4));
    EXPECT_EQ(get("PhoneNumber=5,6&Text=x", false, "Dave").ids.size(), 2u);
    a = get("PhoneNumber=7,8&Text=x", false, "Dave");
    EXPECT_EQ(a.status, "503 Service Unavailable") << a.raw;
    EXPECT_EQ(get("PhoneNumber=7&Text=x", false, "Dave").ids.size(), 1u);
    EXPECT_EQ(get("PhoneNumber=8&Text=x", false, "Dave").status, "503 Service Unavailable");
    EXPECT_EQ(linktest::Rig::files(rig_.q(), ".req").size(), 3u + 3u);
    EXPECT_TRUE(rig_.stop());
}

TEST_F(SubmitTest, SubmitOverSmppLinkEndToEnd) {
    nodepeer::NodePeer smsc(std::string(SMSGW_SOURCE_DIR) + "/tests/system/");
    ASSERT_TRUE(smsc.start("npm_smsc.js", {"0"}));
    nodepeer::Event e;
    ASSERT_TRUE(smsc.wait("listening", e, 10000));
    const std::string link = "SMPP - 127.0.0.1:" + e["port"];
    add_account(rig_.home(), "Alice");
    ASSERT_TRUE(rig_.start(
        "[SMSGW]\r\nDebug=Yes\r\nReceiveSMS=No\r\nMaxQDirEntries=5\r\nModem1=" + link +
        "\r\n\r\n[" + link + "]\r\nUserName=gateway\r\nPassword=pw\r\nRetryDelay=1\r\n"));
    Answer text = get("PhoneNumber=%2B447700900001&Text=Hello%20SMSC&Sender=Shop&SMSCRoute=" +
                      platform::strprintf("SMPP%%20-%%20127.0.0.1:%s", e["port"].c_str()));
    ASSERT_EQ(text.ids.size(), 1u) << text.raw;
    Answer uni = get("PhoneNumber=447700900002&Text=%D0%9F%D1%80%D0%B8");
    ASSERT_EQ(uni.ids.size(), 1u) << uni.raw;
    Answer bin = get("PhoneNumber=447700900003&Data=DEADBEEF&UDH=0605040B8423F0&dcs=F5");
    ASSERT_EQ(bin.ids.size(), 1u) << bin.raw;
    Answer longer = get("PhoneNumber=447700900004&Text=" + std::string(200, 'b'));
    ASSERT_EQ(longer.ids.size(), 2u) << longer.raw;

    // Twelve recipients are more than MaxQDirEntries: a bulk batch, which
    // the bulk threads expand into files named as the answer said.
    std::string many;
    for (int i = 10; i < 22; ++i)
        many += (many.empty() ? "" : ",") + std::to_string(4477009000 + i);
    Answer bulk = get("PhoneNumber=" + many + "&Text=To%20many");
    ASSERT_EQ(bulk.ids.size(), 12u) << bulk.raw;
    EXPECT_EQ(bulk.recipients[11], "4477009021");

    std::vector<nodepeer::Event> submits;
    ASSERT_TRUE(systest::wait_for(
        [&] {
            smsc.pump();
            for (auto& ev : smsc.take_kept())
                if (ev.name == "submit_sm") submits.push_back(ev);
            return submits.size() >= 5 + 12;
        },
        60000))
        << rig_.diag();
    std::map<std::string, std::vector<nodepeer::Event>> by_dest;
    std::string seen;
    for (const auto& s : submits) {
        by_dest[s["destination_addr"]].push_back(s);
        seen += s["destination_addr"] + " " + s["short_message"] + "\n";
    }
    SCOPED_TRACE(seen);
    // The "+" becomes the international type of number.
    ASSERT_EQ(by_dest["447700900001"].size(), 1u);
    EXPECT_EQ(by_dest["447700900001"][0]["dest_addr_ton"], "1");
    EXPECT_EQ(by_dest["447700900001"][0]["short_message"], "48656C6C6F20534D5343");
    EXPECT_EQ(by_dest["447700900001"][0]["source_addr"], "Shop");
    ASSERT_EQ(by_dest["447700900002"].size(), 1u);
    EXPECT_EQ(by_dest["447700900002"][0]["data_coding"], "8");
    EXPECT_EQ(by_dest["447700900002"][0]["short_message"], "041F04400438");
    ASSERT_EQ(by_dest["447700900003"].size(), 1u);
    EXPECT_EQ(by_dest["447700900003"][0]["short_message"], "0605040B8423F0DEADBEEF");
    // The long text in two segments of one reference: 153 and 47 septets.
    ASSERT_EQ(by_dest["447700900004"].size(), 2u);
    std::string s1 = by_dest["447700900004"][0]["short_message"];
    std::string s2 = by_dest["447700900004"][1]["short_message"];
    if (s1.substr(10, 2) == "02") std::swap(s1, s2);
    EXPECT_EQ(s1.substr(0, 6), "050003");
    EXPECT_EQ(s1.substr(8, 4), "0201");
    EXPECT_EQ(s2.substr(6, 6), s1.substr(6, 2) + "0202");
    std::string b153, b47;
    for (int i = 0; i < 153; ++i) b153 += "62";
    for (int i = 0; i < 47; ++i) b47 += "62";
    EXPECT_EQ(s1.substr(12), b153);
    EXPECT_EQ(s2.substr(12), b47);
    for (int i = 10; i < 22; ++i) {
        auto& got = by_dest[std::to_string(4477009000 + i)];
        ASSERT_EQ(got.size(), 1u) << i;
        EXPECT_EQ(got[0]["short_message"], "546F206D616E79");
    }
    EXPECT_TRUE(systest::wait_for([&] { return rig_.out_lines().size() >= 5 + 12; }, 10000));
    std::string out;
    for (const auto& l : rig_.out_lines()) out += l + "\n";
    for (const auto& id : bulk.ids) EXPECT_TRUE(contains(out, "," + id + ",")) << id << "\n" << out;
    // The expanded batch is removed.
    EXPECT_TRUE(systest::wait_for(
        [&] { return linktest::Rig::files(rig_.home() + "BULKQ", "").empty(); }, 10000))
        << linktest::Rig::files(rig_.home() + "BULKQ", "")[0];
    EXPECT_TRUE(rig_.stop());
}

}  // namespace

namespace {

TEST_F(SubmitTest, SubmitTenThousandRecipientsGoThroughTheBulkQueue) {
    add_account(rig_.home(), "Alice");
    // Durable mode: the batch is synced before the answer, the bulk threads
    // sync what they expand before they drop a list.
    ASSERT_TRUE(rig_.start("[SMSGW]\r\nDebug=No\r\nDisableWebLog=Yes\r\nDurableQueue=Yes\r\n"));
    std::string list;
    for (int i = 0; i < 10001; ++i) list += (i ? "," : "") + std::to_string(4470000000LL + i);
    const auto t0 = std::chrono::steady_clock::now();
    Answer a = post("PhoneNumber=" + list + "&Text=bulk");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_EQ(a.status, "200 OK") << a.raw.substr(0, 500);
    ASSERT_EQ(a.ids.size(), 10001u);
    EXPECT_EQ(a.recipients.back(), "4470010000");
    // The connection only wrote the batch; the bulk threads write the files.
    EXPECT_LT(seconds, 20.0);
    EXPECT_TRUE(
        systest::wait_for([&] { return !linktest::Rig::files(rig_.q(), ".req").empty(); }, 10000));
    // Every file the bulk threads wrote is one the answer named.
    std::set<std::string> named(a.ids.begin(), a.ids.end());
    for (const auto& path : linktest::Rig::files(rig_.q(), ".req")) {
        std::string name = fs::path(path).stem().string();
        EXPECT_EQ(named.count(name), 1u) << name;
        EXPECT_TRUE(contains(systest::read_text(path), "Data=bulk\r\n"));
    }
    EXPECT_TRUE(rig_.stop());
}

}  // namespace

namespace {

// A list made over /DLists (plain interface) is what a submission to its
// name expands to; the address book works beside it.
TEST_F(SubmitTest, SubmitToListsMadeOverTheListInterface) {
    add_account(rig_.home(), "Alice");
    ASSERT_TRUE(rig_.start("[SMSGW]\r\nSeparateUserQueues=No\r\n"));
    EXPECT_TRUE(contains(page("/DLists?DListName=crew&DListAction=create"), "OK : crew.TXT"));
    EXPECT_TRUE(contains(page("/DLists?DListName=crew&DListImportData=447700900201,Ann%0A447700900202,Bo"),
                         "2 members imported\r\nOK : crew.TXT"));
    EXPECT_TRUE(contains(page("/DLists?DListName=crew&DListMember=447700900203"), "OK : crew.TXT"));
    EXPECT_TRUE(contains(page("/DLists?DListName=%23crew&DListMember=1"),
                         "ERROR : public lists need an administrator account"));
    EXPECT_TRUE(contains(page("/AddrBook?AddrBookMember=447700900209&AddrBookMemberName=Mum"),
                         "OK : ADDRESS.LST"));
    EXPECT_TRUE(contains(page("/AddrBook"), "447700900209 Mum\r\nOK : ADDRESS.LST"));
    Answer a = get("PhoneNumber=crew&Text=Meeting%20at%209");
    EXPECT_EQ(a.recipients, (std::vector<std::string>{"447700900201", "447700900202", "447700900203"})) << a.raw;
    EXPECT_TRUE(contains(page("/DLists?DListName=crew&DListAction=delete"), "OK : crew.TXT"));
    EXPECT_TRUE(contains(page("/DLists?DListName=crew"), "ERROR : crew.TXT not found"));
    EXPECT_TRUE(rig_.stop());
}

}  // namespace
