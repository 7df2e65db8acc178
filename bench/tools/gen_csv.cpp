// Generates deterministic CSV tables for the comparison benchmarks.
//
//   gen_csv [--kind KIND | --numeric] [--seed N] SIZE OUTPUT
//
// SIZE is a byte count with an optional K, M or G suffix (powers of 1000); rows
// are written until the file reaches at least SIZE bytes. Kinds:
//   mixed    ten columns: unsigned and signed integers, 2- and 6-place
//            decimals, dates, short tickers, free text with quoted commas,
//            12-19 digit numbers, a mostly empty flag and digit codes
//   numeric  five columns of integers and decimals (also --numeric)
//   hard     decimals of mixed precision (0 to 6 places, signed), free text
//            with spaces and quoted commas, 12-19 digit integers, codes with
//            leading zeros, a column empty in 49 rows of 50
//   wide     120 columns of integers, decimals, short words and codes
//   longtext text fields of 200 to 400 bytes (a quarter quoted with commas)
//            beside an id, a decimal and a short tag
// The same kind, seed and size always give the same bytes.
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

// A decimal of 0 to 6 places (no point for 0), sometimes negative.
void putMixedDecimal(std::string& out, Rng& r) {
  const int places = static_cast<int>(r.below(7));
  int64_t scaled = static_cast<int64_t>(r.below(1000000000)) >> r.below(20);
  if (r.below(3) == 0) scaled = -scaled;
  if (places == 0) {
    out += std::to_string(scaled);
  } else {
    putDecimal(out, scaled, places);
  }
}

// count words separated by spaces; quoted (with a comma after the first
// word) one time in `quoteOdds`.
void putText(std::string& out, Rng& r, uint32_t count, uint32_t quoteOdds) {
  const bool quoted = r.below(quoteOdds) == 0;
  if (quoted) out += '"';
  for (uint32_t i = 0; i < count; ++i) {
    if (i) out += (quoted && i == 1) ? ", " : " ";
    out += WORDS[r.below(WORD_COUNT)];
  }
  if (quoted) out += '"';
}

void putLongDigits(std::string& out, Rng& r) {
  const uint32_t digits = 12 + r.below(8);
  out += static_cast<char>('1' + r.below(9));
  for (uint32_t i = 1; i < digits; ++i) out += static_cast<char>('0' + r.below(10));
}

void hardRow(std::string& out, Rng& r, uint64_t row) {
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%llu,", static_cast<unsigned long long>(row + 1));
  out.append(buf, static_cast<size_t>(n));
  putMixedDecimal(out, r);
  out += ',';
  putMixedDecimal(out, r);
  out += ',';
  putText(out, r, 2 + r.below(6), 3);
  out += ',';
  putLongDigits(out, r);
  out += ',';
  n = std::snprintf(buf, sizeof buf, "%0*u,", static_cast<int>(4 + r.below(5)), r.below(1000));
  out.append(buf, static_cast<size_t>(n));
  if (r.below(50) == 0) out += WORDS[r.below(WORD_COUNT)];
  out += ',';
  n = std::snprintf(buf, sizeof buf, "%d\n", static_cast<int>(r.below(2000001)) - 1000000);
  out.append(buf, static_cast<size_t>(n));
}

constexpr uint32_t WIDE_COLUMNS = 120;

void wideRow(std::string& out, Rng& r, uint64_t row) {
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(row + 1));
  out.append(buf, static_cast<size_t>(n));
  for (uint32_t c = 1; c < WIDE_COLUMNS; ++c) {
    out += ',';
    switch (c % 4) {
      case 0:
        n = std::snprintf(buf, sizeof buf, "%d", static_cast<int>(r.below(20001)) - 10000);
        out.append(buf, static_cast<size_t>(n));
        break;
      case 1:
        putDecimal(out, static_cast<int64_t>(r.below(10000000)), 2);
        break;
      case 2:
        out += WORDS[r.below(WORD_COUNT)];
        break;
      default:
        n = std::snprintf(buf, sizeof buf, "%05u", r.below(100000));
        out.append(buf, static_cast<size_t>(n));
        break;
    }
  }
  out += '\n';
}

void longTextRow(std::string& out, Rng& r, uint64_t row) {
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%llu,", static_cast<unsigned long long>(row + 1));
  out.append(buf, static_cast<size_t>(n));
  // Words up to 200 to 400 bytes; a quarter quoted with a comma after the
  // first word.
  const bool quoted = r.below(4) == 0;
  const std::size_t length = 200 + r.below(200);
  const std::size_t start = out.size();
  if (quoted) out += '"';
  for (uint32_t i = 0; out.size() - start < length; ++i) {
    if (i) out += (quoted && i == 1) ? ", " : " ";
    out += WORDS[r.below(WORD_COUNT)];
  }
  if (quoted) out += '"';
  out += ',';
  putDecimal(out, static_cast<int64_t>(r.below(100000000)), 2);
  out += ',';
  out += WORDS[r.below(WORD_COUNT)];
  out += '\n';
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
  std::string kind = "mixed";
  uint64_t seed = 20261206;
  const char* sizeText = nullptr;
  const char* outName = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--numeric") == 0) {
      kind = "numeric";
    } else if (std::strcmp(argv[i], "--kind") == 0 && i + 1 < argc) {
      kind = argv[++i];
    } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
      seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (sizeText == nullptr) {
      sizeText = argv[i];
    } else {
      outName = argv[i];
    }
  }
  uint64_t target = sizeText ? parseSize(sizeText) : 0;
  void (*rowOf)(std::string&, Rng&, uint64_t) = nullptr;
  std::string heading;
  if (kind == "mixed") {
    rowOf = mixedRow;
    heading = "id,qty,price,rate,trade_date,ticker,note,account,flag,code\n";
  } else if (kind == "numeric") {
    rowOf = numericRow;
    heading = "id,delta,amount,rate,volume\n";
  } else if (kind == "hard") {
    rowOf = hardRow;
    heading = "id,price,change,note,account,code,remark,qty\n";
  } else if (kind == "wide") {
    rowOf = wideRow;
    heading = "c0";
    for (uint32_t c = 1; c < WIDE_COLUMNS; ++c) heading += ",c" + std::to_string(c);
    heading += "\n";
  } else if (kind == "longtext") {
    rowOf = longTextRow;
    heading = "id,body,amount,tag\n";
  }
  if (target == 0 || outName == nullptr || rowOf == nullptr) {
    std::fprintf(stderr,
                 "usage: %s [--kind mixed|numeric|hard|wide|longtext] [--seed N] SIZE[K|M|G] OUTPUT\n",
                 argv[0]);
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
  out += heading;
  uint64_t written = 0;
  for (uint64_t row = 0; written + out.size() < target; ++row) {
    rowOf(out, r, row);
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
