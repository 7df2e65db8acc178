// narvelix-dump: prints a metadata reference file written by narvelix back as
// CSV (field names as the heading), or with --describe its header and field
// descriptions. Exit status 0 on success, 1 when the file cannot be read or is
// not a valid metadata file (one line on standard error), 2 for a usage error.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "utils/metadata/metadata_dump.hpp"
#include "utils/metadata/metadata_reader.hpp"

namespace {

constexpr int EXIT_BAD_FILE = 1;
constexpr int EXIT_USAGE = 2;

const char USAGE[] =
    "usage: narvelix-dump [--describe] [--head N] FILE.metadata\n"
    "  prints the records of FILE as CSV with the field names as heading\n"
    "  --describe  print the header and field descriptions instead\n"
    "  --head N    print at most N records\n"
    "  FILE may be --stdin\n";

int usageError(const char *problem, const char *detail) {
  std::fprintf(stderr, "narvelix-dump: %s%s\n%s", problem, detail, USAGE);
  return EXIT_USAGE;
}

// Parses a non-negative decimal row count; false for anything else.
bool parseCount(const char *text, uint64_t &count) {
  if (*text == '\0') return false;
  uint64_t value = 0;
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    const unsigned digit = static_cast<unsigned>(*p - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  count = value;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  const char *fileName = nullptr;
  bool describe = false;
  uint64_t maxRows = UINT64_MAX;

  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (std::strcmp(arg, "--describe") == 0) {
      describe = true;
    } else if (std::strcmp(arg, "--head") == 0 || std::strncmp(arg, "--head=", 7) == 0) {
      const char *value = arg[6] == '=' ? arg + 7 : (i + 1 < argc ? argv[++i] : nullptr);
      if (value == nullptr) return usageError("--head needs a row count", "");
      if (!parseCount(value, maxRows)) return usageError("--head needs a row count, not ", value);
    } else if (arg[0] == '-' && arg[1] != '\0' && std::strcmp(arg, "--stdin") != 0) {
      return usageError("unknown option ", arg);
    } else if (fileName != nullptr) {
      return usageError("more than one file given: ", arg);
    } else {
      fileName = arg;
    }
  }
  if (fileName == nullptr) return usageError("no file given", "");

  MetaDataReader reader;
  if (reader.open(fileName) != MetaDataReader::METADATA_OK) {
    std::fprintf(stderr, "narvelix-dump: %s\n", reader.errorText());
    return EXIT_BAD_FILE;
  }

  MetaDataTextWriter out(STDOUT_FILENO);
  if (describe) {
    if (writeMetaDataDescription(reader, out) != 0) {
      std::fprintf(stderr, "narvelix-dump: write failed: %s\n", std::strerror(out.savedErrno()));
      return EXIT_BAD_FILE;
    }
    return 0;
  }
  char errorText[MetaDataReader::MAX_ERROR_TEXT];
  if (writeMetaDataCsv(reader, out, maxRows, errorText, sizeof(errorText)) != 0) {
    std::fprintf(stderr, "narvelix-dump: %s: %s\n", fileName, errorText);
    return EXIT_BAD_FILE;
  }
  return 0;
}
