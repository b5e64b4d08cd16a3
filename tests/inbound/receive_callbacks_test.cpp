// The receive body behind the real SMPP client engine: what an
// SMSC delivers becomes an inbound file before it is acknowledged, receipts
// become ".rct" files, and a delivery that cannot be stored is refused.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <thread>

#include "common/smpp_raw_peer.h"
#include "inbound/inbound_fixture.h"
#include "inbound/inbound_store.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "protocols/smpp/pdu.h"
#include "protocols/smpp/smpp.h"
#include "store/request_file.h"

namespace smpp = protocols::smpp;
using inbound_test::extension_of;
using inbound_test::InboundTest;
using inbound_test::slurp;

namespace {

constexpr const char* kLink = "SMPP - Inbound";

// The SMSC end of one bound session, speaking raw PDUs.
using smpp_test::deliver_sm;

struct Smsc : smpp_test::RawPeer {
    platform::Socket listener;
    platform::Socket client{::socket(AF_INET, SOCK_STREAM, 0)};

    bool bind() {
        uint16_t port = 0;
        listener = platform::tcp_listen("127.0.0.1", 0, 4, &port);
        if (!listener || smpp::SMPPConnect(client.fd(), kLink, "127.0.0.1", port) != 0)
            return false;
        s = platform::tcp_accept(listener, 2000);
        if (!s) return false;
        std::thread t([this] {
            smpp::Pdu b;
            if (!recv(b, 3000)) return;
            smpp::Pdu r;
            r.command_id = b.command_id | 0x80000000u;
            r.sequence = b.sequence;
            r.system_id = "SMSC";
            send(r);
        });
        uint32_t st = smpp::SMPPBind(client.fd(), nullptr, kLink, 0x34, 9, "u", "p", "");
        t.join();
        return st == 0;
    }
    // Delivers p and returns the status of its response (or -1).
    long deliver(const smpp::Pdu& p) {
        if (!send(p)) return -1;
        uint64_t start = platform::monotonic_ms();
        while (platform::monotonic_ms() - start < 5000) {
            int err = 0;
            smpp::SMPPYield(client.fd(), nullptr, kLink, 0x34, 0, &err);
            smpp::Pdu r;
            if (recv(r, 20)) {
                if (r.command_id != smpp::DELIVER_SM_RESP || r.sequence != p.sequence) return -1;
                return long(r.command_status);
            }
        }
        return -1;
    }
    ~Smsc() { smpp::SMPPReleaseSession(client.fd()); }
};

}  // namespace

TEST_F(InboundTest, InboundCallbacksStoreBeforeTheSmscIsAnswered) {
    smpp::SMPPSetDeliveryHandler([](const protocols::common::DeliveryRecord& m) {
        return inbound::receive_record("SMPPReceiveMessageCallback", m);
    });
    smpp::SMPPSetLinkOptions(kLink, smpp::LinkOptions{});
    Smsc smsc;
    ASSERT_TRUE(smsc.bind());

    EXPECT_EQ(smsc.deliver(deliver_sm(1, 0, "Hi")), 0);
    smpp::Pdu receipt = deliver_sm(2, 0x04, "id:77AB sub:001 dlvrd:001 stat:DELIVRD");
    receipt.tlvs.push_back({smpp::TAG_RECEIPTED_MESSAGE_ID, std::string("77AB\0", 5)});
    EXPECT_EQ(smsc.deliver(receipt), 0);

    auto files = inbound_files();
    ASSERT_EQ(files.size(), 2u);
    std::string in = extension_of(files[0]) == ".in" ? files[0] : files[1];
    std::string rct = extension_of(files[0]) == ".rct" ? files[0] : files[1];
    EXPECT_EQ(extension_of(in), ".in");
    EXPECT_EQ(extension_of(rct), ".rct");
    EXPECT_EQ(slurp(in),
              "[SMS-IN]\r\nModemName=SMPP - Inbound\r\nSender=447700900001\r\n"
              "PhoneNumber=12345\r\nData=Hi\r\n");
    store::SmsMessage got;
    store::parse_sms_message(slurp(rct), got);
    EXPECT_EQ(got.receipt_message_id, "77AB");
    EXPECT_EQ(got.flags, store::kFlagReceipt | store::kFlagDelivered);
    // The receipt still has to be resolved: only the message was logged.
    std::string log = inbound_log();
    EXPECT_NE(log.find("Text=\"Hi\""), std::string::npos) << log;
    EXPECT_EQ(log.find("77AB"), std::string::npos) << log;

    // An inbound store that cannot be written: the SMSC keeps the message.
    inbound_test::spit(home_ + "/blocker", "x");
    set_ini("SMSGW", "SmsInDir", home_ + "/blocker/SMS-IN");
    EXPECT_EQ(smsc.deliver(deliver_sm(3, 0, "lost?")), long(smpp::ESME_RSYSERR));
    set_ini("SMSGW", "SmsInDir", "");
    EXPECT_EQ(inbound_files().size(), 2u);
    EXPECT_EQ(records::counter_today(records::Counter::Received), 2u);
    smpp::SMPPSetReceiveMessageCallback(nullptr);
}
