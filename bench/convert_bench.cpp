// Per-row costs of the converter on rows shaped like bench/compare's mixed
// table (unsigned and signed integers, 2- and 6-place decimals, a date, a
// ticker, text with quoted commas, a 12-19 digit number, a mostly empty flag,
// a digit code): the first read's observation of a row (split + classify),
// the second read of the rows (pread + split), and a whole conversion of a
// 2 MB file (both reads plus the encoding) written to /dev/null, and the line
// splitters alone. Rates are bytes of CSV per second; divide by ~100 bytes for
// rows per second.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "utils/apps/narvelix/narvelix.hpp"
#include "utils/apps/narvelix/narvelix_log.hpp"
#include "utils/io/plain_line.hpp"
#include "utils/apps/narvelix/second_read.hpp"

namespace {

constexpr const char* HEADING = "id,qty,price,rate,trade_date,ticker,note,account,flag,code\n";
constexpr int ROWS = 20000;

struct Rng {
  uint64_t s = 0x9E3779B97F4A7C15ULL;
  uint32_t below(uint32_t n) {
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return static_cast<uint32_t>(((s * 2685821657736338717ULL) >> 32) % n);
  }
};

std::string mixedRows(int rows) {
  static const char* const words[] = {"alpha", "late", "print", "odd", "lot", "Smith", "desk"};
  Rng r;
  std::string out;
  char buf[96];
  for (int row = 0; row < rows; ++row) {
    const uint32_t price = r.below(10000000);
    const int64_t rate = static_cast<int64_t>(r.below(2000000000)) - 1000000000;
    const uint64_t rateMagnitude = static_cast<uint64_t>(rate < 0 ? -rate : rate);
    int n = std::snprintf(buf, sizeof buf, "%d,%d,%u.%02u,%s%llu.%06llu,20%02u-%02u-%02u,", row + 1,
                          static_cast<int>(r.below(200001)) - 100000, price / 100, price % 100,
                          rate < 0 ? "-" : "", static_cast<unsigned long long>(rateMagnitude / 1000000),
                          static_cast<unsigned long long>(rateMagnitude % 1000000), 10 + r.below(17),
                          1 + r.below(12), 1 + r.below(28));
    out.append(buf, static_cast<size_t>(n));
    for (uint32_t i = 2 + r.below(4); i > 0; --i) out += static_cast<char>('A' + r.below(26));
    out += ',';
    const bool quoted = r.below(4) == 0;
    if (quoted) out += '"';
    for (uint32_t i = 0, w = 1 + r.below(4); i < w; ++i) {
      if (i != 0) out += (quoted && i == 1) ? ", " : " ";
      out += words[r.below(7)];
    }
    if (quoted) out += '"';
    out += ',';
    out += static_cast<char>('1' + r.below(9));
    for (uint32_t i = 12 + r.below(8); i > 1; --i) out += static_cast<char>('0' + r.below(10));
    out += r.below(20) == 0 ? ",Y," : ",,";
    n = std::snprintf(buf, sizeof buf, "%05u\n", r.below(100000));
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// The table as a file (heading + ROWS rows), written once per process.
const char* benchFile(std::size_t* bytes) {
  static char path[] = "/tmp/narvelix_convert_bench_XXXXXX";
  static std::size_t size = 0;
  if (size == 0) {
    const int fd = ::mkstemp(path);
    const std::string text = std::string(HEADING) + mixedRows(ROWS);
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      std::abort();
    }
    ::close(fd);
    std::atexit([] { ::unlink(path); });
    size = text.size();
    DISABLE_COMPONENT_LOG_LEVEL(app, app_info);
  }
  *bytes = size;
  return path;
}

// First read: the converter's content hook on every row (split, classify,
// widths), as for a regular file that is read twice.
void BM_ObserveRows(benchmark::State& state) {
  std::size_t bytes;
  const char* path = benchFile(&bytes);
  const int fd = ::open(path, O_RDONLY);
  Narvelix converter(fd, "/dev/null", nullptr);
  converter.encodeFromSecondRead();
  const std::string heading = HEADING;
  std::vector<unsigned char> headingCopy(heading.begin(), heading.end());
  converter.processPacket(headingCopy.data(), headingCopy.size());
  const std::string rows = mixedRows(ROWS);
  std::vector<unsigned char> work(rows.size());
  for (auto _ : state) {
    std::memcpy(work.data(), rows.data(), rows.size());
    benchmark::DoNotOptimize(converter.processPacket(work.data(), work.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(rows.size()));
}
BENCHMARK(BM_ObserveRows);

// Second read: every content row read again with pread and split.
void BM_RereadRows(benchmark::State& state) {
  std::size_t bytes;
  const char* path = benchFile(&bytes);
  const int fd = ::open(path, O_RDONLY);
  CSV_File splitter(fd, true, ',');
  const char* text[Narvelix::MAX_COLS];
  uint32_t length[Narvelix::MAX_COLS];
  for (auto _ : state) {
    LineRereader rereader(splitter, fd);
    int rows = 0;
    while (rereader.next(text, length, Narvelix::MAX_COLS) >= 0) ++rows;
    benchmark::DoNotOptimize(rows);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_RereadRows);

// The rows of mixedRows as (offset, length) lines, without their LF.
struct Lines {
  std::string text;
  std::vector<std::pair<std::size_t, std::size_t>> spans;
  Lines() : text(mixedRows(ROWS)) {
    std::size_t start = 0;
    for (std::size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', start)) {
      spans.emplace_back(start, lf - start);
      start = lf + 1;
    }
  }
};

// The line splitters alone, per line of the mixed rows: the reader's general
// splitter (in place, on a fresh copy of the rows), the whole-line splitter
// (lines with quotes are counted, not split) and the whole-line classing pass.
void BM_GeneralSplitLines(benchmark::State& state) {
  const Lines lines;
  CSV_File splitter(-1, true, ',');
  std::vector<unsigned char> work(lines.text.size() + 1);
  char* fields[CSV_File::MAX_FIELDS];
  for (auto _ : state) {
    std::memcpy(work.data(), lines.text.data(), lines.text.size());
    int total = 0;
    for (const auto& [offset, length] : lines.spans) {
      total += splitter.parseIntoFields(CSV_File::MAX_FIELDS, fields, work.data() + offset, length);
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(lines.text.size()));
}
BENCHMARK(BM_GeneralSplitLines);

void BM_PlainSplitLines(benchmark::State& state) {
  const Lines lines;
  const auto* base = reinterpret_cast<const unsigned char*>(lines.text.data());
  std::size_t lengths[Narvelix::MAX_COLS];
  for (auto _ : state) {
    int total = 0;
    for (const auto& [offset, length] : lines.spans) {
      total += plain_line::splitPlainLine(base + offset, length, lines.text.size() - offset, ',', '"',
                                          Narvelix::MAX_COLS,
                                          [&lengths](uint32_t i, std::size_t, std::size_t n) {
                                            lengths[i] = n;
                                          });
    }
    benchmark::DoNotOptimize(total);
    benchmark::DoNotOptimize(lengths);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(lines.text.size()));
}
BENCHMARK(BM_PlainSplitLines);

void BM_PlainClassifyLines(benchmark::State& state) {
  const Lines lines;
  const auto* base = reinterpret_cast<const unsigned char*>(lines.text.data());
  uint32_t classes[Narvelix::MAX_COLS] = {};
  for (auto _ : state) {
    int total = 0;
    for (const auto& [offset, length] : lines.spans) {
      total += plain_line::classifyPlainLine(base + offset, length, lines.text.size() - offset, ',',
                                             '"', Narvelix::MAX_COLS,
                                             [&classes](uint32_t i, std::size_t, uint32_t c) {
                                               classes[i] |= c;
                                             });
    }
    benchmark::DoNotOptimize(total);
    benchmark::DoNotOptimize(classes);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(lines.text.size()));
}
BENCHMARK(BM_PlainClassifyLines);

// A whole conversion: both reads, layout and encoding of every record.
void BM_ConvertFile(benchmark::State& state) {
  std::size_t bytes;
  const char* path = benchFile(&bytes);
  for (auto _ : state) benchmark::DoNotOptimize(convertFile(path, "/dev/null", nullptr));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_ConvertFile);

}  // namespace
