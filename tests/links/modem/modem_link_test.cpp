// The modem link kind: what it stores of the PDUs a modem delivers (messages,
// status reports as receipts to be matched by their reference key,
// temporary reports suppressed, unreadable PDUs kept raw), the PDU it builds
// from an outbound message, its send-error codes, and a modem that stops
// answering going down the recovery steps to the reboot command.
#include "links/modem/modem_link.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "common/modem_sim.h"
#include "frame/frame_fixture.h"
#include "frame/global_state.h"
#include "frame/queue_dirs.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> files_with(const std::string& dir, const std::string& ext) {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec) && it->path().extension() == ext)
            out.push_back(frame_test::slurp(it->path().string()));
    return out;
}

class ModemLinkTest : public frame_test::FrameTest {
  protected:
    void TearDown() override {
        if (HasFailure()) std::cerr << frame_test::slurp(home_ + "LOGS/SMSDEBUG.LOG");
        links::set_modem_timing_for_tests(0, 600);
        FrameTest::TearDown();
    }
    bool has(const std::string& s, const std::string& what) {
        return s.find(what) != std::string::npos;
    }
};

}  // namespace

TEST_F(ModemLinkTest, DeliveriesAndReportsReachTheInboundStore) {
    load("[SMSGW]\r\nDebug=Yes\r\n");
    radio::ModemSettings s;
    s.phone_number = "+447700900001";
    const std::string link = "/dev/ttyUSB0";
    // A message, a delivered report, a temporary one, a failed one, a PDU
    // that ends inside its user data.
    EXPECT_TRUE(links::store_modem_pdu(
        link, s, "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07"));
    EXPECT_TRUE(links::store_modem_pdu(
        link, s, "07911326040000F0062A0B911346610089F6208062917314802080629183148000"));
    EXPECT_FALSE(links::store_modem_pdu(
        link, s, "07911326040000F0062B0B911346610089F6208062917314802080629183148021"));
    EXPECT_TRUE(links::store_modem_pdu(
        link, s, "07911326040000F0062C0B911346610089F6208062917314802080629183148046"));
    EXPECT_TRUE(links::store_modem_pdu(
        link, s, "07911326040000F0040B911346610089F60000208062917314080DC8F71D"));

    std::vector<std::string> in = files_with(home_, ".in");
    std::vector<std::string> rct = files_with(home_, ".rct");
    ASSERT_EQ(in.size(), 2u);
    ASSERT_EQ(rct.size(), 2u);
    std::string text, raw;
    for (const std::string& f : in) (has(f, "How are you?") ? text : raw) = f;
    EXPECT_TRUE(has(text, "Sender=+31641600986")) << text;
    EXPECT_TRUE(has(text, "PhoneNumber=+447700900001")) << text;
    EXPECT_TRUE(has(text, "ReceivedSMSC=+31624000000")) << text;
    EXPECT_TRUE(has(raw, "0DC8F71D")) << raw;
    EXPECT_TRUE(has(raw, "dcs=4")) << raw;
    std::string delivered, failed;
    for (const std::string& f : rct) (has(f, "DELIVRD") ? delivered : failed) = f;
    EXPECT_TRUE(has(delivered, "ReceiptMessageId=2A-41600986")) << delivered;
    EXPECT_TRUE(has(delivered, "id:2A-41600986 sub:001 dlvrd:001 submit date:0208261937 done "
                               "date:0208261938 stat:DELIVRD err:000"))
        << delivered;
    EXPECT_TRUE(has(failed, "stat:REJECTD err:046")) << failed;
    EXPECT_TRUE(has(frame_test::slurp(home_ + "LOGS/SMSDEBUG.LOG"),
                    "Delivery report indicates temporary delivery error."));

    // OldModemReceiptFormat keeps the long report text.
    s.old_receipt_format = true;
    EXPECT_TRUE(links::store_modem_pdu(
        link, s, "07911326040000F0062D0B911346610089F6208062917314802080629183148000"));
    bool long_text = false;
    for (const std::string& f : files_with(home_, ".rct"))
        long_text |= has(f, "Data=Report: +31641600986 SMSC: +31624000000 Submitted: ");
    EXPECT_TRUE(long_text);
}

