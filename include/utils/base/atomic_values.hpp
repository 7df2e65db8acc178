// Atomic value helpers: plain integers in ordinary (or shared) memory read and
// updated atomically through the compiler's __atomic builtins, so the same
// object can sit in a shared-memory segment laid out with fixed-width types.
// Loads and stores of 32-bit values are single instructions on every target we
// build for; 64-bit values use the builtins too, which on 32-bit ARM become
// ldrexd/strexd sequences.
#pragma once

#include <cstdint>

namespace zur {

// Relaxed load: for counters and masks whose readers tolerate a stale value.
template <typename T>
inline T loadRelaxed(const T* p) {
  return __atomic_load_n(p, __ATOMIC_RELAXED);
}

// Acquire load: pairs with storeRelease on the same word.
template <typename T>
inline T loadAcquire(const T* p) {
  return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}

template <typename T>
inline void storeRelaxed(T* p, T v) {
  __atomic_store_n(p, v, __ATOMIC_RELAXED);
}

// Release store: publishes everything written before it; pairs with loadAcquire.
template <typename T>
inline void storeRelease(T* p, T v) {
  __atomic_store_n(p, v, __ATOMIC_RELEASE);
}

// Adds and returns the new value; relaxed, for statistics counters.
template <typename T>
inline T addRelaxed(T* p, T v) {
  return __atomic_add_fetch(p, v, __ATOMIC_RELAXED);
}

// Compare-and-swap with full ordering; true when *p held expected and now holds desired.
template <typename T>
inline bool compareExchange(T* p, T expected, T desired) {
  return __atomic_compare_exchange_n(p, &expected, desired, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST);
}

// Atomically ORs bits in; returns the previous value.
template <typename T>
inline T fetchOr(T* p, T bits) {
  return __atomic_fetch_or(p, bits, __ATOMIC_SEQ_CST);
}

// Atomically clears bits; returns the previous value.
template <typename T>
inline T fetchAndNot(T* p, T bits) {
  return __atomic_fetch_and(p, static_cast<T>(~bits), __ATOMIC_SEQ_CST);
}

}  // namespace zur
