// The virtual SMSC ("SDKLINK - VirtualSMSC", link index 0): every message
// for a recipient listed in [SDKLink] is POSTed over plain HTTP to the
// host and port that recipient names.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "links/core/link_kind.h"

namespace links {

// Failure codes of the HTTP delivery that are not HTTP statuses.
inline constexpr int64_t kSdkConnectFailed = -1;  // no TCP connection
inline constexpr int64_t kSdkNoResponse = -2;     // connection broke or answer unreadable
inline constexpr int64_t kSdkNoEndpoint = -100;   // recipient not in [SDKLink]
inline constexpr int64_t kSdkBadEndpoint = -101;  // [SDKLink] value is no host:port

// An [SDKLink] value "host:port" (split at the last ':'; without a port the
// HTTP default 80). nullopt for an empty host or a port that is not a
// decimal number from 1 to 65535.
struct SdkEndpoint {
    std::string host;
    uint16_t port = 80;
};
std::optional<SdkEndpoint> parse_sdk_endpoint(std::string_view value);

// application/x-www-form-urlencoded: letters, digits and "-._~" stay, every
// other byte becomes "%XX" (upper-case hex).
std::string form_encode(std::string_view value);

// The form body of one message: PhoneNumber, Sender, then Text (UTF-8) for
// text or Binary=1 and Data (hex) for binary content, then UDH (hex), PID,
// DCS and MessageID. remove_plus strips a leading '+' from both numbers.
std::string sdk_request_body(const OutboundMessage& m, bool remove_plus);

// What came back from one HTTP exchange.
struct SdkHttpResult {
    int64_t code = 0;        // 0 (2xx), the HTTP status, kSdkConnectFailed or kSdkNoResponse
    unsigned status = 0;     // HTTP status when one was read
    std::string error_text;  // empty on success
    std::string first_line;  // first line of the response body (trimmed, bounded)
};
// POSTs body to http://host:port/ with "Connection: close" and reads the
// answer. The connect waits at most connect_ms, the answer at most
// response_ms; stop() (may be empty) is asked about once a second and ends
// the wait early as kSdkNoResponse.
SdkHttpResult sdk_http_post(const SdkEndpoint& ep, std::string_view body, unsigned connect_ms,
                            unsigned response_ms, const std::function<bool()>& stop = {});

// Parses a complete or cut-off HTTP response (headers and what arrived of
// the body; chunked bodies are decoded). Exposed for tests.
SdkHttpResult parse_sdk_http_response(std::string_view raw, const SdkEndpoint& ep);

// The session of the virtual SMSC: stateless over HTTP, so it is always up.
class SdkLinkSession final : public LinkSession {
  public:
    explicit SdkLinkSession(WorkerState& w);
    SubmitResult submit(const OutboundMessage& m) override;
    bool enquire_link() override { return true; }
    bool link_ok() override { return true; }
    // Between passes: waits up to a second for the link's "SMSOut" events.
    void yield(bool wait) override;
    // 4xx answers and missing or unusable endpoints fail at once; anything
    // else (5xx, no connection, no answer) is retried.
    store::ErrorClass classify(int64_t code) const override;
    bool queue_full(int64_t) const override { return false; }
    bool enquire_after_failure() const override { return false; }
    WindowedSubmit* windowed() override { return nullptr; }

    unsigned connect_ms = 10000;
    unsigned response_ms = 120000;

  private:
    WorkerState& w_;
    bool remove_plus_ = false;
};

// Body of the index-0 worker: the settings of "SDKLINK - VirtualSMSC", then
// queue passes over an SdkLinkSession until shutdown (a settings change
// starts a fresh session).
void run_sdk_link_worker(WorkerState& w);

// Registers the "SDKLink - " kind (and the index-0 worker) with the core.
void register_sdk_link_kind();

}  // namespace links
