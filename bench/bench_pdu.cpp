// PDUs per second: SMS-SUBMIT building (a 7-bit text, a UCS-2 text, a 7-bit
// segment behind its header) and SMS-DELIVER / SMS-STATUS-REPORT decoding,
// as a modem link runs them for every message.
#include <benchmark/benchmark.h>

#include <string>

#include "radio/pdu.h"

namespace {

namespace pdu = radio::pdu;

void build(benchmark::State& state, const std::string& text, uint8_t dcs, const std::string& udh) {
    pdu::SubmitParams p;
    p.recipient = "+447700900001";
    p.smsc = "+31624000000";
    p.data = text;
    p.dcs = dcs;
    p.udh = udh;
    p.status_report = true;
    p.validity = "2d";
    for (auto _ : state) benchmark::DoNotOptimize(pdu::build_submit(p));
    state.SetItemsProcessed(state.iterations());
}

void decode(benchmark::State& state, const std::string& hex) {
    for (auto _ : state) benchmark::DoNotOptimize(pdu::decode(hex));
    state.SetItemsProcessed(state.iterations());
}

const std::string k160 =
    "The quick brown fox jumps over the lazy dog 0123456789 again and again until the text "
    "is exactly one hundred and sixty characters long, ok? [done]..........";
const std::string kCyr = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xD0\xBC\xD0\xB8\xD1\x80! "
                         "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xD0\xBC\xD0\xB8\xD1\x80! ";

}  // namespace

BENCHMARK_CAPTURE(build, gsm7_160, k160, 0, "");
BENCHMARK_CAPTURE(build, ucs2_30, kCyr, 8, "");
BENCHMARK_CAPTURE(build, gsm7_segment, k160.substr(0, 153), 0, "050003CC0201");
BENCHMARK_CAPTURE(decode, deliver_text,
                  "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07");
BENCHMARK_CAPTURE(decode, status_report,
                  "07911326040000F0062A0B911346610089F6208062917314802080629183148000");
BENCHMARK_CAPTURE(decode, deliver_binary_udh,
                  "0044048121430004208062917314080906050415811581AB00");
