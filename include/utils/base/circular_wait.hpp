// Waiting helpers of the buffer regions: the processor relax hint, the bounded
// spin step (relax every pass, sched_yield every 64 passes) and the per-thread
// lock key. The region lock is a 32-bit word inside a region that several
// threads, and processes that map the same region, take by compare-and-swap;
// the key must be non-zero and unique among all of them while held, so it is
// the kernel thread id, cached per thread (one system call per thread).
#pragma once

#include <sched.h>

#include <cstdint>

// One relax hint: lets a sibling hardware thread run and lowers the power of a
// spin. A plain compiler barrier where the processor has no such instruction.
inline void ZUR_cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || (defined(__arm__) && defined(__ARM_ARCH) && __ARM_ARCH >= 7)
  __asm__ __volatile__("yield" ::: "memory");
#else
  __asm__ __volatile__("" ::: "memory");
#endif
}

// One pass of a spin: the relax hint, and every 64th pass sched_yield(), so a
// holder that lost its processor gets it back.
inline void ZUR_spinPause(uint32_t spins) {
  ZUR_cpuRelax();
  if ((spins & 63u) == 63u) sched_yield();
}

// The calling thread's kernel thread id: non-zero and unique system-wide while
// the thread lives, so it serves as the region lock's key across processes.
uint32_t ZUR_regionLockKey();
