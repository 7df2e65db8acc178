// Output files of the converter (the metadata file and the C++ header) that
// appear whole or not at all. A regular file, new or existing, is written to a
// temporary file in its own folder (so on the same file system) and renamed
// over its name only once all of it was written and closed without error; on
// any failure, or when the process dies, a file of that name stays as it was.
// Everything else is written in place exactly as fopen(name, "wb") writes it:
// standard output ("--stdout"), devices such as /dev/null, FIFOs, symbolic
// links (a rename would replace the link itself), a file with further hard
// links (they would keep the old contents) or of another owner (a new file
// would be the writer's; root excepted, who can give it back), an existing
// file that is not writable (fopen refuses it), and a folder that lets an
// existing file be written but no file be created in it.
//
// The temporary file is named "." + the output's name + ".narvelix-tmp-" +
// process id + "-" + a counter, created with O_EXCL (so it cannot collide)
// and the mode fopen would give a new file (0666 less the umask); when it
// replaces an existing file it takes that file's permission bits and owner.
// The writer holds an flock on it until it is renamed or removed, so a
// temporary file nobody holds a lock on was left by a process that died:
// opening an output removes those of the same name first. Names of over 200
// bytes are cut in the temporary name. NARVELIX_FSYNC=1 in the
// environment makes close() flush the file to disk before the rename and the
// folder after it (off by default: it costs a disk flush per output).
// One thread; an OutputFile handles one output at a time.
#pragma once

#include <sys/types.h>

#include <cstdio>

class OutputFile {
 public:
  // close() results.
  enum : int {
    OUTPUT_CLOSED = 0,
    // Writing, flushing or closing the stream failed; nothing is logged (the
    // writer reports it as the write error it is) and a temporary file is
    // removed.
    OUTPUT_WRITE_FAILED = -1,
    // The written file could not be renamed over the output's name, or with
    // NARVELIX_FSYNC=1 its folder could not be flushed; logged here.
    OUTPUT_NOT_REPLACED = -2,
  };

  OutputFile() = default;
  // Abandons an output that is still open.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens name for writing ("--stdout": standard output). Returns the stream,
  // or null when the output cannot be created (an empty name, a missing
  // folder, a folder given as the name, no permission); nothing is logged.
  // name must stay valid until the output is closed or abandoned.
  [[nodiscard]] FILE* open(const char* name);

  // Finishes the output: flushes and closes the stream (standard output is
  // flushed only, for later outputs of the same run) and, for a temporary
  // file, renames it over the output's name. Returns one of the results above.
  [[nodiscard]] int close();

  // Gives the output up after a failure: closes the stream and removes a
  // temporary file. An output written in place keeps what was written.
  void abandon();

 private:
  [[nodiscard]] int createTemporary(const char* name);
  void releaseTemporary();

  FILE* stream_ = nullptr;
  const char* finalName_ = nullptr;
  // For a temporary file: a second descriptor that keeps its flock until it
  // is renamed or removed, and the permission bits and owner to give it
  // (copyOwner_: those of the file it replaces).
  int lockDescriptor_ = -1;
  bool copyOwner_ = false;
  mode_t mode_ = 0;
  uid_t owner_ = 0;
  gid_t group_ = 0;
  char tempName_[4096] = {};
};
