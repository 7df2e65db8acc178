// Throughput of the I/O processor against plain loops, and the cost of a
// timed lock. Each pipe benchmark runs once: five rounds (IO_BENCH_ROUNDS),
// each moving the same data (1 GiB; IO_BENCH_MIB) twice, through a loop on
// one thread and through the processor with a reader and a processing
// thread; the counters are the medians of the rounds (the machine may be
// shared). A feeder thread fills the pipe with vmsplice (the pages are lent,
// not copied) so it takes little processor time from either side.
//   PipeTrivial:  read + write to /dev/null  vs  reader thread + routine writing
//                 to /dev/null. Counter ratio = loop time / processor time
//                 (goal >= 0.9).
//   PipeChecksum: read + checksum  vs  reader thread + checksum routine; the
//                 checksum is calibrated to cost about one read of a block
//                 (goal ratio >= 1.6, which needs two idle cores).
//   TimedLockUnlock vs PlainMutexPlusTwoTicks: lock(place) + unlock of a
//                 named TimedMutex against a pthread mutex pair plus two tick
//                 reads (goal: at most 5 ns more).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "utils/base/timed_mutex.hpp"
#include "utils/io/io_processor.hpp"

namespace {

constexpr size_t BLOCK = 64 * 1024;

unsigned rounds() {
  const char* text = std::getenv("IO_BENCH_ROUNDS");
  const unsigned long n = text != nullptr ? std::strtoul(text, nullptr, 10) : 5;
  return n == 0 ? 1u : static_cast<unsigned>(n);
}

size_t totalBytes() {
  const char* mib = std::getenv("IO_BENCH_MIB");
  const size_t n = mib != nullptr ? std::strtoul(mib, nullptr, 10) : 1024;
  return (n == 0 ? 1 : n) * 1024 * 1024;
}

// Fills the pipe with total bytes from one lent 64 KiB buffer, then closes it.
void feed(int fd, size_t total) {
  static std::vector<unsigned char> source(BLOCK, 0x5a);
  for (size_t sent = 0; sent < total;) {
    iovec piece{source.data(), std::min(BLOCK, total - sent)};
    ssize_t n = vmsplice(fd, &piece, 1, 0);
    if (n < 0) n = write(fd, piece.iov_base, piece.iov_len);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  close(fd);
}

// Work of the checksum routine in quarter passes over the block, so its cost
// can be set close to that of one read.
unsigned checksumQuarters = 4;

uint64_t checksum(const unsigned char* p, size_t n) {
  uint64_t h = 1469598103934665603ull;
  const size_t quarter = n / 32 * 8;  // bytes, a multiple of 8
  for (unsigned q = 0; q < checksumQuarters; ++q) {
    const unsigned char* part = p + (q & 3u) * quarter;
    for (size_t i = 0; i < quarter; i += 8) {
      uint64_t w;
      std::memcpy(&w, part + i, 8);
      h = (h ^ w) * 1099511628211ull;
    }
  }
  return h;
}

struct Sink {
  int devNull;
  bool withChecksum;
  uint64_t sum;
};

void consume(Sink* sink, const unsigned char* data, size_t len) {
  if (sink->withChecksum) {
    sink->sum += checksum(data, len);
  } else if (write(sink->devNull, data, len) < 0) {
    std::abort();
  }
}

int processBlock(SharedBufferAllocRecord* rec, IO_Processor* io) {
  size_t room;
  consume(static_cast<Sink*>(io->getExtraData()), io->bufferAddress(rec, &room), getUsedLength(rec));
  return 0;
}

int makePipe(int ends[2]) {
  if (pipe(ends) != 0) return -1;
  fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
  return 0;
}

// Seconds for the plain loop on this thread.
double runLoop(Sink* sink, size_t total) {
  int ends[2];
  if (makePipe(ends) != 0) std::abort();
  std::vector<unsigned char> buffer(BLOCK);
  const auto start = std::chrono::steady_clock::now();
  std::thread feeder(feed, ends[1], total);
  for (;;) {
    const ssize_t n = read(ends[0], buffer.data(), BLOCK);
    if (n <= 0) break;
    consume(sink, buffer.data(), static_cast<size_t>(n));
  }
  feeder.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(ends[0]);
  return seconds;
}

// Seconds for the processor with a reader and a processing thread.
double runProcessor(Sink* sink, size_t total) {
  int ends[2];
  if (makePipe(ends) != 0) std::abort();
  constexpr size_t BLOCKS = 32;
  std::vector<uint64_t> storage((84 + BLOCKS * (BLOCK + 20)) / 8 + 1);
  CircularBufferManager region(storage.data(), 84 + BLOCKS * (BLOCK + 20), BLOCK, "bench");
  const auto start = std::chrono::steady_clock::now();
  std::thread feeder(feed, ends[1], total);
  {
    IO_Processor io(nullptr, &region, processBlock, ends[0], IO_Processor::BOTH_THREADS, sink,
                    IO_Processor::CONTIGUOUS_FILE_STREAM);
    io.waitForThreadExit(IO_Processor::BOTH_THREADS);
  }
  feeder.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(ends[0]);
  return seconds;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Sets checksumQuarters so one checksum of a block costs about one read of
// it (medians of five measurements of each).
void calibrateChecksum(int devNull) {
  Sink plain{devNull, false, 0};
  const size_t sample = 64u << 20;
  std::vector<unsigned char> block(BLOCK, 1);
  std::vector<double> readSeconds, quarterSeconds;
  checksumQuarters = 1;
  for (int round = 0; round < 5; ++round) {
    readSeconds.push_back(runLoop(&plain, sample) / static_cast<double>(sample / BLOCK));
    const auto start = std::chrono::steady_clock::now();
    uint64_t sum = 0;
    for (int i = 0; i < 500; ++i) sum += checksum(block.data(), BLOCK);
    benchmark::DoNotOptimize(sum);
    quarterSeconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / 500);
  }
  checksumQuarters = std::max(1u, static_cast<unsigned>(median(readSeconds) / median(quarterSeconds) + 0.5));
}

// Rounds of loop then processor; medians of the rates and of the ratios.
void runRounds(benchmark::State& state, Sink* sink) {
  const size_t total = totalBytes();
  const double mib = static_cast<double>(total) / (1024.0 * 1024.0);
  std::vector<double> loopRates, processorRates, ratios;
  for (unsigned r = 0; r < rounds(); ++r) {
    const double loop = runLoop(sink, total);
    const double processor = runProcessor(sink, total);
    loopRates.push_back(mib / loop);
    processorRates.push_back(mib / processor);
    ratios.push_back(loop / processor);
  }
  state.counters["loop_MiBps"] = median(loopRates);
  state.counters["processor_MiBps"] = median(processorRates);
  state.counters["ratio"] = median(ratios);
  state.SetBytesProcessed(static_cast<int64_t>(2 * total * rounds()));
}

void PipeTrivial(benchmark::State& state) {
  Sink sink{open("/dev/null", O_WRONLY), false, 0};
  for (auto _ : state) runRounds(state, &sink);
  close(sink.devNull);
}
BENCHMARK(PipeTrivial)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void PipeChecksum(benchmark::State& state) {
  Sink sink{open("/dev/null", O_WRONLY), true, 0};
  calibrateChecksum(sink.devNull);
  state.counters["checksum_quarters"] = checksumQuarters;
  for (auto _ : state) runRounds(state, &sink);
  benchmark::DoNotOptimize(sink.sum);
  close(sink.devNull);
}
BENCHMARK(PipeChecksum)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

SharedMemoryVariableNode benchNode("ioBench", static_cast<SharedMemoryVariableNode*>(nullptr));

void TimedLockUnlock(benchmark::State& state) {
  TimedMutex m("benchLock", &benchNode);
  for (auto _ : state) {
    m.LOCK_HERE();
    m.unlock();
  }
}
BENCHMARK(TimedLockUnlock);

void PlainMutexPlusTwoTicks(benchmark::State& state) {
  pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
  for (auto _ : state) {
    uint64_t t0 = get_CPU_ticks();
    benchmark::DoNotOptimize(t0);
    pthread_mutex_lock(&m);
    uint64_t t1 = get_CPU_ticks();
    benchmark::DoNotOptimize(t1);
    pthread_mutex_unlock(&m);
  }
}
BENCHMARK(PlainMutexPlusTwoTicks);

}  // namespace
