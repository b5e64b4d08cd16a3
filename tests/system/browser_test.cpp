// The web menu in a real browser: headless Chromium logs in, types a
// message into the text form and sends it; the message reaches the test
// SMSC over the SMPP link. A screenshot of the filled menu is kept beside
// the test binary (browser_menu.png) as an artefact.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/node_peer.h"
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

}  // namespace
