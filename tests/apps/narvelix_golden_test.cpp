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

#include "test_support.hpp"

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
    // Dense headers are compiled and read by the client test.
    {"types_dense", "types.csv", {"--dense", "--name", "Dense", "--magic", "DNS"}},
    {"groups", "groups.csv", {"--cpp"}},
    {"renamed", "renamed.csv", {"--reorder", "--rename", "Unit_Price_", "price", "--delete", "comment"}},
    {"heading_only", "heading_only.csv", {}},
    // Field names that are not usable C++ member names.
    {"names", "names.csv", {"--cpp"}},
    // Lines ending in CR CR LF and CR CR CR LF: one CR goes with the line
    // end, one more from each content line; a CR left over is data (in the
    // heading, white space that cleans to '_').
    {"cr_cr_lf", "cr_cr_lf.csv", {}, true},
    {"cr_cr_cr_lf", "cr_cr_cr_lf.csv", {}, true},
};

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
    const std::string stderrText = "exit " + std::to_string(r.status) + "\n" + problemLines(r.err);
    expectGolden(readFile(dir + "/" + output), std::string(c.name) + ".metadata");
    expectGolden(stderrText, std::string(c.name) + ".stderr");
    if (std::find(c.args.begin(), c.args.end(), "--cpp") != c.args.end()) {
      expectGolden(readFile(dir + "/" + output + ".hpp"), std::string(c.name) + ".hpp");
    }
    if (c.alsoFromStdin && std::getenv("NARVELIX_UPDATE_GOLDEN") == nullptr) {
      std::vector<std::string> stdinArgs = c.args;
      stdinArgs.insert(stdinArgs.end(), {"-o", "stdin.metadata", "--stdin"});
      const RunResult s = runNarvelix(stdinArgs, dir, dir + "/" + c.csv);
      EXPECT_EQ(s.status, r.status) << s.err;
      expectGolden(readFile(dir + "/stdin.metadata"), std::string(c.name) + ".metadata");
    }
  }
}
