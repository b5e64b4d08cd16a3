// The modem command channel against the scripted modem of common/: the
// initialisation dialogue, PDU sends with their lengths, deliveries taken
// out of responses (also in the middle of a send), the storage poll, a modem
// that answers garbage or nothing, and an IP modem over loopback TCP.
#include "radio/modem_channel.h"

#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

#include "common/modem_sim.h"
#include "frame/frame_fixture.h"

namespace pdu = radio::pdu;

namespace {

const char* kDeliver =
    "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07";

class ModemChannelTest : public frame_test::FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        load("[SMSGW]\r\nDebug=Yes\r\nDebug2=Yes\r\n");
    }
    void attach(radio::ModemChannel& ch, const std::string& name) {
        ch.link_name = name;
        ch.second_ms = 100;
        ch.on_pdu = [this](std::string_view hex) { pdus.emplace_back(hex); };
    }
    static void script_storage(modem_sim::ModemSim& sim) {
        sim.on("AT+CFUN?", "\r\n+CFUN: 1\r\n\r\nOK\r\n");
        sim.on("AT+CPMS=?", "\r\n+CPMS: (\"ME\",\"SM\"),(\"ME\",\"SM\"),(\"ME\",\"SM\")\r\n\r\nOK\r\n");
        sim.on("AT+CPMS?", "\r\n+CPMS: \"SM\",1,30,\"SM\",1,30,\"SM\",1,30\r\n\r\nOK\r\n");
        sim.on("AT+CNMI?", "\r\n+CNMI: 2,0,0,0,0\r\n\r\nOK\r\n");
    }
    void TearDown() override {
        if (HasFailure()) std::cerr << frame_test::slurp(home_ + "LOGS/SMSDEBUG.LOG");
        FrameTest::TearDown();
    }
    std::vector<std::string> pdus;
};

pdu::BuiltPdu text_pdu(const std::string& to, const std::string& text, uint8_t dcs = 0,
                       const std::string& udh = "") {
    pdu::SubmitParams p;
    p.recipient = to;
    p.data = text;
    p.dcs = dcs;
    p.udh = udh;
    p.smsc = "+31624000000";
    p.status_report = true;
    return pdu::build_submit(p);
}

}  // namespace

TEST_F(ModemChannelTest, InitSendDeliveriesAndPollOnAPseudoTerminal) {
    modem_sim::ModemSim sim;
    ASSERT_FALSE(sim.path().empty());
    script_storage(sim);
    radio::ModemChannel ch;
    attach(ch, sim.path());
    ch.s.receive_sms = true;
    ASSERT_EQ(radio::initialise_modem(ch), "");
    for (const char* c : {"ATE0V1", "AT+CSMS=0", "AT+CMGF=0", "AT+CNMI=2,0", "AT+CNMI=2,1,0,1,0",
                          "AT+CPMS=\"SM\",\"SM\",\"SM\"", "AT+CMEE=1"})
        EXPECT_TRUE(sim.got(c)) << c;

    // A text, then both halves of a long Unicode message, each with the
    // length of its TPDU.
    std::vector<pdu::BuiltPdu> built = {
        text_pdu("+4412345", "Hello"),
        text_pdu("+4412345", std::string(60, 'x') + "\xD0\x96", 8, "050003070201"),
        text_pdu("+4412345", "\xD0\x96\xD0\x96", 8, "050003070202"),
    };
    for (size_t i = 0; i < built.size(); ++i) {
        radio::SendOutcome o = radio::send_pdu(ch, built[i]);
        EXPECT_TRUE(o.ok) << o.error_text;
        EXPECT_EQ(o.reference, int(i + 1));
    }
    std::vector<modem_sim::Sent> sent = sim.sent();
    ASSERT_EQ(sent.size(), built.size());
    for (size_t i = 0; i < built.size(); ++i) {
        EXPECT_EQ(sent[i].pdu, built[i].hex);
        EXPECT_EQ(sent[i].length, built[i].tpdu_length);
        EXPECT_EQ(sent[i].length * 2 + 16, sent[i].pdu.size());  // 8 octets of SMSC field
    }

    // A delivery in the middle of the send is taken out and handed over;
    // the send still succeeds.
    sim.before_prompt(std::string("\r\n+CMT: ,24\r\n") + kDeliver + "\r\n");
    EXPECT_TRUE(radio::send_pdu(ch, built[0]).ok);
    ASSERT_EQ(pdus.size(), 1u);
    EXPECT_EQ(pdus[0], kDeliver);

    // Stored messages are listed, handed over and deleted.
    sim.store(3, kDeliver);
    sim.store(7, kDeliver);
    EXPECT_EQ(radio::ModemReceiveMessages(ch), 2u);
    EXPECT_EQ(pdus.size(), 3u);
    EXPECT_TRUE(sim.got("AT+CMGD=3"));
    EXPECT_TRUE(sim.got("AT+CMGD=7"));
    EXPECT_EQ(sim.stored_count(), 0u);

    // A refusal comes back with the modem's text.
    sim.on("AT+CMGS=" + std::to_string(built[0].tpdu_length), "\r\n+CMS ERROR: 38\r\n");
    radio::SendOutcome refused = radio::send_pdu(ch, built[0]);
    EXPECT_FALSE(refused.ok);
    EXPECT_TRUE(refused.written);
    EXPECT_EQ(refused.error_text, "ERROR - Modem Response (1):  \r\n+CMS ERROR: 38\r\n");

    // Text mode: the number in the command, the text as Windows-1252.
    EXPECT_TRUE(radio::send_text(ch, "+4412345", "Caf\xC3\xA9 ok").ok);
    EXPECT_TRUE(sim.got("AT+CMGS=\"+4412345\""));
    EXPECT_EQ(sim.sent().back().pdu, "Caf\xE9 ok");
}

