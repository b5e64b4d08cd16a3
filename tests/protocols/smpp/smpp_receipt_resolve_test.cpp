// Receipts the SMPP client hands to the receive callback ask the gateway to
// resolve the SMSC's id ("ResolveReceiptID=Yes" after the other extra items);
// ordinary deliveries do not. Both the direct and the queued receive paths.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/smpp_raw_peer.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "protocols/smpp/pdu.h"
#include "protocols/smpp/smpp.h"

namespace smpp = protocols::smpp;

namespace {

constexpr const char* kLink = "SMPP - receipt-resolve";

using Peer = smpp_test::RawPeer;
using smpp_test::deliver_sm;

}  // namespace

TEST(SmppReceiptResolve, ReceiptsCarryResolveReceiptIdOnBothReceivePaths) {
    for (bool queued : {false, true}) {
        SCOPED_TRACE(queued ? "queued" : "direct");
        std::mutex mu;
        std::vector<std::vector<std::string>> got;
        smpp::SMPPSetReceiveMessageCallback(
            [&](std::string_view, std::string_view, std::string_view, int, int, std::string_view,
                std::string_view msg, int flags, int, std::string_view id, std::string_view extra) {
                std::lock_guard lk(mu);
                got.push_back(
                    {std::string(msg), std::to_string(flags), std::string(id), std::string(extra)});
                return 0;
            });
        smpp::LinkOptions opt;
        opt.queue_inbound = queued;
        smpp::SMPPSetLinkOptions(kLink, opt);

        uint16_t port = 0;
        platform::Socket listener = platform::tcp_listen("127.0.0.1", 0, 4, &port);
        ASSERT_TRUE(listener);
        platform::Socket client(::socket(AF_INET, SOCK_STREAM, 0));
        ASSERT_EQ(smpp::SMPPConnect(client.fd(), kLink, "127.0.0.1", port), 0u);
        Peer peer;
        peer.s = platform::tcp_accept(listener, 2000);
        ASSERT_TRUE(peer.s);
        std::thread binder([&] {
            smpp::Pdu bind;
            if (!peer.recv(bind)) return;
            smpp::Pdu r;
            r.command_id = bind.command_id | 0x80000000u;
            r.sequence = bind.sequence;
            r.system_id = "SMSC";
            peer.send(r);
        });
        ASSERT_EQ(smpp::SMPPBind(client.fd(), nullptr, kLink, 0x34, 9, "u", "p", ""), 0u);
        binder.join();

        smpp::Pdu with_tlv = deliver_sm(11, 0x04, "id:ABC sub:001 dlvrd:001 stat:DELIVRD", "CMT");
        with_tlv.tlvs.push_back({smpp::TAG_RECEIPTED_MESSAGE_ID, std::string("ABC\0", 4)});
        with_tlv.tlvs.push_back({smpp::TAG_MESSAGE_STATE, std::string(1, '\x02')});
        ASSERT_TRUE(peer.send(with_tlv));
        ASSERT_TRUE(peer.send(deliver_sm(12, 0x04, "id:XYZ sub:001 dlvrd:000 stat:UNDELIV")));
        ASSERT_TRUE(peer.send(deliver_sm(13, 0x00, "hello", "CMT")));

        uint64_t start = platform::monotonic_ms();
        for (;;) {
            int err = 0;
            smpp::SMPPYield(client.fd(), nullptr, kLink, 0x34, 0, &err);
            if (queued) smpp::SMPPReceiveFromAsyncQ(kLink);
            {
                std::lock_guard lk(mu);
                if (got.size() >= 3) break;
            }
            ASSERT_LT(platform::monotonic_ms() - start, 5000u);
            platform::sleep_ms(1);
        }
        for (uint32_t seq : {11u, 12u, 13u}) {
            smpp::Pdu r;
            ASSERT_TRUE(peer.recv(r));
            EXPECT_EQ(r.command_id, smpp::DELIVER_SM_RESP);
            EXPECT_EQ(r.sequence, seq);
            EXPECT_EQ(r.command_status, 0u);
        }

        std::lock_guard lk(mu);
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[0][1], "12");  // receipt, delivered
        EXPECT_EQ(got[0][2], "ABC");
        EXPECT_EQ(got[0][3], "ServiceType=CMT; ResolveReceiptID=Yes");
        EXPECT_EQ(got[1][1], "36");  // receipt, failed
        EXPECT_EQ(got[1][2], "XYZ");
        EXPECT_EQ(got[1][3], "ResolveReceiptID=Yes");
        EXPECT_EQ(got[2][0], "hello");
        EXPECT_EQ(got[2][1], "0");
        EXPECT_EQ(got[2][3], "ServiceType=CMT");
        smpp::SMPPReleaseSession(client.fd());
        smpp::SMPPSetReceiveMessageCallback(nullptr);
    }
}
