// The record API of the SMPP client: a submit record goes out as the same
// PDU the positional adapter sends for the same arguments, and a deliver_sm
// comes up as a delivery record with its options.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/smpp_raw_peer.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "protocols/smpp/smpp.h"

namespace smpp = protocols::smpp;
namespace common = protocols::common;

namespace {

constexpr const char* kLink = "SMPP - records";

using smpp_test::deliver_sm;
using smpp_test::RawPeer;

// A bound client session on one side of a loopback connection.
struct Bound {
    platform::Socket listener, client;
    RawPeer peer;
};

// Binds through bind_fn (which talks on `socket`) while the peer answers.
template <class BindFn>
void bind_pair(Bound& b, BindFn&& bind_fn) {
    uint16_t port = 0;
    b.listener = platform::tcp_listen("127.0.0.1", 0, 4, &port);
    ASSERT_TRUE(b.listener);
    b.client = platform::Socket(::socket(AF_INET, SOCK_STREAM, 0));
    std::thread binder([&] {
        b.peer.s = platform::tcp_accept(b.listener, 2000);
        smpp::Pdu bind;
        if (b.peer.s && b.peer.recv(bind)) b.peer.answer(bind);
    });
    uint32_t st = bind_fn(b.client.fd(), port);
    binder.join();
    ASSERT_EQ(st, 0u);
}

// The submit the peer receives while send() runs, answered with id "S1";
// its bytes with the sequence number cleared.
template <class Send>
std::string captured_submit(RawPeer& peer, Send&& send) {
    smpp::Pdu got;
    std::thread t([&] {
        if (peer.recv(got)) peer.answer(got, 0, "S1");
    });
    uint32_t st = send();
    t.join();
    EXPECT_EQ(st, 0u);
    got.sequence = 0;
    return smpp::encode_pdu(got);
}

}  // namespace

