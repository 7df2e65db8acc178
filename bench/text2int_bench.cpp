// Numeric text conversion against the standard library, side by side in one
// run: text2uint64/text2int64/text2uint32 against std::from_chars over texts of
// every length 1..20 (equal shares), fixed-point parsing, and
// uint_to_ascii/int_to_ascii against std::to_chars over values of every
// magnitude. Inputs are generated here (seeded), 4096 per pass; items = values.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "utils/base/text2int.hpp"

namespace {

constexpr size_t COUNT = 4096;

struct Texts {
  std::string storage;
  std::vector<std::pair<uint32_t, uint8_t>> spans;  // offset, length
};

void addText(Texts* t, const char* text, size_t len) {
  t->spans.emplace_back(static_cast<uint32_t>(t->storage.size()), static_cast<uint8_t>(len));
  t->storage.append(text, len);
}

// Digit texts with lengths 1..maxDigits in equal shares, either in a repeating
// 1, 2, ..., maxDigits cycle (like the columns of successive CSV rows, a
// sequence the branch predictor learns) or shuffled (every length jump
// mispredicted), an optional leading '-', and
// a point before the last two digits when pointAt2 is set (3+ digits).
Texts makeTexts(unsigned maxDigits, bool withSigns, bool pointAt2, bool shuffled) {
  std::mt19937_64 rng(1234);
  std::vector<unsigned> lengths(COUNT);
  for (size_t i = 0; i < COUNT; ++i) lengths[i] = static_cast<unsigned>(i % maxDigits) + 1;
  if (shuffled) std::shuffle(lengths.begin(), lengths.end(), rng);
  Texts t;
  for (size_t i = 0; i < COUNT; ++i) {
    const unsigned digits = lengths[i];
    char text[32];
    size_t n = 0;
    if (withSigns && (rng() & 1)) text[n++] = '-';
    // A leading 1 keeps 20 digits below 2^64 and 19 digits within int64.
    text[n++] = digits >= 19 ? '1' : static_cast<char>('1' + rng() % 9);
    for (unsigned d = 1; d < digits; ++d) {
      if (pointAt2 && digits >= 3 && d == digits - 2) text[n++] = '.';
      text[n++] = static_cast<char>('0' + rng() % 10);
    }
    addText(&t, text, n);
  }
  return t;
}

std::vector<uint64_t> makeValues() {
  std::mt19937_64 rng(99);
  std::vector<uint64_t> v(COUNT);
  for (size_t i = 0; i < COUNT; ++i) v[i] = rng() >> (rng() % 64);  // every magnitude
  return v;
}

template <typename Parse>
void runParse(benchmark::State& state, const Texts& t, Parse parse) {
  const char* base = t.storage.data();
  for (auto _ : state) {
    uint64_t sum = 0;
    for (const auto& [offset, len] : t.spans) sum += static_cast<uint64_t>(parse(base + offset, len));
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(COUNT));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(t.storage.size()));
}

// Argument 0: lengths in a repeating cycle; 1: lengths shuffled.
const Texts& unsigned20(const benchmark::State& state) {
  static const Texts cycled = makeTexts(20, false, false, false);
  static const Texts shuffled = makeTexts(20, false, false, true);
  return state.range(0) ? shuffled : cycled;
}
const Texts& signed19(const benchmark::State& state) {
  static const Texts cycled = makeTexts(19, true, false, false);
  static const Texts shuffled = makeTexts(19, true, false, true);
  return state.range(0) ? shuffled : cycled;
}
const Texts& unsigned9(const benchmark::State& state) {
  static const Texts cycled = makeTexts(9, false, false, false);
  static const Texts shuffled = makeTexts(9, false, false, true);
  return state.range(0) ? shuffled : cycled;
}
const Texts& fixed12(const benchmark::State& state) {
  static const Texts cycled = makeTexts(12, true, true, false);
  static const Texts shuffled = makeTexts(12, true, true, true);
  return state.range(0) ? shuffled : cycled;
}

