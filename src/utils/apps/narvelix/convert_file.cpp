// Per-file conversion driver: opens one CSV input, runs a converter over it
// (which writes the metadata file at the end of the input), closes the input
// and, with --cpp, writes the C++ header next to the metadata file.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "utils/apps/narvelix/narvelix.hpp"
#include "utils/apps/narvelix/narvelix_log.hpp"

// Inputs past 2 GiB and modification times past 2038 on 32-bit targets: the
// build defines _FILE_OFFSET_BITS=64 and _TIME_BITS=64 there.
static_assert(sizeof(off_t) == 8, "64-bit file offsets are needed for inputs past 2 GiB");
static_assert(sizeof(time_t) == 8, "64-bit time_t is needed for file times past 2038");

namespace {

// Without NARVELIX_THREADS, a file is cut into chunks of at least this size:
// a smaller one is read on one thread.
constexpr int64_t MIN_CHUNK_BYTES = int64_t{4} << 20;

// True when the output named outputFile is the input file itself (or standard
// output is): the output would then overwrite the input before a second read.
bool outputIsInput(const struct stat& input, const char* outputFile) {
  struct stat output;
  const int rc = std::strcmp(outputFile, "--stdout") == 0 ? ::fstat(1, &output)
                                                          : ::stat(outputFile, &output);
  return rc == 0 && output.st_dev == input.st_dev && output.st_ino == input.st_ino;
}

}  // namespace

void Narvelix::encodeFromSecondRead() {
  struct stat st;
  if (descriptor == -1 || ::fstat(descriptor, &st) != 0) return;
  secondRead = true;
  inputDevice = static_cast<uint64_t>(st.st_dev);
  inputInode = static_cast<uint64_t>(st.st_ino);
  inputSize = static_cast<int64_t>(st.st_size);
  inputModifiedSeconds = static_cast<int64_t>(st.st_mtim.tv_sec);
  inputModifiedNanoseconds = static_cast<int64_t>(st.st_mtim.tv_nsec);
}

bool Narvelix::inputUnchanged() const {
  struct stat st;
  if (descriptor == -1 || ::fstat(descriptor, &st) != 0) return false;
  return static_cast<uint64_t>(st.st_dev) == inputDevice &&
         static_cast<uint64_t>(st.st_ino) == inputInode &&
         static_cast<int64_t>(st.st_size) == inputSize &&
         static_cast<int64_t>(st.st_mtim.tv_sec) == inputModifiedSeconds &&
         static_cast<int64_t>(st.st_mtim.tv_nsec) == inputModifiedNanoseconds;
}

int convertFile(const char* fileName, const char* outputFile, const Narvelix::ConvertOptions* opt) {
  const int fd = Read_And_Process_File::openFile(fileName, Read_And_Process_File::READ_NORMAL);
  if (fd == -1) {
    LOG_CERR(app_error) << "Could not open file \"" << fileName << "\"" << LOG_ENDLINE;
    return -1;
  }
  Narvelix converter(fd, outputFile, opt);
  // A regular file is read twice rather than held in memory, unless the
  // output is the input itself.
  struct stat input;
  if (::fstat(fd, &input) == 0 && S_ISREG(input.st_mode) && !outputIsInput(input, outputFile)) {
    converter.encodeFromSecondRead();
  }
  // Every processor for a large file; any file when NARVELIX_THREADS asks.
  bool requested = false;
  const unsigned threads = Narvelix::threadsToUse(&requested);
  const int rc = converter.readAndProcessInChunks(threads, requested ? 0 : MIN_CHUNK_BYTES);
  LOG_CERR(app_info) << "lines processed " << static_cast<int32_t>(rc) << LOG_ENDLINE;
  Read_And_Process_File::closeFile(fd, Read_And_Process_File::READ_NORMAL);
  converter.releaseDescriptor();  // closed above; the reader must not close it again
  if (rc == 0 && converter.inputWasEmpty()) {
    LOG_CERR(app_warning) << "Input \"" << fileName << "\" is empty: no metadata file written"
                          << LOG_ENDLINE;
  } else if (rc < 0) {
    // The first read failed (a folder, an unreadable device): nothing was
    // converted.
    LOG_CERR(app_error) << "Could not read \"" << fileName << "\"" << LOG_ENDLINE;
    return 1;
  }

  if (opt != nullptr && opt->emitCPPheaders) {
    char headerName[2048];
    std::snprintf(headerName, sizeof headerName, "%s.hpp", outputFile);
    LOG_CERR(app_info) << "header " << headerName << LOG_ENDLINE;
    (void)converter.dump_CPP_structure(headerName);
  }
  return converter.getErrorIndication() ? 1 : 0;
}
