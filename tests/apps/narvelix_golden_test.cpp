// Golden files: each case converts tests/data/<csv> with its options and
// compares the metadata bytes, the C++ header text and the error/warning lines
// of stderr with tests/golden/<case>.*. The goldens were checked byte by byte
// against the file format once; regenerate them only on purpose with
// NARVELIX_UPDATE_GOLDEN=1 and review the xxd diff. On a mismatch the test
// names the first differing offset; the actual files stay in the scratch
// folder under the test binary folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "apps/narvelix_test_util.hpp"

using namespace narvelix_test;

namespace {

struct GoldenCase {
  const char* name;  // golden base name
  const char* csv;   // input under tests/data
  std::vector<std::string> args;
  // Also converted from standard input (rows kept in memory rather than
  // read twice): the metadata must be the same bytes.
  bool alsoFromStdin = false;
};

const GoldenCase GOLDEN_CASES[] = {
    {"types", "types.csv", {"--cpp"}},
    {"types_dense", "types.csv", {"--cpp", "--dense", "--name", "Dense", "--magic", "DNS"}},
    {"groups", "groups.csv", {"--cpp"}},
    {"renamed", "renamed.csv",
     {"--cpp", "--reorder", "--rename", "Unit_Price_", "price", "--delete", "comment"}},
    {"heading_only", "heading_only.csv", {}},
    // Field names that are not usable C++ member names.
    {"names", "names.csv", {"--cpp"}},
    // Lines ending in CR CR LF and CR CR CR LF: one CR goes with the line
    // end, one more from each content line; a CR left over is data (in the
    // heading, white space that cleans to '_').
    {"cr_cr_lf", "cr_cr_lf.csv", {"--cpp"}, true},
    {"cr_cr_cr_lf", "cr_cr_cr_lf.csv", {}, true},
};

bool updating() {
  const char* v = std::getenv("NARVELIX_UPDATE_GOLDEN");
  return v != nullptr && std::strcmp(v, "1") == 0;
}

std::string goldenPath(const std::string& file) {
  return std::string(NARVELIX_SOURCE_DIR) + "/tests/golden/" + file;
}

// Empty when equal, else where and how the two differ.
std::string firstDifference(const std::string& expected, const std::string& actual) {
  const size_t common = std::min(expected.size(), actual.size());
  for (size_t i = 0; i < common; ++i) {
    if (expected[i] != actual[i]) {
      char text[96];
      std::snprintf(text, sizeof text, "first difference at offset %zu: expected 0x%02x, got 0x%02x", i,
                    static_cast<unsigned char>(expected[i]), static_cast<unsigned char>(actual[i]));
      return text;
    }
  }
  if (expected.size() != actual.size()) {
    return "sizes differ from offset " + std::to_string(common) + ": expected " +
           std::to_string(expected.size()) + " bytes, got " + std::to_string(actual.size());
  }
  return "";
}

void checkGolden(const std::string& goldenFile, const std::string& actual, const std::string& where) {
  const std::string path = goldenPath(goldenFile);
  if (updating()) {
    writeFile(path, actual);
    return;
  }
  ASSERT_TRUE(fileExists(path)) << path << " is missing (NARVELIX_UPDATE_GOLDEN=1 makes it)";
  const std::string diff = firstDifference(readFile(path), actual);
  EXPECT_EQ(diff, "") << goldenFile << ": " << diff << "; actual output kept in " << where;
}

}  // namespace

TEST(NarvelixGolden, OutputsMatchReviewedFiles) {
  for (const GoldenCase& c : GOLDEN_CASES) {
    SCOPED_TRACE(c.name);
    const std::string dir = scratchDir(std::string("Golden_") + c.name);
    writeFile(dir + "/" + c.csv, readFile(std::string(NARVELIX_SOURCE_DIR) + "/tests/data/" + c.csv));
    std::vector<std::string> args = c.args;
    const std::string output = std::string(c.name) + ".metadata";
    args.insert(args.end(), {"-o", output, c.csv});
    const RunResult r = runNarvelix(args, dir);
    const std::vector<std::string> lines = logLines(r.err);
    std::vector<std::string> problems;
    for (const std::string& l : lines) {
      if (l.rfind("ERROR ", 0) == 0 || l.rfind("WARNING ", 0) == 0) problems.push_back(l);
    }
    std::string stderrText = "exit " + std::to_string(r.status) + "\n" + joinLines(problems);
    checkGolden(std::string(c.name) + ".metadata", readFile(dir + "/" + output), dir);
    checkGolden(std::string(c.name) + ".stderr", stderrText, dir);
    if (std::find(c.args.begin(), c.args.end(), "--cpp") != c.args.end()) {
      checkGolden(std::string(c.name) + ".hpp", readFile(dir + "/" + output + ".hpp"), dir);
    }
    if (c.alsoFromStdin && !updating()) {
      std::vector<std::string> stdinArgs = c.args;
      stdinArgs.insert(stdinArgs.end(), {"-o", "stdin.metadata", "--stdin"});
      const RunResult s = runNarvelix(stdinArgs, dir, dir + "/" + c.csv);
      EXPECT_EQ(s.status, r.status) << s.err;
      checkGolden(std::string(c.name) + ".metadata", readFile(dir + "/stdin.metadata"), dir);
    }
  }
}

TEST(NarvelixGolden, FirstDifferenceNamesTheOffset) {
  EXPECT_EQ(firstDifference("abc", "abc"), "");
  EXPECT_EQ(firstDifference("abc", "abd"), "first difference at offset 2: expected 0x63, got 0x64");
  EXPECT_EQ(firstDifference("abc", "ab"), "sizes differ from offset 2: expected 3 bytes, got 2");
}
