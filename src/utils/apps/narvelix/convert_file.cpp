// Per-file conversion driver: opens one CSV input, runs a converter over it
// (which writes the metadata file at the end of the input), closes the input
// and, with --cpp, writes the C++ header next to the metadata file.
#include <cstdio>

#include "utils/apps/narvelix/narvelix.hpp"
#include "utils/apps/narvelix/narvelix_log.hpp"

int convertFile(const char* fileName, const char* outputFile, const Narvelix::ConvertOptions* opt) {
  const int fd = Read_And_Process_File::openFile(fileName, Read_And_Process_File::READ_NORMAL);
  if (fd == -1) {
    LOG_CERR(app_error) << "Could not open file \"" << fileName << "\"" << LOG_ENDLINE;
    return -1;
  }
  Narvelix converter(fd, outputFile, opt);
  const int rc = converter.readAndProcessCSV_File();
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
