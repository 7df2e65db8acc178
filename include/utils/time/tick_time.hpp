// The process clock: a cheap processor tick counter and wall-clock time
// interpolated from the last real clock reading. A real reading
// (clock_gettime(CLOCK_REALTIME)) is taken when the caller forces one, when
// the tick rate is not yet known, when the counter reads 0 (not readable in
// user mode), and when more than maxNanosecondsBetweenSamples' worth of ticks
// have passed since the last one. The first two real readings of a process at
// least 10 ms apart learn the tick rate; it can also be set, estimated from
// /proc/cpuinfo or measured by a busy loop. Every clock global is an atomic:
// any thread may read or set the clock. The last real reading and its tick
// count are published together under a sequence count, so a reader never
// interpolates from half of one reading and half of another.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>

// A clock routine: fills *result with the current real time; force = true
// demands a real reading. The result's meaning is the routine's own.
using Clock_GetTime_InterfaceFP = int (*)(timespec* result, bool force);

// How far the tick rate has been learnt. Interpolation is used from
// CLOCK_RATE_ESTIMATED on; the state never goes back.
enum ClockProfileState : int {
  CLOCK_NOT_PROFILED = 0,
  CLOCK_FIRST_SAMPLE = 1,
  CLOCK_SECOND_SAMPLE = 2,
  CLOCK_RATE_ESTIMATED = 3,
  CLOCK_PROFILE_COMPLETE = 4,
};

// ---- the clock's globals (one set per process) ----
// The routine every time read goes through (initially interpolated_clock_gettime).
extern std::atomic<Clock_GetTime_InterfaceFP> clockRoutine_function;
// Ticks since the last real reading beyond which interpolation is not trusted
// (initially 300000000).
extern std::atomic<uint64_t> maxTolerableTickInterval;
// Nanoseconds per tick (initially 0.4) and ticks per nanosecond (2.5).
extern std::atomic<double> tickRateReciprocal;
extern std::atomic<double> tickRatePerNanosecond;
// Longest time in nanoseconds interpolated from one real reading (1 s).
extern std::atomic<uint64_t> maxNanosecondsBetweenSamples;
// The nanosecond counter read by simulated_clock_gettime (null until set).
extern std::atomic<uint64_t*> external_rdtsc_pointer;
extern std::atomic<ClockProfileState> clockProfileState;

// The 32-bit ARM cycle counter: PMCCNTR x 64 when user mode may read the
// performance monitors (PMUSERENR bit 0) and the cycle counter is enabled
// (PMCNTENSET bit 31); 0 otherwise and on every other processor.
inline uint64_t readARMperfCounter() {
#if defined(__arm__) && defined(__ARM_ARCH) && __ARM_ARCH >= 7
  uint32_t userEnable;
  asm volatile("mrc p15, 0, %0, c9, c14, 0" : "=r"(userEnable));
  if ((userEnable & 1u) == 0) return 0;
  uint32_t counterEnable;
  asm volatile("mrc p15, 0, %0, c9, c12, 1" : "=r"(counterEnable));
  if ((counterEnable & 0x80000000u) == 0) return 0;
  uint32_t cycles;
  asm volatile("mrc p15, 0, %0, c9, c13, 0" : "=r"(cycles));
  return static_cast<uint64_t>(cycles) * 64u;
#else
  return 0;
#endif
}

// The processor's tick counter: the time-stamp counter on x86, the cycle
// counter (above) on 32-bit ARM, the virtual counter on 64-bit ARM, 0 where
// none is readable. Only as monotonic as that counter is.
inline uint64_t get_CPU_ticks() {
#if defined(__x86_64__) || defined(__i386__)
  return __builtin_ia32_rdtsc();
#elif defined(__aarch64__)
  uint64_t ticks;
  asm volatile("mrs %0, cntvct_el0" : "=r"(ticks));
  return ticks;
#else
  return readARMperfCounter();
#endif
}

// The default clock routine. Interpolates (returning the low 32 bits of the
// tick distance) when the rate is known, force is false, the counter is
// readable, a consistent last reading is had within two tries and fewer than
// maxTolerableTickInterval ticks have passed since it; otherwise reads the
// real clock, publishes the reading and advances the rate learning (returns 0).
int interpolated_clock_gettime(timespec* result, bool force);

// Time from the counter at external_rdtsc_pointer, read as nanoseconds since
// the POSIX epoch (0 while no counter is set). force is ignored. Returns 2.
int simulated_clock_gettime(timespec* result, bool force);

// Stores the counter's address and makes simulated_clock_gettime the clock
// routine. The counter's owner may update it from one thread; on 32-bit
// processors a reader on another thread may then see half an update.
void set_external_rdtsc_variable(uint64_t* rdtsc_ptr);

// Installs func as the clock routine; returns the previous one.
Clock_GetTime_InterfaceFP set_clock_function(Clock_GetTime_InterfaceFP func);

// Sets the tick rate (ticks per nanosecond) and its reciprocal, scales
// maxTolerableTickInterval to it and marks the profile complete. A rate that
// is not finite and positive is ignored.
void set_tick_rate(double ticksPerNanosecond);

// Sets the longest interpolation from one real reading, in nanoseconds, and
// scales maxTolerableTickInterval to the current rate. The state is unchanged.
void set_max_clock_sample_interval(uint64_t nanoseconds);

// Measures the rate over 10000000 sched_yield calls (seconds of busy time: for
// benchmarks and tools, not for start-up). Returns ticks per nanosecond x 100,
// 0 when no valid rate was seen; with setGlobalRate a valid rate is applied
// as set_tick_rate does.
uint64_t profile_clock_rate(bool setGlobalRate);

// Estimates the rate from the "cpu MHz" line of /proc/cpuinfo (first 4096
// bytes). Returns ticks per nanosecond x 100; 300 (nothing set) with
// "error: did not see cpu MHz line, bfr=..." on standard output when there is
// no such line; 100 (rate 1.0) with "error:  clock rate too slow ..." for a
// value under 1000 MHz. With setGlobalRate the rate is applied and the state
// raised to CLOCK_RATE_ESTIMATED. Writes to standard output: not for tools
// whose data goes there.
uint64_t get_clock_rate_estimate(bool setGlobalRate);

// get_clock_rate_estimate's work on an already read text of len bytes.
uint64_t clock_rate_estimate_from_text(const char* text, size_t len, bool setGlobalRate);

// ---- test support ----
// Replacements for the tick counter and the real clock read by
// interpolated_clock_gettime and profile_clock_rate; a null member keeps the
// real one. The object must outlive its installation.
struct ClockTestSources {
  uint64_t (*ticks)();
  int (*realTime)(timespec* result);
};
// Installs the replacements (null: the real sources).
void set_clock_test_sources(const ClockTestSources* sources);
// Puts every clock global back to its start-up value and forgets the last
// real reading, so a test starts unprofiled. Not for concurrent use.
void reset_clock_state();
