// Throughput of the CSV read path: the text-line loop alone, the loop plus
// parseIntoFields on every line (what the converter does per row), and the
// splitter alone on typical and quoted lines. The file benchmarks generate a
// ~100 MB mixed CSV once into /tmp (kept between runs, rebuilt when its size
// is off) and read it from the page cache; compare with `wc -l` on the same
// file (its path is printed on the first run).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include <benchmark/benchmark.h>

#include "utils/io/read_file.hpp"

namespace {

const char* const BENCH_CSV = "/tmp/read_file_bench_100mb.csv";
constexpr size_t TARGET_BYTES = 100u * 1000u * 1000u;

// Rows of 12 columns: integers, signed decimals, a timestamp, short and long
// text, an empty column, and every 8th row a quoted field holding a separator
// and an escaped quote. One row in 5 ends with CR LF.
std::string makeRow(std::mt19937& rng, uint32_t row) {
  char text[512];
  const char* words[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"};
  auto pick = [&rng](unsigned limit) { return static_cast<unsigned>(rng() % limit); };
  const int n = std::snprintf(
      text, sizeof text, "%u,%d,%u.%02u,-%u.%03u,2026-12-06T04:%02u:%02u.%06u,%s,%s %s %s,,%u,%s,%u,%s%s",
      row, static_cast<int>(pick(2000001)) - 1000000, pick(100000), pick(100), pick(1000), pick(1000),
      pick(60), pick(60), pick(1000000), words[pick(8)], words[pick(8)], words[pick(8)], words[pick(8)],
      pick(10), (row % 8 == 0) ? "\"x, \\\"quoted\\\" y\"" : "plain",
      static_cast<unsigned>(rng()), words[row % 8], (row % 5 == 0) ? "\r\n" : "\n");
  return std::string(text, static_cast<size_t>(n));
}

size_t ensureBenchFile() {
  struct stat st;
  if (::stat(BENCH_CSV, &st) == 0 && static_cast<size_t>(st.st_size) >= TARGET_BYTES &&
      static_cast<size_t>(st.st_size) < TARGET_BYTES + 4096) {
    return static_cast<size_t>(st.st_size);
  }
  FILE* f = std::fopen(BENCH_CSV, "wb");
  if (f == nullptr) return 0;
  std::mt19937 rng(2026);
  size_t written = 0;
  const std::string heading = "id,delta,price,change,time,word,phrase,empty,digit,note,hash,tag\n";
  std::fwrite(heading.data(), 1, heading.size(), f);
  written += heading.size();
  for (uint32_t row = 0; written < TARGET_BYTES; ++row) {
    const std::string line = makeRow(rng, row);
    std::fwrite(line.data(), 1, line.size(), f);
    written += line.size();
  }
  std::fclose(f);
  std::fprintf(stderr, "generated %s (%zu bytes)\n", BENCH_CSV, written);
  return written;
}

// Counts lines only: the loop and its hooks without splitting.
class LineCounter : public CSV_File {
 public:
  explicit LineCounter(int fd) : CSV_File(fd, true, ',') {}
  int processLine(const unsigned char* line, size_t length) override {
    bytes += length;
    benchmark::DoNotOptimize(line);
    return 0;
  }
  size_t bytes = 0;
};

// Splits every content line, as the converter does.
class LineSplitter : public CSV_File {
 public:
  explicit LineSplitter(int fd) : CSV_File(fd, true, ',') {}
  int processLine(const unsigned char* line, size_t length) override {
    fieldCount += static_cast<size_t>(
        parseIntoFields(MAX_FIELDS, cells, const_cast<unsigned char*>(line), length));
    benchmark::DoNotOptimize(cells[0]);
    return 0;
  }
  char* cells[MAX_FIELDS];
  size_t fieldCount = 0;
};

// The same split with seven bytes that matter (five separators, two quotes),
// too many for the compare path: this measures the class-table block path
// that processors without SSE2 (the ARM target) run.
class TableLineSplitter : public CSV_File {
 public:
  explicit TableLineSplitter(int fd) : CSV_File(fd, ",;|\t", "\"'", true) {}
  int processLine(const unsigned char* line, size_t length) override {
    fieldCount += static_cast<size_t>(
        parseIntoFields(MAX_FIELDS, cells, const_cast<unsigned char*>(line), length));
    benchmark::DoNotOptimize(cells[0]);
    return 0;
  }
  char* cells[MAX_FIELDS];
  size_t fieldCount = 0;
};

template <typename Reader>
void runFile(benchmark::State& state) {
  const size_t fileBytes = ensureBenchFile();
  if (fileBytes == 0) {
    state.SkipWithError("cannot write the benchmark CSV");
    return;
  }
  int lines = 0;
  for (auto _ : state) {
    Reader reader(Read_And_Process_File::openFile(BENCH_CSV, Read_And_Process_File::READ_NORMAL));
    lines = reader.readAndProcessCSV_File();
    benchmark::DoNotOptimize(lines);
  }
  state.counters["lines"] = lines;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(fileBytes));
}

void BM_TextLinesOnly(benchmark::State& state) { runFile<LineCounter>(state); }
void BM_TextLinesAndParseIntoFields(benchmark::State& state) { runFile<LineSplitter>(state); }
void BM_TextLinesAndParseIntoFieldsTablePath(benchmark::State& state) {
  runFile<TableLineSplitter>(state);
}
BENCHMARK(BM_TextLinesOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TextLinesAndParseIntoFields)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TextLinesAndParseIntoFieldsTablePath)->Unit(benchmark::kMillisecond);

void splitOne(benchmark::State& state, const std::string& line) {
  CSV_File csv(-1, false, ',');
  std::string work = line + "\n";
  char* cells[CSV_File::MAX_FIELDS];
  for (auto _ : state) {
    std::memcpy(work.data(), line.data(), line.size());  // the split rewrites quoted lines
    const int n = csv.parseIntoFields(CSV_File::MAX_FIELDS, cells,
                                      reinterpret_cast<unsigned char*>(work.data()), line.size());
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(cells[0]);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(line.size()));
}

void BM_SplitTypicalLine(benchmark::State& state) {
  splitOne(state, "12345,-678,90.12,-3.456,2026-12-06T04:05:06.123456,alpha,beta gamma delta,,7,plain,"
                  "3141592653,zeta");
}
void BM_SplitQuotedLine(benchmark::State& state) {
  splitOne(state, "\"12345\",\"-678\",\"x, \\\"quoted\\\" y\",\"a\"\"b\",\"alpha, beta\",\"\",tail\"end\"");
}
BENCHMARK(BM_SplitTypicalLine);
BENCHMARK(BM_SplitQuotedLine);

}  // namespace
