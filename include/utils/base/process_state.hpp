// The library's process-wide state and who may write it. Everything not
// listed here is owned by one object or one thread. Readers of the atomics
// below need no lock; anything else shared between threads goes through its
// owner's lock.
//
// Read-only after static initialisation (constinit tables, any thread reads):
//   text2int_table, text2int64_table, powersOf10_64bit, floatingPowersOf10,
//   reciprocalPowersOf10, numberAs4Digits, numberAsTwoDigits,
//   byteAsUppercaseHexadecimal, byteAsLowercaseHexadecimal (text2int_tbl.hpp).
//
// Clock (tick_time.hpp), atomics:
//   clockRoutine_function         set_clock_function, reset_clock_state
//   tickRatePerNanosecond,
//   tickRateReciprocal,
//   clockProfileState             the profiling in tick_time.cpp (profile_clock_rate,
//                                 set_tick_rate), reset_clock_state
//   maxTolerableTickInterval,
//   maxNanosecondsBetweenSamples  set_max_clock_sample_interval, the profiling,
//                                 reset_clock_state
//   external_rdtsc_pointer        set_external_rdtsc_variable, reset_clock_state
//   reset_clock_state and the test clock sources are for tests: call them while
//   no other thread reads the clock.
//
// Dates and times:
//   packedTodayDate (get_time.cpp)  the date reader, relaxed; any thread
//   lastTimeRead                    thread_local: each thread its own
//   TimePointCacheForToday          built at start-up (init priority 109); read-only
//                                   after, threads copy it into their own caches
//
// Logging:
//   default_LogSubsystemInfo        the program's start-up (command-line log
//                                   flags) before other threads run
//   component enable masks          the command-line log flags at start-up and
//                                   ENABLE/DISABLE_COMPONENT_LOG_LEVEL
//
// Shared variables and buffers:
//   DEFAULT_sharedMemoryVariableManager  built at start-up (init priority 105);
//                                        its own lock guards every change
//   BufferRegion::totalChecks,
//   CircularBufferManager::TOTAL_allocation_wait_spins / TOTAL_return_wait_spins,
//   FixedBufferManager::TOTAL_allocation_wait_spins
//                                        statistics counters, any thread adds
//                                        (relaxed)
//
// Byte masks (byte_masks.hpp): avx2Available() caches the processor's answer
// in a function-local static (thread-safe initialisation); nothing else there
// keeps state.
#pragma once
