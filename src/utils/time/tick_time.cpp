// The interpolated process clock and its tick-rate learning. The hot path
// (a rate is known, the counter readable, the last real reading recent) is a
// counter read, a sequence-checked read of the last real reading, one
// subtraction, one comparison and one multiplication: no system call. Real
// readings are published by one writer at a time (the one that turns the
// sequence count odd); a thread that finds the slot taken still returns its
// own reading, it just does not publish it. Profiling state and the first
// sample are only touched by the writer holding the slot.
#include "utils/time/tick_time.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "utils/base/compiler_hints.hpp"

constinit std::atomic<Clock_GetTime_InterfaceFP> clockRoutine_function{&interpolated_clock_gettime};
constinit std::atomic<uint64_t> maxTolerableTickInterval{300000000u};
constinit std::atomic<double> tickRateReciprocal{0.4};
constinit std::atomic<double> tickRatePerNanosecond{2.5};
constinit std::atomic<uint64_t> maxNanosecondsBetweenSamples{1000000000u};
constinit std::atomic<uint64_t*> external_rdtsc_pointer{nullptr};
constinit std::atomic<ClockProfileState> clockProfileState{CLOCK_NOT_PROFILED};

namespace {

constexpr uint64_t NANOSECONDS_PER_SECOND = 1000000000u;
// The profiling's second sample comes at least this long after the first.
constexpr int64_t MIN_PROFILE_SPAN_NS = 10000000;
// While the rate is the clock's own, readings this long after the first
// sample re-derive it from the longer span (its error shrinks with the span).
constexpr int64_t REFINE_AFTER_NS = 1000000000;

// The last real reading and the ticks read with it. sequence is odd while a
// writer is storing and 0 until the first reading.
struct ClockBase {
  std::atomic<uint32_t> sequence{0};
  std::atomic<uint64_t> ticks{0};
  std::atomic<int64_t> seconds{0};
  std::atomic<uint32_t> nanoseconds{0};
};
constinit ClockBase clockBase;

struct BaseSnapshot {
  uint64_t ticks;
  int64_t seconds;
  uint32_t nanoseconds;
};

// Profiling samples: only the writer holding the sequence slot uses them.
timespec first_sample_time{};
uint64_t first_sample_ticks = 0;
// The rate came from this clock's own samples (not set or estimated), so
// later readings may refine it.
bool rateIsLearnt = false;

constinit std::atomic<const ClockTestSources*> testSources{nullptr};

inline uint64_t readTicks() {
  const ClockTestSources* sources = testSources.load(std::memory_order_relaxed);
  if (ZUR_UNLIKELY(sources != nullptr && sources->ticks != nullptr)) return sources->ticks();
  return get_CPU_ticks();
}

int readRealTime(timespec* result) {
  const ClockTestSources* sources = testSources.load(std::memory_order_relaxed);
  if (sources != nullptr && sources->realTime != nullptr) return sources->realTime(result);
  return clock_gettime(CLOCK_REALTIME, result);
}

// A double converted to uint64_t, clamped to [0, UINT64_MAX] (NaN gives 0).
uint64_t clampToUnsigned(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(v);
}

int64_t nanosecondsBetween(const timespec& from, const timespec& to) {
  return (static_cast<int64_t>(to.tv_sec) - static_cast<int64_t>(from.tv_sec)) *
             static_cast<int64_t>(NANOSECONDS_PER_SECOND) +
         (static_cast<int64_t>(to.tv_nsec) - static_cast<int64_t>(from.tv_nsec));
}

// Ticks per nanosecond over a span, or 0 when the span gives no valid rate.
double rateOver(uint64_t ticksFrom, uint64_t ticksTo, int64_t spanNs) {
  if (spanNs <= 0 || ticksTo <= ticksFrom) return 0.0;
  const double rate = static_cast<double>(ticksTo - ticksFrom) / static_cast<double>(spanNs);
  return std::isfinite(rate) && rate > 0.0 ? rate : 0.0;
}

// Raises the profile state to at least `state`; it never goes back.
void raiseProfileState(ClockProfileState state) {
  ClockProfileState current = clockProfileState.load(std::memory_order_relaxed);
  // release: the rate stored before is visible to a reader that sees the new
  // state; pairs with the acquire load in interpolated_clock_gettime.
  while (current < state &&
         !clockProfileState.compare_exchange_weak(current, state, std::memory_order_release,
                                                  std::memory_order_relaxed)) {
  }
}

void applyRate(double rate) {
  tickRatePerNanosecond.store(rate, std::memory_order_relaxed);
  tickRateReciprocal.store(1.0 / rate, std::memory_order_relaxed);
  const double interval =
      static_cast<double>(maxNanosecondsBetweenSamples.load(std::memory_order_relaxed)) * rate;
  maxTolerableTickInterval.store(clampToUnsigned(interval), std::memory_order_relaxed);
}

bool readBase(BaseSnapshot* out) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    // acquire: pairs with the release store that ends a write.
    const uint32_t before = clockBase.sequence.load(std::memory_order_acquire);
    if (before == 0) return false;
    if (before & 1u) continue;
    out->ticks = clockBase.ticks.load(std::memory_order_relaxed);
    out->seconds = clockBase.seconds.load(std::memory_order_relaxed);
    out->nanoseconds = clockBase.nanoseconds.load(std::memory_order_relaxed);
    // acquire fence: pairs with the writer's release fence after it turned
    // the count odd, so fields from a newer write imply a changed count.
    std::atomic_thread_fence(std::memory_order_acquire);
    if (clockBase.sequence.load(std::memory_order_relaxed) == before) return true;
  }
  return false;
}

