// Compile-time helpers shared by every module of the library: branch hints,
// inlining control, cold paths, and the thread primitive types the library
// builds on. Every macro here is a pure compile-time device; none changes what
// the code computes, only how the compiler lays it out.
#pragma once

#include <pthread.h>

#if defined(__GNUC__) || defined(__clang__)
#define ZUR_EXPECT(expr, value) __builtin_expect((expr), (value))
#define ZUR_LIKELY(expr) __builtin_expect(!!(expr), 1)
#define ZUR_UNLIKELY(expr) __builtin_expect(!!(expr), 0)
#define ZUR_ALWAYS_INLINE inline __attribute__((always_inline))
// For a lambda, after its parameter list: [](int x) ZUR_INLINE_LAMBDA { ... }
#define ZUR_INLINE_LAMBDA __attribute__((always_inline))
#define ZUR_NOINLINE __attribute__((noinline))
#define ZUR_COLD __attribute__((cold, noinline))
#define ZUR_HOT __attribute__((hot))
#define ZUR_PREFETCH(addr) __builtin_prefetch(addr)
#define ZUR_RESTRICT __restrict__
#else
#define ZUR_EXPECT(expr, value) (expr)
#define ZUR_LIKELY(expr) (expr)
#define ZUR_UNLIKELY(expr) (expr)
#define ZUR_ALWAYS_INLINE inline
#define ZUR_INLINE_LAMBDA
#define ZUR_NOINLINE
#define ZUR_COLD
#define ZUR_HOT
#define ZUR_PREFETCH(addr) ((void)(addr))
#define ZUR_RESTRICT
#endif

// Which vector paths are compiled: ZUR_USE_SSE2 where the compiler targets
// SSE2 (16-byte compares inline), ZUR_USE_AVX2 on x86 with GCC or clang
// (32-byte compares compiled for AVX2 alone and chosen at run time when the
// processor has it). UTILS_PORTABLE_ONLY turns both off, so an x86 build runs
// the portable byte and word paths that every other processor runs.
#if !defined(UTILS_PORTABLE_ONLY)
#if defined(__SSE2__)
#define ZUR_USE_SSE2 1
#endif
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define ZUR_USE_AVX2 1
#endif
#endif

// Index of the lowest set bit of a non-zero mask: one instruction where the
// compiler has a builtin, a shift loop elsewhere.
template <typename T>
ZUR_ALWAYS_INLINE unsigned ZUR_lowestSetBit(T mask) {
#if defined(__GNUC__) || defined(__clang__)
  if constexpr (sizeof(T) > sizeof(unsigned)) {
    return static_cast<unsigned>(__builtin_ctzll(mask));
  } else {
    return static_cast<unsigned>(__builtin_ctz(mask));
  }
#else
  unsigned bit = 0;
  while ((mask & 1u) == 0) {
    mask >>= 1;
    ++bit;
  }
  return bit;
#endif
}

// Length of a string literal without its terminator, known at compile time.
#define ZUR_LITERAL_LEN(s) (sizeof(s) - 1)

// Number of elements of a true array (not a pointer).
#define ZUR_ARRAY_COUNT(a) (sizeof(a) / sizeof((a)[0]))

// The thread primitives the timed mutex and condition wrap.
#define ZUR_MUTEX_TYPE pthread_mutex_t
#define ZUR_CONDITION_TYPE pthread_cond_t
