// Creating a 256 MiB zero-filled mapped file (createMappedFile with
// MAP_FILE_INIT: 4096-byte zero writes, then mmap) against
// "dd if=/dev/zero bs=4k" writing the same size, in the same run and folder
// (BENCH_DIR, default /tmp).
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "utils/io/mapped_file.hpp"

namespace {

constexpr size_t SEGMENT_BYTES = 256u << 20;

std::string benchFile(const char* name) {
  const char* dir = std::getenv("BENCH_DIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/" + name + "." + std::to_string(getpid());
}

void BM_CreateMappedFile256MiB(benchmark::State& state) {
  const std::string name = benchFile("mapped_file_bench");
  for (auto _ : state) {
    size_t len = SEGMENT_BYTES;
    void* segment = nullptr;
    const int fd = createMappedFile(&segment, name.c_str(), &len, MAP_FILE_INIT);
    if (fd < 0) {
      state.SkipWithError("createMappedFile failed");
      break;
    }
    benchmark::DoNotOptimize(segment);
    ::munmap(segment, len);
    ::close(fd);
    state.PauseTiming();
    ::unlink(name.c_str());
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(SEGMENT_BYTES));
}
BENCHMARK(BM_CreateMappedFile256MiB)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void BM_DdZero256MiB(benchmark::State& state) {
  const std::string name = benchFile("dd_bench");
  const std::string command =
      "dd if=/dev/zero of='" + name + "' bs=4k count=" + std::to_string(SEGMENT_BYTES / 4096) + " 2>/dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("dd failed");
      break;
    }
    state.PauseTiming();
    ::unlink(name.c_str());
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(SEGMENT_BYTES));
}
BENCHMARK(BM_DdZero256MiB)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace
