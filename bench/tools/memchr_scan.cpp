// Baseline for the comparison benchmarks: reads a file in 1 MiB chunks and
// counts newlines and commas with memchr, the least work any CSV reader must do.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  int fd = open(argv[1], O_RDONLY);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  std::vector<char> buf(1 << 20);
  unsigned long long lines = 0, commas = 0;
  for (;;) {
    ssize_t got = read(fd, buf.data(), buf.size());
    if (got <= 0) break;
    const char* end = buf.data() + got;
    for (const char* p = buf.data(); (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)))); ++p) ++lines;
    for (const char* p = buf.data(); (p = static_cast<const char*>(std::memchr(p, ',', static_cast<size_t>(end - p)))); ++p) ++commas;
  }
  close(fd);
  std::printf("%llu lines %llu commas\n", lines, commas);
  return 0;
}