// Takes the writer slot: returns the even count it replaced, or 1 when
// another writer holds it.
uint32_t beginWrite() {
  uint32_t current = clockBase.sequence.load(std::memory_order_relaxed);
  if (current & 1u) return 1;
  // acquire: this writer sees the previous writer's profiling samples.
  if (!clockBase.sequence.compare_exchange_strong(current, current + 1, std::memory_order_acquire,
                                                  std::memory_order_relaxed)) {
    return 1;
  }
  // release fence: the odd count is visible before any field store.
  std::atomic_thread_fence(std::memory_order_release);
  return current;
}

// Ends a write; a writer that stored no reading puts the count back, so a
// clock without a reading stays without one.
void endWrite(uint32_t replaced, bool storedReading) {
  uint32_t next = storedReading ? replaced + 2 : replaced;
  if (storedReading && next == 0) next = 2;  // 0 means "never written"
  // release: publishes the fields; pairs with the acquire load in readBase.
  clockBase.sequence.store(next, std::memory_order_release);
}

void storeBase(uint64_t ticks, const timespec& reading) {
  clockBase.ticks.store(ticks, std::memory_order_relaxed);
  clockBase.seconds.store(static_cast<int64_t>(reading.tv_sec), std::memory_order_relaxed);
  clockBase.nanoseconds.store(static_cast<uint32_t>(reading.tv_nsec), std::memory_order_relaxed);
}

// One step of rate learning for a real reading; called by the slot's writer.
void advanceProfile(uint64_t ticks, const timespec& reading) {
  const ClockProfileState state = clockProfileState.load(std::memory_order_relaxed);
  if (state > CLOCK_SECOND_SAMPLE) {
    if (!rateIsLearnt) return;
    const int64_t span = nanosecondsBetween(first_sample_time, reading);
    if (span < REFINE_AFTER_NS) return;
    const double rate = rateOver(first_sample_ticks, ticks, span);
    if (rate > 0.0) applyRate(rate);
    return;
  }
  if (state == CLOCK_NOT_PROFILED) {
    first_sample_time = reading;
    first_sample_ticks = ticks;
    raiseProfileState(CLOCK_FIRST_SAMPLE);
    return;
  }
  const int64_t span = nanosecondsBetween(first_sample_time, reading);
  if (span >= 0 && span < MIN_PROFILE_SPAN_NS) return;  // too close to measure
  const double rate = rateOver(first_sample_ticks, ticks, span);
  if (rate == 0.0) {
    // The clock or the counter went back, or the counter is not readable:
    // start over from this reading.
    first_sample_time = reading;
    first_sample_ticks = ticks;
    return;
  }
  raiseProfileState(CLOCK_SECOND_SAMPLE);
  applyRate(rate);
  rateIsLearnt = true;
  raiseProfileState(CLOCK_PROFILE_COMPLETE);
}

