// The accounting service decides about a received message before it is
// stored: "do not accept" acknowledges it without keeping it, a refusal
// code is the answer to the SMSC, and a re-routed message the "SMSSend"
// pre-authorisation refuses is dropped.
#include <gtest/gtest.h>

#include <cstdlib>

#include "inbound/inbound_fixture.h"
#include "inbound/inbound_store.h"
#include "platform/files.h"
#include "platform/process.h"

namespace {

class InboundAccountingTest : public inbound_test::InboundTest {
  protected:
    void SetUp() override {
        InboundTest::SetUp();
        answer_ = home_ + "/answer.txt";
        inbound_test::spit(answer_, "");
        auto child = platform::spawn_piped(
            {"python3", SMSGW_SOURCE_DIR "/tests/records/accounting_server.py",
             home_ + "/requests.log", answer_},
            {});
        ASSERT_TRUE(child);
        server_ = *child;
        char port[16] = {};
        ASSERT_GT(platform::read_some_fd(server_.stdout_fd, port, sizeof port - 1), 0);
        frame::mutable_settings().sms_accounting_url =
            "http://127.0.0.1:" + std::to_string(std::atoi(port)) + "/acct";
        frame::mutable_settings().sms_accounting_timeout_s = 5;
    }
    void TearDown() override {
        if (server_.pid > 0) platform::wait_child(server_, 5000);
        InboundTest::TearDown();
    }
    inbound::InboundMessage mo() {
        inbound::InboundMessage m;
        m.link_name = "SMPP - Alpha";
        m.sender = "+447700900001";
        m.recipient = "5000";
        m.data = "hello";
        return m;
    }
    std::string answer_;
    platform::ChildProcess server_;
};

TEST_F(InboundAccountingTest, ReceivedMessageAnswers) {
    struct Case {
        const char* answer;
        int status;
        size_t stored;
    } cases[] = {
        {"AcceptMessage=N", 0, 0},
        {"SMPPErrorCode=0x58", 0x58, 0},
        {"OK", 0, 1},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(inbound_dir());
        inbound_test::spit(answer_, c.answer);
        EXPECT_EQ(inbound::receive_message("SMPPReceiveMessageCallback", mo()), c.status)
            << c.answer;
        EXPECT_EQ(inbound_files().size(), c.stored) << c.answer;
    }
}

TEST_F(InboundAccountingTest, ReRoutedMessageRefusedIsDropped) {
    set_ini("SMPP - Alpha", "ReRouteReceived", "Yes");
    inbound_test::spit(answer_, "PreAuth=Deny");
    EXPECT_EQ(inbound::receive_message("SMPPReceiveMessageCallback", mo()), 0);
    EXPECT_TRUE(inbound_files().empty());
    EXPECT_FALSE(std::filesystem::exists(home_ + "/Q"));
}

}  // namespace
