// Shared variables: listing a segment of 10,000 variables (the work of
// narvelix-vars after mapping the file) and incrementing a registered counter.
// Set NARVELIX_BENCH_SMV to a path to also write the 10,000-variable segment
// there, for timing the narvelix-vars program itself.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "utils/shared_vars/segment_listing.hpp"
#include "utils/shared_vars/shared_variable.hpp"

namespace {

constexpr int NODES = 100;
constexpr int PER_NODE = 99;  // 100 nodes + 9,900 numbers = 10,000 variables

struct BigSegment {
  std::vector<uint64_t> words = std::vector<uint64_t>((4u << 20) / 8, 0);
  SharedMemoryVariableManager manager{false};
  std::vector<std::string> names;
  std::vector<std::unique_ptr<SharedMemoryVariableNode>> nodes;
  std::vector<std::unique_ptr<SMV_StandaloneNumeric<unsigned long long>>> counters;

  BigSegment() {
    manager.initializeSegment(words.data(), words.size() * 8, "bench");
    names.reserve(NODES * (PER_NODE + 1));
    for (int n = 0; n < NODES; ++n) {
      names.push_back("stats_" + std::to_string(n));
      nodes.push_back(std::make_unique<SharedMemoryVariableNode>(names.back().c_str(), &manager));
      for (int v = 0; v < PER_NODE; ++v) {
        names.push_back("counter_" + std::to_string(v));
        counters.push_back(std::make_unique<SMV_StandaloneNumeric<unsigned long long>>(
            names.back().c_str(), nodes.back().get(), static_cast<unsigned long long>(n) * 1000 + static_cast<unsigned long long>(v)));
      }
    }
    if (const char* path = std::getenv("NARVELIX_BENCH_SMV")) {
      if (std::FILE* f = std::fopen(path, "wb")) {
        std::fwrite(words.data(), 8, words.size(), f);
        std::fclose(f);
      }
    }
  }
};

BigSegment& bigSegment() {
  static BigSegment segment;
  return segment;
}

void ListTenThousandVariables(benchmark::State& state) {
  BigSegment& seg = bigSegment();
  std::string out, error;
  out.reserve(1 << 20);
  for (auto _ : state) {
    out.clear();
    const bool ok = listSegmentVariables(reinterpret_cast<unsigned char*>(seg.words.data()), seg.words.size() * 8,
                                         out, error);
    benchmark::DoNotOptimize(ok);
  }
  state.SetItemsProcessed(state.iterations() * NODES * (PER_NODE + 1));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out.size()));
}
BENCHMARK(ListTenThousandVariables)->Unit(benchmark::kMillisecond);

void RegisteredCounterIncrement(benchmark::State& state) {
  SMV_StandaloneNumeric<unsigned long long>& counter = *bigSegment().counters[5];
  for (auto _ : state) {
    ++counter;
    benchmark::ClobberMemory();
  }
}
BENCHMARK(RegisteredCounterIncrement);

}  // namespace
