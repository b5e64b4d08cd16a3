// Outbound HTTP client cost: sequential keep-alive GETs per second to a
// loopback server, the same with a new connection for every GET, and the
// response reader alone on a chunked response.
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "frame/http_client.h"
#include "frame/http_response.h"
#include "platform/net.h"

namespace {

// Answers every request on every connection with a small fixed response
// until stopped; closes when the client asks for it.
class LoopbackServer {
  public:
    LoopbackServer() {
        listener_ = platform::tcp_listen("127.0.0.1", 0, 64, &port_);
        thread_ = std::thread([this] { run(); });
    }
    ~LoopbackServer() {
        stop_ = true;
        thread_.join();
    }
    unsigned port() const { return port_; }

  private:
    void run() {
        while (!stop_) {
            platform::Socket c = platform::tcp_accept(listener_, 100);
            if (!c) continue;
            std::string in;
            char buf[4096];
            while (!stop_) {
                long n = platform::recv_some(c.fd(), buf, sizeof buf, 200);
                if (n == 0 || (n < 0 && platform::wait_readable(c.fd(), 0) > 0)) break;
                if (n < 0) continue;
                in.append(buf, size_t(n));
                size_t end;
                while ((end = in.find("\r\n\r\n")) != std::string::npos) {
                    bool close = in.substr(0, end).find("Connection: close") != std::string::npos;
                    in.erase(0, end + 4);
                    static const std::string resp =
                        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: "
                        "12\r\n\r\nhello world\n";
                    platform::send_all(c.fd(), resp.data(), resp.size(), 1000);
                    if (close) goto next;
                }
            }
        next:;
        }
    }
    platform::Socket listener_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void BM_KeepAliveGet(benchmark::State& state) {
    LoopbackServer server;
    frame::UrlFetch f;
    f.url = "http://127.0.0.1:" + std::to_string(server.port()) + "/acct?Type=SMSSend";
    frame::KeepAlive ka;
    f.keep_alive = &ka;
    frame::UrlResponse r;
    for (auto _ : state)
        if (!frame::fetch_url(f, r)) state.SkipWithError(r.error.c_str());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KeepAliveGet)->Iterations(5000)->UseRealTime();

void BM_NewConnectionGet(benchmark::State& state) {
    LoopbackServer server;
    frame::UrlFetch f;
    f.url = "http://127.0.0.1:" + std::to_string(server.port()) + "/acct?Type=SMSSend";
    frame::UrlResponse r;
    for (auto _ : state)
        if (!frame::fetch_url(f, r)) state.SkipWithError(r.error.c_str());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NewConnectionGet)->Iterations(2000)->UseRealTime();

void BM_ReadChunkedResponse(benchmark::State& state) {
    std::string in = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 64; ++i) in += "400\r\n" + std::string(1024, 'x') + "\r\n";
    in += "0\r\n\r\n";
    for (auto _ : state) {
        frame::HttpResponseReader r(1 << 20);
        for (size_t i = 0; i < in.size(); i += 1500) r.feed(std::string_view(in).substr(i, 1500));
        benchmark::DoNotOptimize(r.raw().size());
    }
    state.SetBytesProcessed(int64_t(state.iterations() * in.size()));
}
BENCHMARK(BM_ReadChunkedResponse);

}  // namespace
