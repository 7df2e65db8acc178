// ThreadSanitizer builds only. libstdc++ takes std::timed_mutex with
// pthread_mutex_clocklock, which g++ 12's ThreadSanitizer does not intercept:
// it would see the unlock without the lock and report every access the mutex
// guards as a race. This definition, found before the C library's, does the
// same wait through pthread_mutex_timedlock, which the sanitizer does see.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstdint>

extern "C" int pthread_mutex_clocklock(pthread_mutex_t* mutex, clockid_t clock,
                                       const struct timespec* deadline) {
  if (clock == CLOCK_REALTIME) return pthread_mutex_timedlock(mutex, deadline);
  struct timespec now;
  struct timespec realNow;
  if (clock_gettime(clock, &now) != 0 || clock_gettime(CLOCK_REALTIME, &realNow) != 0) return EINVAL;
  // The same distance from now, on the real-time clock.
  const int64_t left = (static_cast<int64_t>(deadline->tv_sec) - static_cast<int64_t>(now.tv_sec)) *
                           1000000000 +
                       (deadline->tv_nsec - now.tv_nsec);
  const int64_t at = static_cast<int64_t>(realNow.tv_sec) * 1000000000 + realNow.tv_nsec +
                     (left > 0 ? left : 0);
  struct timespec realDeadline;
  realDeadline.tv_sec = static_cast<time_t>(at / 1000000000);
  realDeadline.tv_nsec = static_cast<long>(at % 1000000000);
  return pthread_mutex_timedlock(mutex, &realDeadline);
}
