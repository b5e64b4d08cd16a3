// Throughput of the text conversions a submission runs for every message: UTF-8 to packed
// GSM 7-bit hex and UTF-8 to UCS-2 hex (bytes of UTF-8 input per second), plus the
// receive-side and code-page directions for comparison.
#include <benchmark/benchmark.h>

#include <string>

#include "radio/charset/charset.h"

namespace {

using namespace radio::charset;

// Texts of about n bytes built from a repeated phrase.
std::string repeat(const std::string& phrase, size_t n) {
    std::string s;
    while (s.size() < n) s += phrase;
    return s;
}

const std::string kAscii = "Your code is 4711. Meet at [Gate 7] {ok} ~ see you! ";
const std::string kLatin =
    "Caf\xC3\xA9 \xC3\xA0 Z\xC3\xBCrich: \xE2\x82\xAC"
    "5, \xC3\xA5ngstr\xC3\xB6m ";
const std::string kCyrillic =
    "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xD0\xBC\xD0\xB8\xD1\x80! ";
const std::string kEmoji = "ok \xF0\x9F\x98\x80 \xE4\xB8\xAD\xE6\x96\x87 ";

void utf8_to_packed_gsm(benchmark::State& state, const std::string& phrase) {
    const std::string text = repeat(phrase, size_t(state.range(0)));
    for (auto _ : state) {
        const std::string septets = utf8_to_gsm(text);
        std::string hex = pack_septets(septets, 0);
        benchmark::DoNotOptimize(hex);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void utf8_to_ucs2(benchmark::State& state, const std::string& phrase) {
    const std::string text = repeat(phrase, size_t(state.range(0)));
    for (auto _ : state) {
        std::string hex = utf8_to_ucs2_hex(text);
        benchmark::DoNotOptimize(hex);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void packed_gsm_to_utf8(benchmark::State& state) {
    const std::string hex = pack_septets(utf8_to_gsm(repeat(kAscii, size_t(state.range(0)))), 0);
    for (auto _ : state) {
        std::string utf8;
        benchmark::DoNotOptimize(GSM7ToUTF8String("", hex, utf8));
        benchmark::DoNotOptimize(utf8);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(hex.size()));
}

void unicode_decision(benchmark::State& state) {
    const std::string text = repeat(kLatin, size_t(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(UTF8StringRequiresUnicodeEncoding(text, {}));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void utf8_to_cp1251(benchmark::State& state) {
    const std::string text = repeat(kCyrillic, size_t(state.range(0)));
    for (auto _ : state) {
        std::string copy = text;
        benchmark::DoNotOptimize(utf8_to_code_page(copy, 1251));
        benchmark::DoNotOptimize(copy);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

BENCHMARK_CAPTURE(utf8_to_packed_gsm, ascii, kAscii)->Arg(160)->Arg(4096);
BENCHMARK_CAPTURE(utf8_to_packed_gsm, latin, kLatin)->Arg(160)->Arg(4096);
BENCHMARK_CAPTURE(utf8_to_ucs2, ascii, kAscii)->Arg(140)->Arg(4096);
BENCHMARK_CAPTURE(utf8_to_ucs2, cyrillic, kCyrillic)->Arg(140)->Arg(4096);
BENCHMARK_CAPTURE(utf8_to_ucs2, emoji_cjk, kEmoji)->Arg(140)->Arg(4096);
BENCHMARK(packed_gsm_to_utf8)->Arg(160)->Arg(4096);
BENCHMARK(unicode_decision)->Arg(160)->Arg(4096);
BENCHMARK(utf8_to_cp1251)->Arg(140)->Arg(4096);

}  // namespace