TEST_F(ModemChannelTest, ResponsesWithGarbageHalfDeliveriesAndSilence) {
    modem_sim::ModemSim sim;
    script_storage(sim);
    radio::ModemChannel ch;
    attach(ch, sim.path());
    std::string failure;
    ASSERT_TRUE(radio::OpenDevice(ch, failure)) << failure;

    // Garbage without a final result: the read ends at its time-out.
    const char garbage[] = "\x01\x02\xFF garbage\0 more";
    sim.on("ATI9", std::string(garbage, sizeof garbage - 1));
    std::string answer;
    EXPECT_FALSE(radio::command_ok(ch, "ATI9", 1, &answer));
    EXPECT_NE(answer.find("garbage  more"), std::string::npos) << answer;  // NUL read as a space

    // "ERROR" without its line end keeps the read waiting for it.
    sim.on("ATI8", "\r\nERR");
    EXPECT_FALSE(radio::command_ok(ch, "ATI8", 1));

    // A +CMT whose PDU line is still missing is left for the next read;
    // unsolicited notifications are noticed.
    std::string buf = "\r\n+CMT: ,24\r\n";
    EXPECT_FALSE(radio::FilterCMTandCDS(ch, buf));
    buf += std::string(kDeliver) + "\r\n+CMTI: \"SM\",4\r\nOK\r\n";
    EXPECT_TRUE(radio::FilterCMTandCDS(ch, buf));
    EXPECT_EQ(buf, "\r\n+CMTI: \"SM\",4\r\nOK\r\n");
    ASSERT_EQ(pdus.size(), 1u);

    // With Phase 2+ a delivery during the prompt wait aborts the send: ESC,
    // AT+CNMA, then the send again, the PDU going out once.
    ch.phase2 = true;
    sim.before_prompt(std::string("\r\n+CMT: ,24\r\n") + kDeliver + "\r\n");
    EXPECT_TRUE(radio::send_pdu(ch, text_pdu("+4412345", "Again")).ok);
    EXPECT_EQ(pdus.size(), 2u);
    EXPECT_TRUE(sim.got("AT+CNMA"));
    EXPECT_EQ(sim.sent().size(), 1u);
    size_t cmgs = 0;
    for (const std::string& c : sim.commands()) cmgs += c.rfind("AT+CMGS=", 0) == 0;
    EXPECT_EQ(cmgs, 2u);
    ch.phase2 = false;

    ch.second_ms = 20;
    // A send into silence fails with its text and nothing more is sent.
    sim.mute_after(0);
    radio::SendOutcome o = radio::send_pdu(ch, text_pdu("+4412345", "Hi"));
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error_text, "ERROR - Error waiting for response from modem (1)");
    EXPECT_EQ(sim.sent().size(), 1u);

    // No answer after the PDU either.
    sim.unmute();
    sim.mute_after(1);  // the prompt is given, the result never comes
    o = radio::send_pdu(ch, text_pdu("+4412345", "Hi"));
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error_text, "ERROR - Error waiting for response from modem (2)");
}

