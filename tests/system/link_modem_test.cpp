// Black-box test of a GSM modem link: the real gateway binary drives the
// scripted modem of common/ on a pseudo-terminal. One run: initialisation in
// PDU mode, a text with a status report request and a long Unicode message
// (two segments) sent as their PDUs, a stored message polled and deleted, an
// unsolicited +CMT delivery, and a status report that comes back as a
// receipt under the reference key the send registered.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/modem_sim.h"
#include "platform/text.h"
#include "radio/pdu.h"
#include "system/harness.h"
#include "system/link_fixture.h"

namespace {

using linktest::contains;
using linktest::request;
using linktest::ucs2_hex;

const char* kDeliver =
    "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07";
// "hellohello" from +31641600986.
const char* kDeliver2 =
    "07911326040000F0040B911346610089F6000020806291731408" "0AE8329BFD4697D9EC37";

}  // namespace

TEST(LinkModem, SendPollDirectDeliveryAndReceipt) {
    modem_sim::ModemSim sim;
    ASSERT_FALSE(sim.path().empty());
    sim.on("AT+CFUN?", "\r\n+CFUN: 1\r\n\r\nOK\r\n");
    sim.on("AT+CPMS=?", "\r\n+CPMS: (\"SM\"),(\"SM\"),(\"SM\")\r\n\r\nOK\r\n");
    sim.on("AT+CPMS?", "\r\n+CPMS: \"SM\",1,30,\"SM\",1,30,\"SM\",1,30\r\n\r\nOK\r\n");
    sim.on("AT+CNMI?", "\r\n+CNMI: 2,1,0,1,0\r\n\r\nOK\r\n");
    sim.store(2, kDeliver);

    linktest::Rig rig;
    ASSERT_TRUE(rig.queue("MD000001.req", request({{"PhoneNumber", "+4412345201"},
                                                   {"Data", "Hello modem"},
                                                   {"ReceiptRequested", "Yes"},
                                                   {"SubmitUser", "alice"}})));
    const std::string part1 = ucs2_hex("Длинное сообщение, часть один; "),
                      part2 = ucs2_hex("часть два");
    for (int seq = 1; seq <= 2; ++seq)
        ASSERT_TRUE(rig.queue(platform::strprintf("SAR-4412345202-2b-2-%d.req", seq),
                              request({{"PhoneNumber", "+4412345202"},
                                       {"Binary", "1"},
                                       {"DCS", "8"},
                                       {"UDH", platform::strprintf("0500032B02%02X", seq)},
                                       {"Data", seq == 1 ? part1 : part2}})));
    const std::string ini =
        // The modem polls for received messages (its own ReceiveSMS); the
        // inbound threads leave the store alone so that it can be read.
        "[SMSGW]\r\nDebug=Yes\r\nReceiveSMS=No\r\nEnableReceiptProcessing=No\r\n"
        "TestZeroMR=Yes\r\nModem1=" + sim.path() + "\r\n\r\n[Modem - " + sim.path() +
        "]\r\nReceiveSMS=Yes\r\nPhoneNumber=+447700900001\r\nSMSC=+31624000000\r\nReceivePoll=1\r\n"
        "InitRetryDelay=1\r\nRetryDelay=1\r\n";
    ASSERT_TRUE(rig.start(ini)) << rig.diag();

    ASSERT_TRUE(systest::wait_for([&] { return sim.sent().size() >= 3; }, 30000)) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.queued() == 0; }, 10000)) << rig.diag();
    EXPECT_TRUE(sim.got("AT+CMGF=0"));
    // What the modem got, read back with the gateway's own decoder's
    // counterpart: each PDU is the SMS-SUBMIT the codec builds for it.
    std::vector<modem_sim::Sent> sent = sim.sent();
    auto built = [](const std::string& to, const std::string& udh, const std::string& data,
                    bool text, uint8_t dcs, bool sr) {
        radio::pdu::SubmitParams p;
        p.recipient = to;
        p.smsc = "+31624000000";
        p.udh = udh;
        p.data = data;
        p.text = text;
        p.dcs = dcs;
        p.status_report = sr;
        p.zero_mr = true;
        return radio::pdu::build_submit(p);
    };
    std::vector<radio::pdu::BuiltPdu> want = {
        built("+4412345201", "", "Hello modem", true, 0, true),
        built("+4412345202", "0500032B0201", part1, false, 8, false),
        built("+4412345202", "0500032B0202", part2, false, 8, false),
    };
    for (const radio::pdu::BuiltPdu& w : want) {
        bool found = false;
        for (const modem_sim::Sent& s : sent) found |= s.pdu == w.hex && s.length == w.tpdu_length;
        EXPECT_TRUE(found) << w.hex;
    }
    // The text went first with its reference 1: its key is in the outbound log.
    EXPECT_TRUE(rig.out_log_has("01-12345201")) << rig.diag();

    // The stored message was polled, stored and deleted.
    ASSERT_TRUE(systest::wait_for([&] { return rig.inbound(".in").size() >= 1; }, 15000))
        << rig.diag();
    EXPECT_TRUE(systest::wait_for([&] { return sim.got("AT+CMGD=2"); }, 5000));
    std::string in = systest::read_text(rig.inbound(".in")[0]);
    EXPECT_TRUE(contains(in, "Sender=+31641600986\r\n")) << in;
    EXPECT_TRUE(contains(in, "PhoneNumber=+447700900001\r\n")) << in;
    EXPECT_TRUE(contains(in, "Data=How are you?\r\n")) << in;

    // A delivery the modem pushes unasked, then the status report of the text.
    sim.write(std::string("\r\n+CMT: ,24\r\n") + kDeliver2 + "\r\n");
    ASSERT_TRUE(systest::wait_for([&] { return rig.inbound(".in").size() >= 2; }, 15000))
        << rig.diag();
    bool hello = false;
    for (const std::string& f : rig.inbound(".in"))
        hello |= contains(systest::read_text(f), "Data=hellohello\r\n");
    EXPECT_TRUE(hello);
    sim.write("\r\n+CDS: 25\r\n0006010A914421432510208062917314802080629183148000\r\n");
    ASSERT_TRUE(systest::wait_for([&] { return rig.inbound(".rct").size() >= 1; }, 15000))
        << rig.diag();
    std::string rct = systest::read_text(rig.inbound(".rct")[0]);
    EXPECT_TRUE(contains(rct, "ReceiptMessageId=01-12345201\r\n")) << rct;
    EXPECT_TRUE(contains(rct, "Sender=+4412345201\r\n")) << rct;
    EXPECT_TRUE(contains(rct, "stat:DELIVRD err:000")) << rct;
    EXPECT_TRUE(rig.stop());
}

