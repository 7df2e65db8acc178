// Helpers for the narvelix tests: run the tool (or the compiler) as a child
// process with captured output, scratch folders, whole-file reads and writes,
// and the reduction of log lines to "LABEL message" (date, time, thread id and
// source file:line cut off) so stderr can be compared as text.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "target_launch.hpp"

namespace narvelix_test {

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline bool fileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// A fresh, empty folder under the test binary folder, named after the test.
inline std::string scratchDir(const std::string& name) {
  const std::string dir = std::string(NARVELIX_BINARY_DIR) + "/scratch/" + name;
  const std::string cmd = "rm -rf '" + dir + "' && mkdir -p '" + dir + "'";
  if (std::system(cmd.c_str()) != 0) std::abort();
  return dir;
}

inline std::string shellQuote(const std::string& word) {
  std::string q = "'";
  for (char c : word) {
    if (c == '\'') {
      q += "'\\''";
    } else {
      q += c;
    }
  }
  return q + "'";
}

struct RunResult {
  int status = -1;  // exit status 0..255, -1 when the child did not exit normally
  std::string out;
  std::string err;
};

// Runs the shell words `start` with args in folder dir; stdinFile (optional)
// feeds standard input.
inline RunResult runCommand(const std::string& start, const std::vector<std::string>& args,
                            const std::string& dir, const std::string& stdinFile = "") {
  std::string cmd = "cd ";
  cmd += shellQuote(dir);
  cmd += " && ";
  cmd += start;
  for (const std::string& a : args) {
    cmd += ' ';
    cmd += shellQuote(a);
  }
  const std::string outPath = dir + "/.stdout";
  const std::string errPath = dir + "/.stderr";
  cmd += " >";
  cmd += shellQuote(outPath);
  cmd += " 2>";
  cmd += shellQuote(errPath);
  cmd += " <";
  cmd += shellQuote(stdinFile.empty() ? std::string("/dev/null") : stdinFile);
  RunResult r;
  const int raw = std::system(cmd.c_str());
  if (raw != -1 && WIFEXITED(raw)) r.status = WEXITSTATUS(raw);
  r.out = readFile(outPath);
  r.err = readFile(errPath);
  std::remove(outPath.c_str());
  std::remove(errPath.c_str());
  return r;
}

// A program of this build (through the emulator in a cross build).
inline RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                            const std::string& dir, const std::string& stdinFile = "") {
  return runCommand(targetCommand(shellQuote(program)), args, dir, stdinFile);
}

// A program of the build machine (the compiler).
inline RunResult runHostProgram(const std::string& program, const std::vector<std::string>& args,
                                const std::string& dir) {
  return runCommand(shellQuote(program), args, dir);
}

inline RunResult runNarvelix(const std::vector<std::string>& args, const std::string& dir,
                             const std::string& stdinFile = "") {
  return runProgram(NARVELIX_EXE, args, dir, stdinFile);
}

// Log lines reduced to "LABEL message": whatever stands before the first
// "file:line " prefix and its label is cut off. Lines that are not log lines
// (usage text, option errors) are kept whole.
inline std::vector<std::string> logLines(const std::string& err) {
  static const std::regex prefix(
      R"(^(?:.*?:[0-9]+ )?((?:TRACE|DEBUG|INFO|WARNING|ERROR|FATAL|USER|UNKNOWN) .*)$)");
  std::vector<std::string> lines;
  std::istringstream in(err);
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    lines.push_back(std::regex_match(line, m, prefix) ? m[1].str() : line);
  }
  return lines;
}

// The log lines of err with the given label ("ERROR", "WARNING", ...).
inline std::vector<std::string> linesWithLabel(const std::string& err, const std::string& label) {
  std::vector<std::string> picked;
  for (const std::string& l : logLines(err)) {
    if (l.compare(0, label.size() + 1, label + " ") == 0) picked.push_back(l);
  }
  return picked;
}

inline std::string joinLines(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  return all;
}

// Little-endian readers for checking output bytes.
inline uint32_t le16(const std::string& b, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(b.at(at))) |
         static_cast<uint32_t>(static_cast<unsigned char>(b.at(at + 1))) << 8;
}
inline uint32_t le32(const std::string& b, size_t at) {
  return le16(b, at) | (le16(b, at + 2) << 16);
}
inline uint64_t le64(const std::string& b, size_t at) {
  return le32(b, at) | (static_cast<uint64_t>(le32(b, at + 4)) << 32);
}

}  // namespace narvelix_test

namespace narvelix_test {

struct Description {
  unsigned group, type, offset, length;
  std::string name;
};

// A metadata file taken apart: header values, descriptions, record bytes.
struct MetadataFile {
  bool valid = false;
  std::string magic;  // 8 bytes, NULs kept
  unsigned headerLength = 0, descriptionLength = 0, totalFields = 0, recordLength = 0;
  uint32_t totalRecords = 0;
  std::vector<Description> fields;
  std::string records;  // everything after the descriptions
};

inline MetadataFile parseMetadata(const std::string& b) {
  MetadataFile m;
  if (b.size() < 24) return m;
  m.magic = b.substr(0, 8);
  m.headerLength = static_cast<unsigned char>(b[8]);
  m.descriptionLength = static_cast<unsigned char>(b[9]);
  m.totalFields = le16(b, 10);
  m.recordLength = le16(b, 12);
  m.totalRecords = le32(b, 16);
  if (b.size() < 24 + 24 * static_cast<size_t>(m.totalFields)) return m;
  for (unsigned i = 0; i < m.totalFields; ++i) {
    const size_t at = 24 + 24 * i;
    Description d;
    d.group = static_cast<unsigned char>(b[at]);
    d.type = static_cast<unsigned char>(b[at + 1]);
    d.offset = le16(b, at + 2);
    d.length = le16(b, at + 4);
    d.name = std::string(b.c_str() + at + 8, strnlen(b.c_str() + at + 8, 16));
    m.fields.push_back(d);
  }
  m.records = b.substr(24 + 24 * static_cast<size_t>(m.totalFields));
  m.valid = true;
  return m;
}

// Converts csv (written to dir/in.csv) with the extra arguments into
// dir/out.metadata and returns the run result.
inline RunResult convertText(const std::string& dir, const std::string& csv,
                             std::vector<std::string> args = {}) {
  writeFile(dir + "/in.csv", csv);
  args.push_back("-o");
  args.push_back("out.metadata");
  args.push_back("in.csv");
  return runNarvelix(args, dir);
}

}  // namespace narvelix_test