TEST(SmppRecordApi, SubmitRecordSendsWhatTheAdapterSends) {
    smpp::reset_engine_for_tests();
    smpp::LinkOptions opt;
    opt.use_tlv = true;
    smpp::SMPPSetLinkOptions(kLink, opt);

    Bound positional, record;
    bind_pair(positional, [](int fd, uint16_t port) {
        uint32_t st = smpp::SMPPConnect(fd, kLink, "127.0.0.1", port);
        return st ? st : smpp::SMPPBind(fd, nullptr, kLink, 0x34, 2, "u", "p", "");
    });
    smpp::ClientSession session(-1, kLink, opt);
    bind_pair(record, [&](int fd, uint16_t port) {
        session = smpp::ClientSession(fd, kLink, opt);
        uint32_t st = session.connect("127.0.0.1", port);
        return st ? st : session.bind(smpp::BindRequest{0x34, 2, "u", "p", ""});
    });

    struct Case {
        const char* name;
        const char *sender, *recipient;
        int pid, dcs;
        const char *udh, *data;
        int flags, binary;
        const char* option_text;
        common::Options options;
    };
    const Case cases[] = {
        {"text with fields and a parameter",
         "+447700900123",
         "12345",
         0,
         0,
         "",
         "Hi @ 5",
         0x02,
         0,
         "ServiceType=CMT; Validity=90; user_message_reference=7; LocalUser=bob",
         {{"ServiceType", "CMT"},
          {"Validity", "90"},
          {"user_message_reference", "7"},
          {"LocalUser", "bob"}}},
        {"binary with ports as parameters",
         "KelSMS",
         "+4477",
         0x7F,
         0xF5,
         "06050415811581",
         "0102FF",
         0x40,
         1,
         "SMPPOption_1403=4142; Priority=1",
         {{"SMPPOption_1403", "4142"}, {"Priority", "1"}}},
        {"UCS-2 without options", "4477", "99", 0, 8, "", "\xD0\x96", 0, 0, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string id_positional, id_record;
        std::string expected = captured_submit(positional.peer, [&] {
            return smpp::SMPPSubmitMessage(positional.client.fd(), nullptr, kLink, 0x34, c.sender,
                                           c.recipient, c.pid, c.dcs, c.udh, c.data, c.flags,
                                           c.binary, id_positional, "REF", c.option_text);
        });
        common::SubmitRecord m;
        m.sender = c.sender;
        m.recipient = c.recipient;
        m.pid = c.pid;
        m.dcs = c.dcs;
        m.udh_hex = c.udh;
        m.data = c.data;
        m.flags = c.flags;
        m.binary = c.binary != 0;
        m.reference = "REF";
        m.options = c.options;
        std::string got =
            captured_submit(record.peer, [&] { return session.submit(m, id_record); });
        EXPECT_EQ(smpp::to_hex(got), smpp::to_hex(expected));
        EXPECT_EQ(id_record, "S1");
        EXPECT_EQ(id_positional, "S1");
    }
    smpp::reset_engine_for_tests();
}

TEST(SmppRecordApi, DeliverSmBecomesADeliveryRecord) {
    smpp::reset_engine_for_tests();
    std::mutex mu;
    std::vector<common::DeliveryRecord> got;
    smpp::SMPPSetDeliveryHandler([&](const common::DeliveryRecord& m) {
        std::lock_guard lk(mu);
        got.push_back(m);
        return 0;
    });
    smpp::LinkOptions opt;
    opt.smpp_options = [] {
        return std::vector<std::pair<std::string, std::string>>{{"Billing", "0x1403,Text,10"}};
    };
    Bound b;
    smpp::ClientSession session(-1, kLink, opt);
    bind_pair(b, [&](int fd, uint16_t port) {
        session = smpp::ClientSession(fd, kLink, opt);
        uint32_t st = session.connect("127.0.0.1", port);
        return st ? st : session.bind(smpp::BindRequest{0x34, 9, "u", "p", ""});
    });

    smpp::Pdu receipt = deliver_sm(21, 0x04, "id:ABC sub:001 dlvrd:001 stat:DELIVRD");
    receipt.tlvs.push_back({smpp::TAG_RECEIPTED_MESSAGE_ID, std::string("ABC\0", 4)});
    smpp::Pdu text = deliver_sm(22, 0x00, "hello", "CMT");
    text.source_addr_ton = 1;
    text.registered_delivery = 1;
    text.tlvs.push_back({0x1403, "AB"});
    text.tlvs.push_back({0x1501, "\x01\x02"});

    struct Case {
        smpp::Pdu pdu;
        const char *sender, *message, *smsc_id;
        int flags;
        common::Options options;
    };
    const Case cases[] = {
        {receipt,
         "447700900001",
         "id:ABC sub:001 dlvrd:001 stat:DELIVRD",
         "ABC",
         0x0C,
         {{"ResolveReceiptID", "Yes"}}},
        {text,
         "+447700900001",
         "hello",
         "",
         0x02,
         {{"ServiceType", "CMT"}, {"SMPPOption_Billing", "AB"}, {"SMPPOption_1501", "0102"}}},
    };
    for (const Case& c : cases) ASSERT_TRUE(b.peer.send(c.pdu));
    uint64_t start = platform::monotonic_ms();
    for (;;) {
        ASSERT_TRUE(session.yield(false));
        {
            std::lock_guard lk(mu);
            if (got.size() >= std::size(cases)) break;
        }
        ASSERT_LT(platform::monotonic_ms() - start, 5000u);
        platform::sleep_ms(1);
    }
    std::lock_guard lk(mu);
    ASSERT_EQ(got.size(), std::size(cases));
    for (size_t i = 0; i < got.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.message);
        EXPECT_EQ(got[i].link_name, kLink);
        EXPECT_EQ(got[i].sender, c.sender);
        EXPECT_EQ(got[i].recipient, "12345");
        EXPECT_EQ(got[i].message, c.message);
        EXPECT_EQ(got[i].smsc_message_id, c.smsc_id);
        EXPECT_EQ(got[i].flags, c.flags);
        EXPECT_EQ(got[i].options, c.options);
    }
    smpp::reset_engine_for_tests();
}