TEST(LinkModem, IpModemOverLoopbackSends) {
    modem_sim::ModemSim sim(true);
    sim.on("AT+CFUN?", "\r\n+CFUN: 1\r\n\r\nOK\r\n");
    linktest::Rig rig;
    ASSERT_TRUE(rig.queue("IP000001.req", request({{"PhoneNumber", "+4412345203"},
                                                   {"Data", "Over TCP"}})));
    // Too long for one SMS and not split: refused at once, not retried.
    ASSERT_TRUE(rig.queue("IP000002.req", request({{"PhoneNumber", "+4412345204"},
                                                   {"Data", std::string(200, 'z')}})));
    const std::string link = "IPModem - 127.0.0.1:" + std::to_string(sim.port());
    ASSERT_TRUE(rig.start("[SMSGW]\r\nDebug=Yes\r\nReceiveSMS=No\r\nTestZeroMR=Yes\r\nModem1=" +
                          link + "\r\n\r\n[" + link + "]\r\nExcludeSMSC=Yes\r\n"))
        << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return sim.sent().size() >= 1; }, 30000)) << rig.diag();
    ASSERT_TRUE(systest::wait_for([&] { return rig.out_log_has("OK -- " + link); }, 10000))
        << rig.diag();
    radio::pdu::SubmitParams p;
    p.recipient = "+4412345203";
    p.data = "Over TCP";
    p.omit_smsc = true;
    p.zero_mr = true;
    EXPECT_EQ(sim.sent()[0].pdu, radio::pdu::build_submit(p).hex);
    EXPECT_TRUE(sim.got("ATE1"));
    EXPECT_TRUE(systest::wait_for(
        [&] { return rig.out_log_has("ERROR - message too long for one SMS"); }, 10000))
        << rig.diag();
    EXPECT_EQ(sim.sent().size(), 1u);
    EXPECT_TRUE(systest::wait_for([&] { return rig.queued() == 0; }, 10000)) << rig.diag();
    EXPECT_TRUE(rig.stop());
}