TEST_F(ModemChannelTest, MuteModemIsHammeredAndHardResetBeforeItOpens) {
    modem_sim::ModemSim sim;
    sim.mute_after(0);
    sim.unmute_on("AT!RESET");
    radio::ModemChannel ch;
    attach(ch, sim.path());
    ch.second_ms = 10;
    std::string failure;
    ASSERT_TRUE(radio::OpenDevice(ch, failure)) << failure;
    const std::string log = frame_test::slurp(home_ + "LOGS/SMSDEBUG.LOG");
    size_t begin = log.find("HammerNonResponsiveModem:  Begin");
    size_t reset = log.find("Hard reset technique #3");
    size_t answered = log.find("Modem answered at 460800 bps");
    ASSERT_NE(begin, std::string::npos);
    EXPECT_LT(begin, reset);
    EXPECT_LT(reset, answered);
    EXPECT_NE(answered, std::string::npos);

    // Without the hard reset allowed, a mute modem stays unopened.
    modem_sim::ModemSim mute;
    mute.mute_after(0);
    mute.unmute_on("AT!RESET");
    radio::ModemChannel ch2;
    attach(ch2, mute.path());
    ch2.second_ms = 5;
    ch2.s.hard_reset_after_error = false;
    EXPECT_FALSE(radio::OpenDevice(ch2, failure));
    EXPECT_EQ(failure, "Could not negotate modem speed");
    EXPECT_FALSE(mute.got("AT!RESET"));
}

TEST_F(ModemChannelTest, IpModemOverTcpAnswersTelnetOptions) {
    modem_sim::ModemSim sim(true);
    script_storage(sim);
    radio::ModemChannel ch;
    attach(ch, "IPModem - 127.0.0.1:" + std::to_string(sim.port()));
    ch.s.username = "modem";
    sim.on("modem", "\r\nOK\r\n");
    std::string failure;
    ASSERT_TRUE(radio::OpenDevice(ch, failure)) << failure;
    EXPECT_TRUE(ch.is_socket);
    EXPECT_TRUE(sim.got("modem"));
    EXPECT_TRUE(sim.got("ATE1"));
    EXPECT_TRUE(sim.got("AT"));
    // DO Echo refused (WONT 1), the go-ahead offer made once, DO SGA accepted.
    EXPECT_EQ(sim.telnet_answers(),
              "\xFF\xFD\x03\xFF\xFB\x03\xFF\xFC\x01\xFF\xFB\x03");
    radio::SendOutcome o = radio::send_pdu(ch, text_pdu("+4412345", "Hello"));
    EXPECT_TRUE(o.ok) << o.error_text;
    ASSERT_EQ(sim.sent().size(), 1u);

    radio::ModemChannel none;
    attach(none, "IPModem - 127.0.0.1");
    EXPECT_FALSE(radio::OpenDevice(none, failure));
    EXPECT_EQ(failure, "Cannot parse port number for IP Modem - 127.0.0.1");
}

TEST(ModemDeviceNames, Resolve) {
    struct Case {
        const char* name;
        const char* device_path;
        radio::DeviceKind kind;
        const char* path;
        unsigned port;
    } cases[] = {
        {"/dev/ttyUSB0", "", radio::DeviceKind::Serial, "/dev/ttyUSB0", 0},
        {"COM3:", "", radio::DeviceKind::Serial, "/dev/ttyS2", 0},
        {"COM3:", "/dev/ttyACM1", radio::DeviceKind::Serial, "/dev/ttyACM1", 0},
        {"COM3", "", radio::DeviceKind::ById, "COM3", 0},
        {"Huawei E173", "", radio::DeviceKind::ById, "Huawei E173", 0},
        {"IPModem - 10.0.0.5:23", "", radio::DeviceKind::IpModem, "", 23},
        {"ipmodem - 10.0.0.5:x", "", radio::DeviceKind::IpModem, "", 0},
    };
    for (const Case& c : cases) {
        radio::DeviceName d = radio::resolve_device_name(c.name, c.device_path);
        EXPECT_EQ(d.kind, c.kind) << c.name;
        EXPECT_EQ(d.path, c.path) << c.name;
        EXPECT_EQ(d.port, c.port) << c.name;
    }
}
