// Capturing a descriptor's output line by line: the descriptor is replaced
// by the write end of a pipe whose read end an I/O processor reads on one
// thread, handing each block to a routine of the caller's choice. The
// default routine copies every line, marked "PREFIX+ " (a complete line) or
// "PREFIX: " (text without its newline yet), to where the descriptor wrote
// before the capture. The destructor puts the descriptor back.
#pragma once

#include "utils/io/io_processor.hpp"
#include "utils/logging/log_manager.hpp"
#include "utils/shared_vars/shared_variable.hpp"

class ReplumbAndLog {
 public:
  // Captures fd. On failure (no pipe, no thread) a line goes to standard
  // error and fd is left as it was (isCapturing() false).
  ReplumbAndLog(int fd, IO_processBlockFP processRoutine = &acceptData, const char* name = "replumb");
  // Restores fd (the reader then sees the end of the pipe), waits at most
  // two seconds for the reader to finish, then stops it with SIGIO.
  ~ReplumbAndLog();
  ReplumbAndLog(const ReplumbAndLog&) = delete;
  ReplumbAndLog& operator=(const ReplumbAndLog&) = delete;

  // The default block routine: marks and copies the block's lines to
  // output_fd. Returns 0.
  static int acceptData(SharedBufferAllocRecord* rec, IO_Processor* controller);

  bool isCapturing() const { return processor != nullptr; }
  IO_Processor* getProcessor() const { return processor; }

  int source_fd;   // read end of the pipe
  int output_fd;   // the descriptor as it was, where captured output goes
  LogManager* logMgr;  // for the caller's routine; not set here
  SharedMemoryVariableNode namingNode;
  alignas(8) unsigned char bfrBlock[8192];

 private:
  void release();

  int captured_fd;
  BufferRegion* region;
  IO_Processor* processor;
};
