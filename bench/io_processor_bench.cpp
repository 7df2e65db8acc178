// Throughput of the I/O processor against plain loops, and the cost of a
// timed lock. Each pipe benchmark runs once: five rounds (IO_BENCH_ROUNDS),
// each moving the same data (1 GiB; IO_BENCH_MIB) twice, through a loop on
// one thread and through the processor with a reader and a processing
// thread; the counters are the medians of the rounds (the machine may be
// shared); IO_BENCH_BLOCKS sets the blocks of the processor's region (32).
// A feeder thread fills the pipe with vmsplice (the pages are lent, not
// copied, up to 1 MiB a call) so it takes little processor time from either
// side.
//   PipeTrivial:  read + write to /dev/null  vs  reader thread + routine writing
//                 to /dev/null. Counter ratio = loop time / processor time
//                 (goal >= 0.9).
//   PipeChecksum: read + checksum  vs  reader thread + checksum routine; the
//                 checksum is calibrated to cost the processor time of one
//                 read of a block (goal ratio >= 1.6).
// Besides the rates, the processor time per block of each thread (feeder,
// loop; reader, processing thread) and the share of the processor run's wall
// time that the processing thread was busy: near 1 the hand-off keeps the
// processing routine fed, and the run is bound by the routine or by the
// cores (the feeder takes a share of them).
//   TimedLockUnlock vs PlainMutexPlusTwoTicks: lock(place) + unlock of a
//                 named TimedMutex against a pthread mutex pair plus two tick
//                 reads (goal: at most 5 ns more).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

// Processor time of the calling thread, in seconds.
double threadSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Processor seconds of the threads of the last run.
struct ThreadTimes {
  std::atomic<double> feeder{0}, loop{0}, reader{0}, processor{0};
} times;

// Fills the pipe with total bytes from one lent 64 KiB buffer, up to 1 MiB
// (the pipe's size) per call, then closes it.
void feed(int fd, size_t total) {
  const double start = threadSeconds();
  static std::vector<unsigned char> source(BLOCK, 0x5a);
  constexpr size_t PIECES = 16;
  iovec pieces[PIECES];
  for (size_t sent = 0; sent < total;) {
    // The bytes are all alike: only the lengths matter.
    size_t count = 0;
    for (size_t at = sent; count < PIECES && at < total; ++count, at += BLOCK) {
      pieces[count] = iovec{source.data(), std::min(BLOCK, total - at)};
    }
    ssize_t n = vmsplice(fd, pieces, count, 0);
    if (n < 0) n = write(fd, pieces[0].iov_base, pieces[0].iov_len);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  close(fd);
  times.feeder = threadSeconds() - start;
}

int timedConsumeLoop(IO_Processor* io) {
  const double start = threadSeconds();
  const int rc = IO_Processor::doConsumeLoop(io);
  times.reader = threadSeconds() - start;
  return rc;
}

int timedProcessLoop(IO_Processor* io) {
  const double start = threadSeconds();
  const int rc = IO_Processor::doProcessLoop(io);
  times.processor = threadSeconds() - start;
  return rc;
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
  const double cpuStart = threadSeconds();
  for (;;) {
    const ssize_t n = read(ends[0], buffer.data(), BLOCK);
    if (n <= 0) break;
    consume(sink, buffer.data(), static_cast<size_t>(n));
  }
  times.loop = threadSeconds() - cpuStart;
  feeder.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(ends[0]);
  return seconds;
}

// Seconds for the processor with a reader and a processing thread.
double runProcessor(Sink* sink, size_t total) {
  int ends[2];
  if (makePipe(ends) != 0) std::abort();
  const char* blocksText = std::getenv("IO_BENCH_BLOCKS");
  const size_t BLOCKS = blocksText != nullptr ? std::max(2ul, std::strtoul(blocksText, nullptr, 10)) : 32;
  std::vector<uint64_t> storage((84 + BLOCKS * (BLOCK + 20)) / 8 + 1);
  CircularBufferManager region(storage.data(), 84 + BLOCKS * (BLOCK + 20), BLOCK, "bench");
  const auto start = std::chrono::steady_clock::now();
  std::thread feeder(feed, ends[1], total);
  {
    IO_Processor io(nullptr, &region, processBlock, ends[0], IO_Processor::BOTH_THREADS, sink,
                    IO_Processor::CONTIGUOUS_FILE_STREAM, IO_Processor::recvConsume, timedConsumeLoop,
                    timedProcessLoop);
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

// Sets checksumQuarters so one checksum of a block costs about the processor
// time of one read of it (medians of five measurements of each; processor
// time of the reading thread, so waits for the feeder do not count).
void calibrateChecksum(int devNull) {
  Sink plain{devNull, false, 0};
  const size_t sample = 64u << 20;
  std::vector<unsigned char> block(BLOCK, 1);
  std::vector<double> readSeconds, quarterSeconds;
  checksumQuarters = 1;
  for (int round = 0; round < 5; ++round) {
    runLoop(&plain, sample);
    readSeconds.push_back(times.loop / static_cast<double>(sample / BLOCK));
    const double start = threadSeconds();
    uint64_t sum = 0;
    for (int i = 0; i < 500; ++i) sum += checksum(block.data(), BLOCK);
    benchmark::DoNotOptimize(sum);
    quarterSeconds.push_back((threadSeconds() - start) / 500);
  }
  checksumQuarters = std::max(1u, static_cast<unsigned>(median(readSeconds) / median(quarterSeconds) + 0.5));
}

// Rounds of loop then processor; medians of the rates and of the ratios.
void runRounds(benchmark::State& state, Sink* sink) {
  const size_t total = totalBytes();
  const double mib = static_cast<double>(total) / (1024.0 * 1024.0);
  const double blocks = static_cast<double>(total / BLOCK);
  std::vector<double> loopRates, processorRates, ratios;
  std::vector<double> feederUs, loopUs, readerUs, processorUs, busy;
  for (unsigned r = 0; r < rounds(); ++r) {
    const double loop = runLoop(sink, total);
    feederUs.push_back(times.feeder * 1e6 / blocks);
    loopUs.push_back(times.loop * 1e6 / blocks);
    const double processor = runProcessor(sink, total);
    readerUs.push_back(times.reader * 1e6 / blocks);
    processorUs.push_back(times.processor * 1e6 / blocks);
    busy.push_back(times.processor / processor);
    loopRates.push_back(mib / loop);
    processorRates.push_back(mib / processor);
    ratios.push_back(loop / processor);
  }
  state.counters["feeder_us"] = median(feederUs);
  state.counters["loop_us"] = median(loopUs);
  state.counters["reader_us"] = median(readerUs);
  state.counters["processor_us"] = median(processorUs);
  state.counters["processor_busy"] = median(busy);
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
