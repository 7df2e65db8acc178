// narvelix-logcat: prints a file of binary log records (written by statements
// ended with BINARY_ENDREC or AS_BINARY_RECORD) as the text lines the text
// renderer would have written for them, or with --raw every record's fields
// one per line. Exit status 0 on success, 1 when the file cannot be read or
// holds a damaged or truncated record (one line on standard error naming the
// byte offset; the records before it are printed), 2 for a usage error.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "utils/logging/log_binary.hpp"
#include "utils/logging/logging_api.hpp"

namespace {

constexpr int EXIT_BAD_FILE = 1;
constexpr int EXIT_USAGE = 2;
constexpr size_t READ_CHUNK = 1 << 16;

const char USAGE[] =
    "usage: narvelix-logcat [--raw] FILE\n"
    "  prints the binary log records of FILE as text lines\n"
    "  --raw  print every record's fields one per line instead\n"
    "  FILE may be --stdin\n";

int usageError(const char* problem, const char* detail) {
  std::fprintf(stderr, "narvelix-logcat: %s%s\n%s", problem, detail, USAGE);
  return EXIT_USAGE;
}

// Writes all of text to standard output; false on a failed write.
bool writeOut(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* fileName = nullptr;
  bool raw = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (std::strcmp(arg, "--raw") == 0) {
      raw = true;
    } else if (arg[0] == '-' && arg[1] != '\0' && std::strcmp(arg, "--stdin") != 0) {
      return usageError("unknown option ", arg);
    } else if (fileName != nullptr) {
      return usageError("more than one file given: ", arg);
    } else {
      fileName = arg;
    }
  }
  if (fileName == nullptr) return usageError("no file given", "");

  const bool fromStdin = std::strcmp(fileName, "--stdin") == 0;
  const int fd = fromStdin ? STDIN_FILENO : open(fileName, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "narvelix-logcat: %s: %s\n", fileName, std::strerror(errno));
    return EXIT_BAD_FILE;
  }
  LogBinaryReader reader(raw ? LogBinaryReader::RAW : LogBinaryReader::TEXT);
  static unsigned char chunk[READ_CHUNK];
  std::string out;
  bool ok = true;
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::fprintf(stderr, "narvelix-logcat: %s: read failed after byte offset %llu: %s\n", fileName,
                   static_cast<unsigned long long>(reader.offset()), std::strerror(errno));
      ok = false;
      break;
    }
    if (n == 0) {
      ok = reader.finish();
      break;
    }
    ok = reader.feed(chunk, static_cast<size_t>(n), out);
    if (!writeOut(out)) {
      std::fprintf(stderr, "narvelix-logcat: write failed: %s\n", std::strerror(errno));
      return EXIT_BAD_FILE;
    }
    out.clear();
    if (!ok) break;
  }
  if (!fromStdin) close(fd);
  if (!ok && reader.errorText()[0] != '\0') std::fprintf(stderr, "narvelix-logcat: %s: %s\n", fileName, reader.errorText());
  return ok ? 0 : EXIT_BAD_FILE;
}
