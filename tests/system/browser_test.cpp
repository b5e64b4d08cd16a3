// The web pages in a real browser. Headless Chromium logs in to the web
// menu, types a message into the text form and sends it; the message
// reaches the test SMSC over the SMPP link. It logs in to the
// administration as the administrator, reads the status page with one link
// up and one down, and adds an account that can then submit. Screenshots
// are kept beside the test binary as artefacts (browser_menu.png,
// admin_status.png, admin_accounts.png).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/node_peer.h"
#include "platform/net.h"
#include "support/accounts.h"
#include "system/harness.h"
#include "system/link_fixture.h"

namespace fs = std::filesystem;

namespace {

using linktest::contains;

TEST(BrowserSystem, WebMenuSendsATextThroughChromium) {
    ASSERT_TRUE(fs::exists("/usr/bin/chromium")) << "scripts/setup installs chromium";
    nodepeer::NodePeer smsc(std::string(SMSGW_SOURCE_DIR) + "/tests/system/");
    ASSERT_TRUE(smsc.start("npm_smsc.js", {"0"}));
    nodepeer::Event e;
    ASSERT_TRUE(smsc.wait("listening", e, 10000));
    const std::string link = "SMPP - 127.0.0.1:" + e["port"];

    linktest::Rig rig;
    support::set_account_database_path(rig.home() + "USERS.DB");
    fs::create_directories(rig.home());
    {
        support::UserFile f;
        ASSERT_TRUE(support::SMSOpenUserFile(f, support::UserFileAccess::ReadWrite));
        support::UserRecord r;
        r.name = "Carol";
        r.enable_web_login = true;
        ASSERT_TRUE(support::set_user_password(r, "Browser1"));
        ASSERT_TRUE(support::SMSAddUser(f, r));
        support::SMSCloseUserFile(f);
    }
    support::set_account_database_path("");
    fs::create_directories(rig.home() + "USERS/Carol/html");
    fs::copy_file(std::string(SMSGW_SOURCE_DIR) + "/src/frontends/http/submit_html/default.htm",
                  rig.home() + "USERS/Carol/html/default.htm");
    ASSERT_TRUE(rig.start("[SMSGW]\r\nReceiveSMS=No\r\nModem1=" + link + "\r\n\r\n[" + link +
                          "]\r\nUserName=gateway\r\nPassword=pw\r\n"));

    const std::string shot = (fs::current_path() / "browser_menu.png").string();
    fs::remove(shot);
    const std::string url = "http://127.0.0.1:" + std::to_string(rig.gw().web_port()) + "/";
    std::string out = systest::run_command(
        "timeout 90 node " + std::string(SMSGW_SOURCE_DIR) + "/tests/system/browser_menu.js '" + url +
        "' Carol Browser1 447700900777 'Hello from a browser' '" + shot + "' 2>&1");
    EXPECT_TRUE(contains(out, "sent\t")) << out;
    EXPECT_TRUE(contains(out, "MessageID=")) << out;

    nodepeer::Event s;
    ASSERT_TRUE(smsc.wait("submit_sm", s, 20000)) << rig.diag();
    EXPECT_EQ(s["destination_addr"], "447700900777");
    EXPECT_EQ(s["short_message"], "48656C6C6F2066726F6D20612062726F77736572");

    std::ifstream png(shot, std::ios::binary);
    char magic[8] = {};
    png.read(magic, 8);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG") << "the screenshot of the menu is kept";
    EXPECT_TRUE(rig.stop());
}

std::string node(const std::string& script, const std::string& args) {
    return systest::run_command("timeout 90 node " + std::string(SMSGW_SOURCE_DIR) + "/tests/system/" +
                                script + " " + args + " 2>&1");
}

TEST(BrowserSystem, AdministrationStatusAndNewAccountThroughChromium) {
    ASSERT_TRUE(fs::exists("/usr/bin/chromium")) << "scripts/setup installs chromium";
    nodepeer::NodePeer smsc(std::string(SMSGW_SOURCE_DIR) + "/tests/system/");
    ASSERT_TRUE(smsc.start("npm_smsc.js", {"0"}));
    nodepeer::Event e;
    ASSERT_TRUE(smsc.wait("listening", e, 10000));
    const std::string smsc_port = e["port"];
    const std::string up = "SMPP - 127.0.0.1:" + smsc_port;
    // A port nobody listens on: that link stays down.
    uint16_t free_port = 0;
    { platform::Socket probe = platform::tcp_listen("127.0.0.1", 0, 1, &free_port); }
    const std::string down = "SMPP - 127.0.0.1:" + std::to_string(free_port);

    linktest::Rig rig;
    const std::string ini = "[SMSGW]\r\nDebug=Yes\r\nReceiveSMS=No\r\nAdminUser=admin\r\nAdminPassword=" +
                            support::hash_account_password("Admin-Pw1") + "\r\nModem1=" + up +
                            "\r\nModem2=" + down + "\r\n\r\n[" + up +
                            "]\r\nUserName=gateway\r\nPassword=pw\r\n\r\n[" + down +
                            "]\r\nUserName=gateway\r\nPassword=pw\r\nRetryDelay=1\r\n";
    ASSERT_TRUE(rig.start(ini));
    ASSERT_TRUE(smsc.wait("bind", e, 20000)) << rig.diag();
    // Let the down link report its failed connection first.
    ASSERT_TRUE(systest::wait_for(
        [&] { return fs::exists(rig.home() + "PRIVATE") && contains(rig.gw().debug_log(), std::to_string(free_port)); },
        15000));
    const std::string base = "http://127.0.0.1:" + std::to_string(rig.gw().web_port());
    const std::string dir = fs::current_path().string();
    fs::remove(dir + "/admin_status.png");
    fs::remove(dir + "/admin_accounts.png");
    std::string out = node("browser_admin.js", "'" + base + "' admin Admin-Pw1 Dave Dave-Pw22 '" + dir + "'");
    EXPECT_TRUE(contains(out, "status\t")) << out;
    EXPECT_TRUE(contains(out, up)) << out;
    EXPECT_TRUE(contains(out, down)) << out;
    EXPECT_TRUE(contains(out, "added\t")) << out;
    EXPECT_TRUE(contains(out, "Dave")) << out;
    EXPECT_TRUE(fs::exists(dir + "/admin_status.png"));
    EXPECT_TRUE(fs::exists(dir + "/admin_accounts.png"));

    // The new account submits over HTTP, and its message reaches the SMSC.
    std::string answer = systest::run_command("curl -s --max-time 20 -u Dave:Dave-Pw22 '" + base +
                                              "/?PhoneNumber=447700900888&Text=From%20Dave&SMSCRoute=" +
                                              "SMPP%20-%20127.0.0.1:" + smsc_port + "'");
    EXPECT_TRUE(contains(answer, "MessageID=")) << answer;
    nodepeer::Event s;
    ASSERT_TRUE(smsc.wait("submit_sm", s, 20000)) << rig.diag();
    EXPECT_EQ(s["destination_addr"], "447700900888");
    EXPECT_TRUE(rig.stop());
}

}  // namespace
