// Helpers shared by the tests: whole-file reads and writes, scratch folders,
// scoped environment variables, bounded polling,
// the tools of this build run as child processes with captured output (in a
// cross build through the emulator), the problem lines of a log,
// golden files, and a converted file shown as narvelix-dump shows it.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "target_launch.hpp"

namespace narvelix_test {

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// All that was written to an open descriptor, read without moving it.
inline std::string descriptorText(int fd) {
  std::string out(static_cast<size_t>(lseek(fd, 0, SEEK_END)), '\0');
  if (!out.empty()) {
    EXPECT_EQ(pread(fd, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
  }
  return out;
}

inline bool fileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

inline std::string writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  return path;
}

// A fresh, empty folder under the test binary folder.
inline std::string scratchDir(const std::string& name) {
  // Runs with NARVELIX_THREADS set get folders of their own.
  const char* threads = std::getenv("NARVELIX_THREADS");
  const std::string dir = std::string(NARVELIX_BINARY_DIR) + "/scratch/" +
                          (threads != nullptr ? std::string("threads") + threads + "/" : "") + name;
  if (std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()) != 0) std::abort();
  return dir;
}

// A scratch folder named after the running test.
inline std::string testDir() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return scratchDir(std::string(info->test_suite_name()) + "." + info->name());
}

// Sets an environment variable for the life of the object; the time zone is
// read again on both changes, for TZ.
class EnvScope {
 public:
  EnvScope(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) saved_ = old;
    setenv(name, value.c_str(), 1);
    tzset();
  }
  ~EnvScope() {
    if (had_) {
      setenv(name_, saved_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
    tzset();
  }
  EnvScope(const EnvScope&) = delete;
  EnvScope& operator=(const EnvScope&) = delete;

 private:
  const char* name_;
  bool had_ = false;
  std::string saved_;
};

// Polls until done() or five seconds pass; false on time-out.
template <typename Done>
bool pollUntil(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return true;
}

inline std::string shellQuote(const std::string& word) {
  std::string q = "'";
  for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// The shell words that start a tool of this build.
inline std::string tool(const std::string& path) { return targetCommand(shellQuote(path)); }

struct RunResult {
  int status = -1;  // exit status 0..255, -1 when the child did not exit normally
  std::string out;
  std::string err;
};

// Runs a shell line in folder dir with standard input from stdinFile.
inline RunResult runShell(const std::string& line, const std::string& dir,
                          const std::string& stdinFile = "/dev/null") {
  const std::string outPath = dir + "/.stdout" + std::to_string(::getpid());
  const std::string errPath = dir + "/.stderr" + std::to_string(::getpid());
  const std::string cmd = "cd " + shellQuote(dir) + " && ( " + line + " ) >" + shellQuote(outPath) + " 2>" +
                          shellQuote(errPath) + " <" + shellQuote(stdinFile);
  RunResult r;
  const int raw = std::system(cmd.c_str());
  if (raw != -1 && WIFEXITED(raw)) r.status = WEXITSTATUS(raw);
  r.out = readFile(outPath);
  r.err = readFile(errPath);
  std::remove(outPath.c_str());
  std::remove(errPath.c_str());
  return r;
}

inline std::string words(const std::vector<std::string>& args) {
  std::string line;
  for (const std::string& a : args) line += " " + shellQuote(a);
  return line;
}

// A program of this build (through the emulator in a cross build).
inline RunResult runProgram(const std::string& program, const std::vector<std::string>& args, const std::string& dir,
                            const std::string& stdinFile = "/dev/null") {
  return runShell(tool(program) + words(args), dir, stdinFile);
}

inline RunResult runNarvelix(const std::vector<std::string>& args, const std::string& dir,
                             const std::string& stdinFile = "/dev/null") {
  return runProgram(NARVELIX_EXE, args, dir, stdinFile);
}

// Converts csv (written to dir/in.csv) with the extra arguments into
// dir/out.metadata.
inline RunResult convertText(const std::string& dir, const std::string& csv, std::vector<std::string> args = {}) {
  writeFile(dir + "/in.csv", csv);
  args.insert(args.end(), {"-o", "out.metadata", "in.csv"});
  return runNarvelix(args, dir);
}

inline std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// The lines of err that are not TRACE, DEBUG or INFO lines, one per line,
// reduced to "LABEL message": whatever stands before the first "file:line "
// prefix and its label is cut off. Other lines are kept whole.
inline std::string problemLines(const std::string& err) {
  static const std::regex prefix(
      R"(^(?:.*?:[0-9]+ )?((?:TRACE|DEBUG|INFO|WARNING|ERROR|FATAL|USER|UNKNOWN) .*)$)");
  std::string picked;
  std::istringstream in(err);
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    const std::string l = std::regex_match(line, m, prefix) ? m[1].str() : line;
    if (l.rfind("TRACE ", 0) != 0 && l.rfind("DEBUG ", 0) != 0 && l.rfind("INFO ", 0) != 0) picked += l + "\n";
  }
  return picked;
}

// Compares actual with tests/golden/<name>; NARVELIX_UPDATE_GOLDEN=1 rewrites
// the golden file instead. A mismatch names the first differing byte.
inline void expectGolden(const std::string& actual, const std::string& name) {
  const std::string path = std::string(NARVELIX_SOURCE_DIR) + "/tests/golden/" + name;
  const char* update = std::getenv("NARVELIX_UPDATE_GOLDEN");
  if (update != nullptr && std::strcmp(update, "1") == 0) writeFile(path, actual);
  const std::string expected = readFile(path);
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  if (actual != expected) {
    const std::string kept = writeFile(std::string(NARVELIX_BINARY_DIR) + "/" + name + ".actual", actual);
    ADD_FAILURE() << name << " differs from its golden file at byte " << at << " (sizes " << expected.size()
                  << ", " << actual.size() << "); actual kept in " << kept;
  }
}

#ifdef NARVELIX_DUMP_EXE
// A metadata file as narvelix-dump shows it, the layout in one line first:
// "fixed <record length>" or "variable", the record count, and each field as
// "name group TYPE offset length"; then the records as CSV (dumpArgs, for
// example "--head 2", limit them). "(no file)" when the file is missing.
inline std::string dumpOf(const std::string& path, const std::string& dumpArgs = "") {
  if (!fileExists(path)) return "(no file)";
  const std::string dir = path.substr(0, path.rfind('/'));
  const RunResult d = runShell(tool(NARVELIX_DUMP_EXE) + " --describe " + shellQuote(path), dir);
  const RunResult csv = runShell(tool(NARVELIX_DUMP_EXE) + " " + dumpArgs + " " + shellQuote(path), dir);
  if (d.status != 0 || csv.status != 0) return "(dump failed) " + d.err + csv.err;
  std::string layout, fields, records;
  std::istringstream in(d.out);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream w(line);
    std::string a, b, c, e, f, g;
    if (line.rfind("records: fixed length, ", 0) == 0) {
      layout = "fixed " + line.substr(23, line.find(' ', 23) - 23);
    } else if (line.rfind("records: variable", 0) == 0) {
      layout = "variable";
    } else if (line.rfind("total records: ", 0) == 0) {
      records = line.substr(15);
    } else if (w >> a >> b >> c >> e >> f >> g && a[0] >= '0' && a[0] <= '9') {
      fields += ", " + b + " " + c + " " + e.substr(e.rfind('_') + 1) + " " + f + " " + g;
    }
  }
  return layout + " records " + records + fields + "\n" + csv.out;
}
#endif

}  // namespace narvelix_test