void BM_Text2Uint64(benchmark::State& state) {
  runParse(state, unsigned20(state), [](const char* p, uint8_t n) { return text2uint64(p, n); });
}
void BM_FromCharsUint64(benchmark::State& state) {
  runParse(state, unsigned20(state), [](const char* p, uint8_t n) {
    uint64_t v = 0;
    std::from_chars(p, p + n, v);
    return v;
  });
}
void BM_Text2Int64(benchmark::State& state) {
  runParse(state, signed19(state), [](const char* p, uint8_t n) { return text2int64(p, n); });
}
void BM_FromCharsInt64(benchmark::State& state) {
  runParse(state, signed19(state), [](const char* p, uint8_t n) {
    int64_t v = 0;
    std::from_chars(p, p + n, v);
    return v;
  });
}
void BM_Text2Uint32(benchmark::State& state) {
  runParse(state, unsigned9(state), [](const char* p, uint8_t n) { return text2uint32(p, n); });
}
void BM_FromCharsUint32(benchmark::State& state) {
  runParse(state, unsigned9(state), [](const char* p, uint8_t n) {
    uint32_t v = 0;
    std::from_chars(p, p + n, v);
    return v;
  });
}
void BM_FastAsciiToFixedpoint(benchmark::State& state) {
  runParse(state, fixed12(state), [](const char* p, uint8_t n) { return fast_ascii_to_fixedpoint(p, n, -2).value; });
}

template <typename Format>
void runFormat(benchmark::State& state, Format format) {
  static const std::vector<uint64_t> values = makeValues();
  size_t bytes = 0;
  for (auto _ : state) {
    for (const uint64_t v : values) bytes += format(v);
  }
  benchmark::DoNotOptimize(bytes);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(COUNT));
}

void BM_UintToAscii(benchmark::State& state) {
  runFormat(state, [](uint64_t v) {
    uint32_t bfr[6];
    uint_fast8_t len;
    char* p = uint_to_ascii(bfr, sizeof bfr, v, &len);
    benchmark::DoNotOptimize(p);
    benchmark::ClobberMemory();
    return len;
  });
}
void BM_ToCharsUint64(benchmark::State& state) {
  runFormat(state, [](uint64_t v) {
    char bfr[24];
    char* end = std::to_chars(bfr, bfr + sizeof bfr, v).ptr;
    benchmark::DoNotOptimize(bfr);
    benchmark::ClobberMemory();
    return static_cast<size_t>(end - bfr);
  });
}
void BM_IntToAscii(benchmark::State& state) {
  runFormat(state, [](uint64_t v) {
    uint32_t bfr[6];
    uint_fast8_t len;
    const int64_t s = (v & 1) ? -static_cast<int64_t>(v >> 1) : static_cast<int64_t>(v >> 1);
    char* p = int_to_ascii(bfr, sizeof bfr, s, &len);
    benchmark::DoNotOptimize(p);
    benchmark::ClobberMemory();
    return len;
  });
}
void BM_ToCharsInt64(benchmark::State& state) {
  runFormat(state, [](uint64_t v) {
    char bfr[24];
    const int64_t s = (v & 1) ? -static_cast<int64_t>(v >> 1) : static_cast<int64_t>(v >> 1);
    char* end = std::to_chars(bfr, bfr + sizeof bfr, s).ptr;
    benchmark::DoNotOptimize(bfr);
    benchmark::ClobberMemory();
    return static_cast<size_t>(end - bfr);
  });
}
void BM_FixedpointToAscii(benchmark::State& state) {
  runFormat(state, [](uint64_t v) {
    char bfr[48];
    uint_fast8_t len;
    fixedpoint_to_ascii(bfr, sizeof bfr, static_cast<int64_t>(v >> 1), 4, &len, -2);
    benchmark::DoNotOptimize(bfr);
    benchmark::ClobberMemory();
    return len;
  });
}

}  // namespace

BENCHMARK(BM_Text2Uint64)->ArgName("shuffled")->Arg(0)->Arg(1);
BENCHMARK(BM_FromCharsUint64)->ArgName("shuffled")->Arg(0)->Arg(1);
BENCHMARK(BM_Text2Int64)->ArgName("shuffled")->Arg(0)->Arg(1);
BENCHMARK(BM_FromCharsInt64)->ArgName("shuffled")->Arg(0)->Arg(1);
BENCHMARK(BM_Text2Uint32)->ArgName("shuffled")->Arg(0)->Arg(1);
BENCHMARK(BM_FromCharsUint32)->ArgName("shuffled")->Arg(0)->Arg(1);
BENCHMARK(BM_FastAsciiToFixedpoint)->ArgName("shuffled")->Arg(0)->Arg(1);
BENCHMARK(BM_UintToAscii);
BENCHMARK(BM_ToCharsUint64);
BENCHMARK(BM_IntToAscii);
BENCHMARK(BM_ToCharsInt64);
BENCHMARK(BM_FixedpointToAscii);
