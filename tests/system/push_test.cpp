// WAP push end to end: HTTP submissions of Service Loading and provisioning
// documents and push access protocol requests reach the test SMSC as binary
// messages to the WAP push port, with the WSP bytes the document implies;
// an IP recipient gets the push PDU as a UDP datagram; refusals answer PAP.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "common/node_peer.h"
#include "platform/net.h"
#include "platform/text.h"
#include "platform/udp.h"
#include "protocols/common/fields.h"
#include "system/harness.h"
#include "system/link_fixture.h"

namespace {

using linktest::contains;

std::string curl(const std::string& args) { return systest::run_command("curl -s -i --max-time 20 " + args); }

TEST(PushSystem, WapPushSubmissionsAndPapRequestsReachTheSmsc) {
    nodepeer::NodePeer smsc(std::string(SMSGW_SOURCE_DIR) + "/tests/system/");
    ASSERT_TRUE(smsc.start("npm_smsc.js", {"0"}));
    nodepeer::Event e;
    ASSERT_TRUE(smsc.wait("listening", e, 10000));
    const std::string link = "SMPP - 127.0.0.1:" + e["port"];
    linktest::Rig rig;
    ASSERT_TRUE(rig.start("[SMSGW]\r\nDebug=Yes\r\nWebAuth=No\r\nReceiveSMS=No\r\nModem1=" + link +
                          "\r\n\r\n[" + link + "]\r\nUserName=gateway\r\nPassword=pw\r\n"));
    const std::string base = "'http://127.0.0.1:" + std::to_string(rig.gw().web_port());
    platform::Socket udp = platform::udp_bind("127.0.0.1", 2948);

    // Service Loading over the submission interface.
    std::string sl = curl(base + "/?PhoneNumber=447700900001&WAPSL=http%3A%2F%2Fwww.x'");
    EXPECT_TRUE(contains(sl, "MessageID=")) << sl;
    // A provisioning document too long for one message goes in segments.
    std::string doc = "<wap-provisioningdoc version=\"1.0\">";
    for (int i = 0; i < 12; ++i)
        doc += "<characteristic type=\"NAPDEF\"><parm name=\"NAME\" value=\"Operator network " +
               std::to_string(i) + "\"/><parm name=\"NAP-ADDRESS\" value=\"internet" + std::to_string(i) +
               ".example.com\"/></characteristic>";
    doc += "</wap-provisioningdoc>";
    systest::write_text(rig.home() + "../ota.txt", "PhoneNumber=447700900002&OTAXMLSettings=" + platform::url_encode(doc));
    std::string ota = curl("--data-binary @" + rig.home() + "../ota.txt " + base + "/'");
    EXPECT_TRUE(contains(ota, "MessageID=")) << ota;
    std::string bad = curl(base + "/?PhoneNumber=447700900009&OTAXMLSettings=%3Chtml%2F%3E'");
    EXPECT_TRUE(contains(bad, "400 Bad Request") && contains(bad, "XML Content Not Recognised")) << bad;

    // A PAP request for a phone and an IP address.
    std::string pap =
        "--B1\r\nContent-Type: application/xml\r\n\r\n<pap><push-message push-id=\"id-7\">"
        "<address address-value=\"WAPPUSH=447700900003/TYPE=PLMN@ppg\"/>"
        "<address address-value=\"WAPPUSH=127.0.0.1/TYPE=IPV4@ppg\"/></push-message></pap>\r\n"
        "--B1\r\nContent-Type: text/vnd.wap.si\r\nX-Wap-Application-ID: x-wap-application:wml.ua\r\n\r\n"
        "<si><indication href=\"http://www.y.com/\" si-id=\"1\">News</indication></si>\r\n--B1--\r\n";
    systest::write_text(rig.home() + "../pap.txt", pap);
    std::string answer = curl("-H 'Content-Type: multipart/related; boundary=B1' --data-binary @" +
                              rig.home() + "../pap.txt " + base + "/PAP'");
    EXPECT_TRUE(contains(answer, "202 Accepted")) << answer;
    EXPECT_TRUE(contains(answer, "<push-response push-id=\"id-7\">")) << answer;
    EXPECT_TRUE(contains(answer, "code=\"1001\"")) << answer;
    std::string refused = curl("-H 'Content-Type: text/plain' --data-binary x " + base + "/PPG'");
    EXPECT_TRUE(contains(refused, "200 OK") &&
                contains(refused, "request is not multipart\"/>"))
        << refused;

    std::string datagram;
    uint16_t from = 0;
    ASSERT_TRUE(udp && platform::udp_receive_datagram(udp.fd(), datagram, 10000, &from));
    EXPECT_EQ(from, 9200);
    // TID, Push, headers, SI content type, application id wml.ua, then the WBXML
    EXPECT_EQ(protocols::common::to_hex(datagram.substr(1, 5)), "0603AE" "AF82");

    std::map<std::string, std::vector<nodepeer::Event>> by_dest;
    ASSERT_TRUE(systest::wait_for(
        [&] {
            smsc.pump();
            for (auto& ev : smsc.take_kept())
                if (ev.name == "submit_sm") by_dest[ev["destination_addr"]].push_back(ev);
            auto& segs = by_dest["447700900002"];
            return by_dest["447700900001"].size() == 1 && by_dest["447700900003"].size() == 1 &&
                   !segs.empty() && segs.size() == std::stoul(segs[0]["short_message"].substr(20, 2), nullptr, 16);
        },
        30000))
        << rig.diag();
    const std::string slm = by_dest["447700900001"][0]["short_message"];
    EXPECT_EQ(slm.substr(0, 14), "0605040B8423F0");
    EXPECT_EQ(slm.substr(16), "0603B0AF82" "02066A00850A03780001") << slm;
    EXPECT_EQ(by_dest["447700900001"][0]["data_coding"], "245");
    EXPECT_EQ(by_dest["447700900003"][0]["short_message"].substr(0, 14), "0605040B8423F0");
    EXPECT_EQ(by_dest["447700900003"][0]["short_message"].substr(16, 10), "0603AEAF82");
    // Segments carry ports and the concatenation element; the first one
    // begins the PDU with the provisioning content type.
    std::string joined;
    size_t total = by_dest["447700900002"].size();
    for (size_t part = 1; part <= total; ++part)
        for (const auto& s : by_dest["447700900002"]) {
            std::string m = s["short_message"];
            EXPECT_EQ(m.substr(0, 18), "0B05040B8423F00003") << m;
            if (std::stoul(m.substr(20, 2), nullptr, 16) == total && std::stoul(m.substr(22, 2), nullptr, 16) == part)
                joined += m.substr(24);
        }
    ASSERT_GT(joined.size(), 16u) << by_dest["447700900002"][0]["short_message"];
    EXPECT_EQ(joined.substr(2, 4), "0601") << joined;
    EXPECT_EQ(joined.substr(6, 2), "B6") << "application/vnd.wap.connectivity-wbxml";
    EXPECT_EQ(joined.substr(8, 6), "030B6A") << joined;
    EXPECT_TRUE(rig.stop());
}

}  // namespace
