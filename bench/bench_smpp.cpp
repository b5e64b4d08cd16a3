// SMPP engine throughput: PDUs encoded and decoded per second, and windowed
// submit_sm per second from the engine's client to its own server over
// loopback (window 100).
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/net.h"
#include "protocols/smpp/message.h"
#include "protocols/smpp/pdu.h"
#include "protocols/smpp/smpp.h"

namespace smpp = protocols::smpp;

namespace {

smpp::Pdu sample_submit() {
    smpp::Pdu p;
    p.command_id = smpp::SUBMIT_SM;
    p.sequence = 12345;
    p.source_addr_ton = 1;
    p.source_addr_npi = 1;
    p.source_addr = "447700900123";
    p.dest_addr_ton = 1;
    p.dest_addr_npi = 1;
    p.dest_addr = "447700900456";
    p.registered_delivery = 1;
    p.short_message =
        "The quick brown fox jumps over the lazy dog, twice: the quick brown fox jumps over the "
        "lazy dog.";
    p.set_tlv(smpp::TAG_USER_MESSAGE_REFERENCE, std::string("\x00\x07", 2));
    return p;
}

void BM_EncodeSubmitSm(benchmark::State& state) {
    smpp::Pdu p = sample_submit();
    for (auto _ : state) benchmark::DoNotOptimize(smpp::encode_pdu(p));
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_EncodeSubmitSm);

void BM_DecodeSubmitSm(benchmark::State& state) {
    std::string wire = smpp::encode_pdu(sample_submit());
    std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(wire.data()), wire.size());
    smpp::Pdu p;
    for (auto _ : state) benchmark::DoNotOptimize(smpp::decode_pdu(bytes, p));
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_DecodeSubmitSm);

// Gateway arguments to wire octets (text coding, addresses, options) and back.
void BM_BuildAndParseShortMessage(benchmark::State& state) {
    smpp::CodingContext ctx;
    protocols::common::SubmitRecord m;
    m.sender = "+447700900123";
    m.recipient = "447700900456";
    m.data = "Meeting moved to 15:30 in room 4 - bring the slides, please.";
    m.flags = 0x02;
    m.options = smpp::parse_option_text("ServiceType=CMT; user_message_reference=7");
    for (auto _ : state) {
        smpp::Pdu p;
        p.command_id = smpp::DELIVER_SM;
        smpp::build_short_message(m, ctx, p);
        protocols::common::DeliveryRecord in;
        smpp::parse_short_message(p, ctx, in);
        benchmark::DoNotOptimize(in.message);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_BuildAndParseShortMessage);

// Client -> own server over loopback with up to `window` submits outstanding.
void BM_WindowedSubmitLoopback(benchmark::State& state) {
    const size_t window = size_t(state.range(0));
    std::atomic<uint64_t> received{0};
    smpp::SMPPServerSetReceiveMessageCallback(
        [&](std::string_view, std::string_view, std::string_view, std::string_view, int, int,
            std::string_view, std::string_view, int, int, std::string_view, std::string& id,
            std::string_view) {
            id = std::to_string(received.fetch_add(1) + 1);
            return 0;
        });
    uint16_t port = 0;
    platform::Socket listener = platform::tcp_listen("127.0.0.1", 0, 4, &port);
    std::atomic<bool> stop{false};
    std::thread server([&] {
        platform::Socket s = platform::tcp_accept(listener, 5000);
        std::string acct, pw;
        uint32_t seq = 0;
        int kind = 0, ver = 0, end = 0;
        platform::set_nodelay(s.fd(), true);
        if (!smpp::SMPPServerWaitForLogin(s.fd(), nullptr, 5, acct, pw, seq, kind, ver)) return;
        smpp::SMPPServerAcceptLogin(s.fd(), nullptr, seq, kind, ver);
        while (!stop && !end) smpp::SMPPServerYield(s.fd(), nullptr, 2, acct, &end);
        smpp::SMPPReleaseSession(s.fd());
    });

    const char* link = "SMPP - bench";
    smpp::LinkOptions opt;
    smpp::SMPPSetLinkOptions(link, opt);
    platform::Socket cl(::socket(AF_INET, SOCK_STREAM, 0));
    if (smpp::SMPPConnect(cl.fd(), link, "127.0.0.1", port) != 0 ||
        smpp::SMPPBind(cl.fd(), nullptr, link, 0x34, 2, "bench", "pw", "") != 0) {
        state.SkipWithError("bind failed");
        stop = true;
        server.join();
        return;
    }
    platform::set_nodelay(cl.fd(), true);

    std::vector<smpp::SMPPAsyncSubmit> ring(window);
    size_t head = 0, outstanding = 0;  // ring[head] is the oldest outstanding record
    uint64_t failures = 0;
    std::string id;
    auto retire = [&](bool block) {
        while (outstanding > 0) {
            smpp::SMPPAsyncSubmit& r = ring[head];
            if (!r.response_received.load(std::memory_order_acquire)) {
                if (!block) return;
                // Window full: block until responses arrive (as the link worker's wait does).
                int err = 0;
                smpp::SMPPYield(cl.fd(), nullptr, link, 0x34, 1, &err);
                if (err) return;
                continue;
            }
            failures += r.status.load() != 0;
            head = (head + 1) % window;
            --outstanding;
            block = false;  // one slot is enough to go on
        }
    };
    const std::string text = "Benchmark message text of typical length for an SMS submit.";
    for (auto _ : state) {
        if (outstanding == window) retire(true);
        size_t slot = (head + outstanding) % window;
        if (smpp::SMPPSubmitMessageAsync(cl.fd(), nullptr, link, 0x34, "+447700900123",
                                         "447700900456", 0, 0, "", text, 0, 0, id, "", "",
                                         &ring[slot]) != 0) {
            state.SkipWithError("submit failed");
            break;
        }
        ++outstanding;
        if (outstanding * 4 >= window * 3) retire(false);
    }
    uint64_t deadline = platform::monotonic_ms() + 10000;
    while (outstanding > 0 && platform::monotonic_ms() < deadline) retire(true);
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.counters["failed"] = double(failures);
    smpp::SMPPUnbind(cl.fd(), nullptr, link, 0x34);
    stop = true;
    server.join();
    smpp::SMPPServerSetReceiveMessageCallback(nullptr);
}
BENCHMARK(BM_WindowedSubmitLoopback)
    ->Arg(100)
    ->Arg(1)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
