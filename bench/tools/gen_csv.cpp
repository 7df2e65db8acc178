// Generates deterministic CSV tables for the comparison benchmarks.
//
//   gen_csv [--numeric] [--seed N] SIZE OUTPUT
//
// SIZE is a byte count with an optional K, M or G suffix (powers of 1000); rows
// are written until the file reaches at least SIZE bytes. The mixed table has
// ten columns: unsigned and signed integers, 2- and 6-place decimals, dates,
// short tickers, free text with quoted commas, 12-19 digit numbers, a mostly
// empty flag and digit codes. --numeric writes five columns of integers and
// decimals only. The same seed and size always give the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Rng {  // xorshift64*: fast, deterministic, good enough for test data
  uint64_t s;
  uint64_t next() {
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return s * UINT64_C(2685821657736338717);
  }
  uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 32) % n); }
};

const char* const WORDS[] = {"alpha", "bravo", "late", "print", "corrected", "odd", "lot",
                             "block", "cross", "venue", "halt", "resumed", "auction", "open",
                             "close", "Smith", "Jones", "desk", "manual", "review"};
constexpr uint32_t WORD_COUNT = sizeof(WORDS) / sizeof(WORDS[0]);

void putDecimal(std::string& out, int64_t scaled, int places) {
  char buf[32];
  bool negative = scaled < 0;
  uint64_t v = negative ? static_cast<uint64_t>(-scaled) : static_cast<uint64_t>(scaled);
  uint64_t div = 1;
  for (int i = 0; i < places; ++i) div *= 10;
  int n = std::snprintf(buf, sizeof buf, "%s%llu.%0*llu", negative ? "-" : "",
                        static_cast<unsigned long long>(v / div), places,
                        static_cast<unsigned long long>(v % div));
  out.append(buf, static_cast<size_t>(n));
}

void mixedRow(std::string& out, Rng& r, uint64_t row) {
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%llu,", static_cast<unsigned long long>(row + 1));
  out.append(buf, static_cast<size_t>(n));
  n = std::snprintf(buf, sizeof buf, "%d,", static_cast<int>(r.below(200001)) - 100000);
  out.append(buf, static_cast<size_t>(n));
  putDecimal(out, static_cast<int64_t>(r.below(10000000)), 2);
  out += ',';
  putDecimal(out, static_cast<int64_t>(r.below(2000000000)) - 1000000000, 6);
  out += ',';
  n = std::snprintf(buf, sizeof buf, "20%02u-%02u-%02u,", 10 + r.below(17), 1 + r.below(12),
                    1 + r.below(28));
  out.append(buf, static_cast<size_t>(n));
  uint32_t tickerLen = 2 + r.below(4);
  for (uint32_t i = 0; i < tickerLen; ++i) out += static_cast<char>('A' + r.below(26));
  out += ',';
  uint32_t words = 1 + r.below(4);
  bool quoted = r.below(4) == 0;
  if (quoted) out += '"';
  for (uint32_t i = 0; i < words; ++i) {
    if (i) out += (quoted && i == 1) ? ", " : " ";
    out += WORDS[r.below(WORD_COUNT)];
  }
  if (quoted) out += '"';
  out += ',';
  uint32_t digits = 12 + r.below(8);
  out += static_cast<char>('1' + r.below(9));
  for (uint32_t i = 1; i < digits; ++i) out += static_cast<char>('0' + r.below(10));
  out += ',';
  if (r.below(20) == 0) out += 'Y';
  out += ',';
  n = std::snprintf(buf, sizeof buf, "%05u\n", r.below(100000));
  out.append(buf, static_cast<size_t>(n));
}

void numericRow(std::string& out, Rng& r, uint64_t row) {
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%llu,%d,", static_cast<unsigned long long>(row + 1),
                        static_cast<int>(r.below(2000001)) - 1000000);
  out.append(buf, static_cast<size_t>(n));
  putDecimal(out, static_cast<int64_t>(r.below(100000000)), 2);
  out += ',';
  putDecimal(out, static_cast<int64_t>(r.below(2000000000)) - 1000000000, 6);
  out += ',';
  n = std::snprintf(buf, sizeof buf, "%llu\n",
                    static_cast<unsigned long long>(r.next() >> (4 + r.below(24))));
  out.append(buf, static_cast<size_t>(n));
}

uint64_t parseSize(const char* s) {
  char* end = nullptr;
  double v = std::strtod(s, &end);
  if (end == s || v <= 0) return 0;
  switch (*end) {
    case 'k': case 'K': v *= 1e3; break;
    case 'm': case 'M': v *= 1e6; break;
    case 'g': case 'G': v *= 1e9; break;
    default: break;
  }
  return static_cast<uint64_t>(v);
}

}  // namespace

int main(int argc, char** argv) {
  bool numeric = false;
  uint64_t seed = 20261206;
  const char* sizeText = nullptr;
  const char* outName = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--numeric") == 0) {
      numeric = true;
    } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
      seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (sizeText == nullptr) {
      sizeText = argv[i];
    } else {
      outName = argv[i];
    }
  }
  uint64_t target = sizeText ? parseSize(sizeText) : 0;
  if (target == 0 || outName == nullptr) {
    std::fprintf(stderr, "usage: %s [--numeric] [--seed N] SIZE[K|M|G] OUTPUT\n", argv[0]);
    return 2;
  }
  FILE* f = std::fopen(outName, "wb");
  if (f == nullptr) {
    std::perror(outName);
    return 1;
  }
  Rng r{seed | 1};
  std::string out;
  out.reserve(1 << 21);
  out += numeric ? "id,delta,amount,rate,volume\n"
                 : "id,qty,price,rate,trade_date,ticker,note,account,flag,code\n";
  uint64_t written = 0;
  for (uint64_t row = 0; written + out.size() < target; ++row) {
    if (numeric) numericRow(out, r, row); else mixedRow(out, r, row);
    if (out.size() >= (1u << 20)) {
      if (std::fwrite(out.data(), 1, out.size(), f) != out.size()) { std::perror(outName); return 1; }
      written += out.size();
      out.clear();
    }
  }
  if (!out.empty() && std::fwrite(out.data(), 1, out.size(), f) != out.size()) {
    std::perror(outName);
    return 1;
  }
  if (std::fclose(f) != 0) { std::perror(outName); return 1; }
  return 0;
}