// A rate set from outside the clock's own samples (set, measured or
// estimated): applied under the writer slot when it can be had, so the
// learning does not refine it away, then the state raised.
void installRate(double rate, ClockProfileState state, uint64_t baseTicks = 0, const timespec* base = nullptr) {
  const uint32_t slot = beginWrite();
  applyRate(rate);
  if (slot != 1) {
    if (base != nullptr) storeBase(baseTicks, *base);
    rateIsLearnt = false;
    endWrite(slot, base != nullptr);
  }
  raiseProfileState(state);
}

}  // namespace

int interpolated_clock_gettime(timespec* result, bool force) {
  // acquire: pairs with raiseProfileState, so the rate is the one it published.
  if (!force && clockProfileState.load(std::memory_order_acquire) >= CLOCK_RATE_ESTIMATED) {
    const uint64_t now = readTicks();
    BaseSnapshot base;
    if (ZUR_LIKELY(now != 0 && readBase(&base))) {
      const uint64_t diff = now - base.ticks;
      if (diff < maxTolerableTickInterval.load(std::memory_order_relaxed)) {
        const uint64_t elapsed =
            clampToUnsigned(static_cast<double>(diff) * tickRateReciprocal.load(std::memory_order_relaxed));
        uint64_t nanoseconds = base.nanoseconds + elapsed;
        int64_t seconds = base.seconds;
        if (nanoseconds >= NANOSECONDS_PER_SECOND) {
          seconds += static_cast<int64_t>(nanoseconds / NANOSECONDS_PER_SECOND);
          nanoseconds %= NANOSECONDS_PER_SECOND;
        }
        result->tv_sec = static_cast<time_t>(seconds);
        result->tv_nsec = static_cast<long>(nanoseconds);
        return static_cast<int>(static_cast<uint32_t>(diff));
      }
    }
  }
  timespec reading;
  readRealTime(&reading);
  const uint64_t ticks = readTicks();
  *result = reading;
  const uint32_t slot = beginWrite();
  if (slot != 1) {
    storeBase(ticks, reading);
    advanceProfile(ticks, reading);
    endWrite(slot, true);
  }
  return 0;
}

int simulated_clock_gettime(timespec* result, bool /*force*/) {
  const uint64_t* counter = external_rdtsc_pointer.load(std::memory_order_acquire);
  uint64_t ns = 0;
  if (counter != nullptr) std::memcpy(&ns, counter, sizeof ns);
  const uint64_t seconds = ns / NANOSECONDS_PER_SECOND;
  result->tv_sec = static_cast<time_t>(seconds);
  result->tv_nsec = static_cast<long>(ns - seconds * NANOSECONDS_PER_SECOND);
  return 2;
}

void set_external_rdtsc_variable(uint64_t* rdtsc_ptr) {
  // release: the counter's value is visible before the routine reads it.
  external_rdtsc_pointer.store(rdtsc_ptr, std::memory_order_release);
  clockRoutine_function.store(&simulated_clock_gettime, std::memory_order_release);
}

Clock_GetTime_InterfaceFP set_clock_function(Clock_GetTime_InterfaceFP func) {
  return clockRoutine_function.exchange(func, std::memory_order_acq_rel);
}

