// The PDU codec against an independent one, the npm package node-pdu
// (tests/interop/pdu_peer.js): node-pdu decodes the SMS-SUBMITs the gateway
// builds to the same fields, and the gateway decodes the SMS-DELIVERs
// node-pdu builds. node-pdu reads every PDU with an SMSC field, so the
// gateway's PDUs here carry one (an empty one is the octet 00).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/node_peer.h"
#include "platform/process.h"
#include "radio/pdu.h"

namespace pdu = radio::pdu;

namespace {

// Runs the peer in mode with input on stdin; its output lines.
std::vector<std::string> run_peer(const std::string& mode, const std::string& input) {
    const std::string dir =
        (std::filesystem::temp_directory_path() / ("pdu-peer-" + std::to_string(::getpid())))
            .string();
    std::filesystem::create_directories(dir);
    {
        std::ofstream(dir + "/in") << input;
    }
    platform::SpawnOptions o;
    o.stdin_path = dir + "/in";
    o.stdout_path = dir + "/out";
    o.working_dir = nodepeer::interop_dir();
    o.extra_env = {"NODE_PATH=" + nodepeer::node_modules_dir()};
    platform::SpawnResult r =
        platform::run_process({"node", nodepeer::interop_dir() + "pdu_peer.js", mode}, o, 30000);
    std::vector<std::string> lines;
    if (r.started && r.exit_status == 0) {
        std::ifstream in(dir + "/out");
        for (std::string l; std::getline(in, l);) lines.push_back(l);
    }
    std::filesystem::remove_all(dir);
    return lines;
}

// The value of key in a flat JSON object line (string or number), "<absent>"
// when missing. Strings here hold no escapes but \" and \\.
std::string field(const std::string& json, const std::string& key) {
    const std::string tag = "\"" + key + "\":";
    size_t p = json.find(tag);
    if (p == std::string::npos) return "<absent>";
    p += tag.size();
    std::string v;
    if (json[p] == '"') {
        for (++p; p < json.size() && json[p] != '"'; ++p) {
            if (json[p] == '\\' && p + 1 < json.size()) ++p;
            v += json[p];
        }
    } else {
        while (p < json.size() && json[p] != ',' && json[p] != '}') v += json[p++];
    }
    return v;
}

bool have_node_pdu() {
    return std::filesystem::exists(nodepeer::node_modules_dir() + "/node-pdu/package.json");
}

}  // namespace

TEST(PduInterop, NodePduDecodesWhatTheGatewayBuilds) {
    if (!have_node_pdu()) GTEST_SKIP() << "node-pdu not installed (scripts/setup)";
    struct Case {
        const char* name;
        pdu::SubmitParams p;
        const char* text;  // as node-pdu reads the user data
        int type;          // first octet
    };
    auto make = [](std::string to, std::string text, uint8_t dcs, std::string udh = "",
                   bool is_text = true) {
        pdu::SubmitParams p;
        p.recipient = std::move(to);
        p.smsc = "+31624000000";
        p.data = std::move(text);
        p.dcs = dcs;
        p.udh = std::move(udh);
        p.text = is_text;
        return p;
    };
    pdu::SubmitParams sr = make("+447700900001", "Status please [1]", 0);
    sr.status_report = true;
    sr.validity = "2d";
    pdu::SubmitParams no_smsc = make("0612345678", "Hi", 0);
    no_smsc.smsc.clear();
    std::vector<Case> cases = {
        {"7-bit text", make("+447700900001", "Hello world", 0), "Hello world", 0x01},
        {"7-bit escapes", make("+447700900001", "{euro: \xE2\x82\xAC}", 0), "{euro: \xE2\x82\xAC}",
         0x01},
        {"status report and validity", sr, "Status please [1]", 0x31},
        {"UCS-2 text", make("+447700900001", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", 8),
         "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", 0x01},
        {"7-bit behind a header", make("+447700900001", "segment", 0, "050003CC0201"), "segment",
         0x41},
        {"empty SMSC, national number", no_smsc, "Hi", 0x01},
    };
    std::string input;
    std::vector<pdu::BuiltPdu> built;
    for (Case& c : cases) {
        c.p.zero_mr = true;
        built.push_back(pdu::build_submit(c.p));
        input += built.back().hex + "\n";
    }
    std::vector<std::string> out = run_peer("parse", input);
    ASSERT_EQ(out.size(), cases.size()) << "node-pdu peer did not run";
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const std::string& j = out[i];
        SCOPED_TRACE(std::string(c.name) + ": " + built[i].hex + " -> " + j);
        EXPECT_EQ(field(j, "error"), "<absent>");
        EXPECT_EQ(field(j, "type"), std::to_string(c.type));
        EXPECT_EQ(field(j, "address"), c.p.recipient);
        if (!c.p.smsc.empty()) {
            EXPECT_EQ(field(j, "smsc"), c.p.smsc);
        }
        EXPECT_EQ(field(j, "dcs"), std::to_string(c.p.dcs));
        EXPECT_EQ(field(j, "text"), c.text);
        EXPECT_EQ(field(j, "srr"), c.p.status_report ? "1" : "0");
        if (!c.p.udh.empty()) {
            EXPECT_EQ(field(j, "udh"), c.p.udh);
        }
        // node-pdu reads relative validity periods with its own scale, so only
        // their presence is compared.
        EXPECT_EQ(field(j, "vp") != "<absent>", !c.p.validity.empty());
    }
}

TEST(PduInterop, GatewayDecodesWhatNodePduBuilds) {
    if (!have_node_pdu()) GTEST_SKIP() << "node-pdu not installed (scripts/setup)";
    std::vector<std::string> out = run_peer("build", "");
    ASSERT_EQ(out.size(), 2u) << "node-pdu peer did not run";
    struct Want {
        const char* what;
        const char* smsc;
        const char* sender;
        uint8_t dcs;
        const char* data;
        bool binary;
    } want[] = {
        {"text", "+31624000000", "+31641600986", 0, "Hello from node", false},
        {"ucs2", "", "+31641600986", 8, "041F04400438043204350442", true},
    };
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(field(out[i], "what"), want[i].what);
        pdu::Decoded d = pdu::decode(field(out[i], "hex"));
        SCOPED_TRACE(out[i]);
        ASSERT_EQ(d.kind, pdu::Kind::Deliver) << d.error;
        EXPECT_EQ(d.smsc, want[i].smsc);
        EXPECT_EQ(d.sender, want[i].sender);
        EXPECT_EQ(d.dcs, want[i].dcs);
        EXPECT_EQ(d.data, want[i].data);
        EXPECT_EQ(d.binary, want[i].binary);
        EXPECT_TRUE(d.scts.present);
    }
}
