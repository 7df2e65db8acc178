// The region lock key: the kernel thread id, read once per thread. Thread ids
// are unique system-wide, so two processes sharing a region never hold the
// same key, and never 0 (0 marks the lock free).
#include <sys/syscall.h>
#include <unistd.h>

#include "utils/base/circular_wait.hpp"

uint32_t ZUR_regionLockKey() {
  static thread_local uint32_t key = 0;
  if (key == 0) key = static_cast<uint32_t>(syscall(SYS_gettid));
  return key;
}