void set_tick_rate(double ticksPerNanosecond) {
  if (!std::isfinite(ticksPerNanosecond) || !(ticksPerNanosecond > 0.0)) return;
  installRate(ticksPerNanosecond, CLOCK_PROFILE_COMPLETE);
}

void set_max_clock_sample_interval(uint64_t nanoseconds) {
  maxNanosecondsBetweenSamples.store(nanoseconds, std::memory_order_relaxed);
  const double interval =
      static_cast<double>(nanoseconds) * tickRatePerNanosecond.load(std::memory_order_relaxed);
  maxTolerableTickInterval.store(clampToUnsigned(interval), std::memory_order_relaxed);
}

uint64_t profile_clock_rate(bool setGlobalRate) {
  timespec start;
  readRealTime(&start);
  const uint64_t startTicks = readTicks();
  for (int i = 0; i < 10000000; ++i) sched_yield();
  timespec end;
  readRealTime(&end);
  const uint64_t endTicks = readTicks();
  const double rate = rateOver(startTicks, endTicks, nanosecondsBetween(start, end));
  if (rate == 0.0) return 0;
  if (setGlobalRate) installRate(rate, CLOCK_PROFILE_COMPLETE, endTicks, &end);
  return clampToUnsigned(rate * 100.0);
}

uint64_t clock_rate_estimate_from_text(const char* text, size_t len, bool setGlobalRate) {
  char bfr[4097];
  if (len > sizeof bfr - 1) len = sizeof bfr - 1;
  if (len > 0) std::memcpy(bfr, text, len);
  bfr[len] = '\0';
  // Lines are tested when their newline is reached.
  char* line = bfr;
  char* found = nullptr;
  for (char* p = bfr; p < bfr + len; ++p) {
    if (*p != '\n') continue;
    if (std::strncmp(line, "cpu MHz", 7) == 0) {
      *p = '\0';
      found = line;
      break;
    }
    line = p + 1;
  }
  if (found == nullptr) {
    std::printf("error: did not see cpu MHz line, bfr=%s\n", bfr);
    return 300;
  }
  const char* lastSpace = std::strrchr(found, ' ');
  const double megahertz = std::strtod(lastSpace != nullptr ? lastSpace + 1 : found, nullptr);
  double rate;
  uint64_t estimate;
  if (!(megahertz >= 1000.0) || !std::isfinite(megahertz)) {
    std::printf("error:  clock rate too slow %f\n", megahertz);
    rate = 1.0;
    estimate = 100;
  } else {
    rate = megahertz / 1000.0;
    estimate = clampToUnsigned(rate * 100.0);
  }
  if (setGlobalRate) installRate(rate, CLOCK_RATE_ESTIMATED);
  return estimate;
}

uint64_t get_clock_rate_estimate(bool setGlobalRate) {
  char bfr[4096];
  size_t len = 0;
  const int fd = ::open("/proc/cpuinfo", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    while (len < sizeof bfr) {
      const ssize_t n = ::read(fd, bfr + len, sizeof bfr - len);
      if (n > 0) {
        len += static_cast<size_t>(n);
      } else if (n == 0 || errno != EINTR) {
        break;
      }
    }
    ::close(fd);
  }
  return clock_rate_estimate_from_text(bfr, len, setGlobalRate);
}

void set_clock_test_sources(const ClockTestSources* sources) {
  testSources.store(sources, std::memory_order_release);
}

void reset_clock_state() {
  clockRoutine_function.store(&interpolated_clock_gettime);
  maxTolerableTickInterval.store(300000000u);
  tickRateReciprocal.store(0.4);
  tickRatePerNanosecond.store(2.5);
  maxNanosecondsBetweenSamples.store(1000000000u);
  external_rdtsc_pointer.store(nullptr);
  clockProfileState.store(CLOCK_NOT_PROFILED);
  clockBase.sequence.store(0);
  storeBase(0, timespec{});
  first_sample_time = timespec{};
  first_sample_ticks = 0;
  rateIsLearnt = false;
}