TEST(ModemLinkCodes, RefusalsAndThePduOfAMessage) {
    const std::vector<std::string> reject = {"+CMS ERROR: 38", "invalid"};
    struct Case {
        const char* response;
        int64_t code;
        store::ErrorClass cls;
    } cases[] = {
        {"\r\n+CMS ERROR: 38\r\n", links::kModemRejected, store::ErrorClass::Reject},
        {"\r\n+cms error: INVALID number\r\n", links::kModemRejected, store::ErrorClass::Reject},
        {"\r\n+CMS ERROR: 500\r\n", links::kModemRefused, store::ErrorClass::Retryable},
    };
    for (const Case& c : cases) {
        int64_t code = links::modem_refusal_code(c.response, reject);
        EXPECT_EQ(code, c.code) << c.response;
        EXPECT_EQ(links::classify_modem_code(code), c.cls) << c.response;
    }
    EXPECT_EQ(links::classify_modem_code(-1), store::ErrorClass::Retryable);

    store::SmsMessage msg;
    msg.validity = "2d";
    links::OutboundMessage m;
    m.msg = &msg;
    m.recipient = "12345";
    m.data = "1234567";
    m.flags = store::kFlagReceiptRequested;
    radio::ModemSettings s;
    s.exclude_smsc = true;
    s.test_zero_mr = true;
    // Status report and validity bits, TP-VP 0xA8 from the message's own validity.
    EXPECT_EQ(links::build_modem_pdu(m, s, "6h").hex, "310005812143F50000A80731D98C56B3DD40");
    msg.validity.clear();
    EXPECT_EQ(links::build_modem_pdu(m, s, "6h").hex, "310005812143F50000480731D98C56B3DD40");
}

TEST_F(ModemLinkTest, SilentModemGoesThroughSoftAndHardResetToTheRebootCommand) {
    modem_sim::ModemSim sim;
    ASSERT_FALSE(sim.path().empty());
    const std::string marker = home_ + "rebooted";
    links::WorkerState w;
    w.settings.name = sim.path();
    w.settings.section = frame::link_section_name(w.settings.name);
    load("[SMSGW]\r\nDebug=Yes\r\nRebootCommand=touch " + marker + "\r\n[" + w.settings.section +
         "]\r\nRebootOnModemError=Yes\r\nResetUSBDevices=No\r\n");
    links::set_modem_timing_for_tests(5, 0);
    sim.mute_after(1);  // the speed test's ATE0V1 is answered, then nothing
    links::run_modem_cycle(w);

    const std::string log = frame_test::slurp(home_ + "LOGS/SMSDEBUG.LOG");
    size_t soft = log.find("trying soft reset");
    size_t test_failed = log.find("ModemTest:  Failed");
    size_t hard = log.find("trying hard reset");
    size_t fallback = log.find("Fall back to soft reset");
    size_t reboot = log.find("Server reboot initiated to recover modem " + sim.path());
    ASSERT_NE(soft, std::string::npos);
    ASSERT_NE(hard, std::string::npos);
    EXPECT_LT(soft, test_failed);
    EXPECT_LT(test_failed, hard);
    EXPECT_LT(hard, fallback);
    EXPECT_LT(fallback, reboot);
    EXPECT_NE(reboot, std::string::npos);
    for (const char* c : {"AT+CFUN=?", "AT*E2RESET=?", "AT!RESET", "AT+CFUN=1,1", "AT+CFUN=1"})
        EXPECT_TRUE(sim.got(c)) << c;
    EXPECT_TRUE(fs::exists(marker));
    EXPECT_TRUE(frame::shutdown_requested());
    EXPECT_EQ(w.failure_count, 1u);
    EXPECT_TRUE(has(frame_test::slurp(links::link_status_path(w.settings.name)),
                    "Modem Failure -- Unable to access modem"));
}
