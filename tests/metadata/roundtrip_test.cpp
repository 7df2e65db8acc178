// Round trip through both tools: CSV -> narvelix -> narvelix-dump must give
// back every stored field's text. Numbers come back normalised (leading zeros
// and '+' dropped, decimals exactly as written), quotes as the CSV splitter
// removes them. Values the format cannot carry exactly are listed in
// LOSSY_CASES with the reason and the result the format defines.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "target_launch.hpp"

namespace {

using Rows = std::vector<std::vector<std::string>>;

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string buildPath(const std::string &name) {
  return std::string(NARVELIX_BINARY_DIR) + "/" + name;
}

int run(const std::string &command) {
  const int raw = std::system(command.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// Reads RFC 4180 CSV (LF line ends, quoted cells may hold LF) into rows.
Rows parseCsv(const std::string &text) {
  Rows rows;
  std::vector<std::string> row;
  std::string cell;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        cell += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        cell += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      row.push_back(cell);
      cell.clear();
    } else if (c == '\n') {
      row.push_back(cell);
      rows.push_back(row);
      row.clear();
      cell.clear();
    } else {
      cell += c;
    }
  }
  return rows;
}

// The converter is a real one once it answers --help with its usage text.
bool converterAvailable() {
  const std::string err = buildPath(std::string("roundtrip_help_") +
                                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
  run(targetCommand(NARVELIX_EXE) + " --help >/dev/null 2>" + err);
  return readFile(err).find("usage: ") != std::string::npos;
}

// Converts csv (written to <name>.csv) and dumps the result.
Rows convertAndDump(const std::string &name, const std::string &csv) {
  const std::string input = buildPath(name + ".csv");
  const std::string output = buildPath(name + ".metadata");
  std::ofstream(input, std::ios::binary) << csv;
  std::remove(output.c_str());
  const int converted =
      run(targetCommand(NARVELIX_EXE) + " -o " + output + " " + input + " 2>" + buildPath(name + ".log"));
  EXPECT_EQ(converted, 0) << readFile(buildPath(name + ".log"));
  const std::string dumped = buildPath(name + ".dump");
  const int status = run(targetCommand(NARVELIX_DUMP_EXE) + " " + output + " >" + dumped + " 2>" +
                         buildPath(name + ".dump.err"));
  EXPECT_EQ(status, 0) << readFile(buildPath(name + ".dump.err"));
  return parseCsv(readFile(dumped));
}

}  // namespace

TEST(RoundTrip, FixedLengthFieldsComeBackAsStored) {
  ASSERT_TRUE(converterAvailable()) << NARVELIX_EXE << " --help gives no usage text";
  // Column types chosen by the converter: id UINT32, big UINT64, delta
  // INT32, wide INT64, price and rate FIXED, name and mixed STRING, note only
  // empty values (a 4-byte string).
  const std::string csv =
      "id,big,delta,wide,price,rate,name,mixed,note\n"
      "1,12345678901234567890,-5,-9223372036854775808,12.50,+3,plain,\"x\"\"y\",\n"
      "0042,0,12,123,-0.05,12.,\"a,b\",ab\"cd\"ef,\n"
      "999999999,18446744073709551615,-00017,-1,.75,7,\"say \\\"hi\\\"\",  spaced  ,\n"
      "7,00000000000000000001,-0,-0000000000000000042,-100.000,-0.5,\\n,tab\there,\n";
  const Rows expected = {
      {"id", "big", "delta", "wide", "price", "rate", "name", "mixed", "note"},
      {"1", "12345678901234567890", "-5", "-9223372036854775808", "12.50", "3", "plain", "xy", ""},
      {"42", "0", "12", "123", "-0.05", "12", "a,b", "abcdef", ""},
      {"999999999", "18446744073709551615", "-17", "-1", "0.75", "7", "say \"hi\"", "  spaced  ", ""},
      {"7", "1", "0", "-42", "-100.000", "-0.5", "\\n", "tab\there", ""},
  };
  EXPECT_EQ(convertAndDump("roundtrip_fixed", csv), expected);
}

TEST(RoundTrip, OptionalGroupsComeBackAsEmptyCells) {
  ASSERT_TRUE(converterAvailable()) << NARVELIX_EXE << " --help gives no usage text";
  const std::string csv =
      "id,name,?2qty,?2unit,?3price\n"
      "1,first,5,kg,9.99\n"
      "2,second,,,\n"
      "3,third,,,0.10\n"
      "4,fourth,12,box,\n";
  const Rows expected = {
      {"id", "name", "qty", "unit", "price"},
      {"1", "first", "5", "kg", "9.99"},
      {"2", "second", "", "", ""},
      {"3", "third", "", "", "0.10"},
      {"4", "fourth", "12", "box", ""},
  };
  EXPECT_EQ(convertAndDump("roundtrip_groups", csv), expected);
}

// Optional fields of group 0 ("?name") or of a group past the 64 bits of the
// record masks are written in every record, also when the ordinary fields of
// a row are all empty (and so absent).
TEST(RoundTrip, GroupsWithoutMaskBitComeBackInEveryRecord) {
  ASSERT_TRUE(converterAvailable()) << NARVELIX_EXE << " --help gives no usage text";
  const std::string csv =
      "id,?2qty,?note,?65tag,?256w\n"
      "1,5,hello,t1,x\n"
      "2,,,t2,\n"
      ",7,only,,y\n";
  const Rows expected = {
      {"id", "qty", "note", "tag", "w"},
      {"1", "5", "hello", "t1", "x"},
      {"2", "", "", "t2", ""},
      {"", "7", "only", "", "y"},
  };
  EXPECT_EQ(convertAndDump("roundtrip_always_present", csv), expected);
}

// Values the format cannot give back as written, and what it gives instead.
TEST(RoundTrip, KnownLossyCases) {
  ASSERT_TRUE(converterAvailable()) << NARVELIX_EXE << " --help gives no usage text";
  struct Lossy {
    const char *column;  // heading
    const char *value;   // text in the CSV (second row; the first row is 1)
    const char *result;  // what the dump shows, or null when the format leaves it open
    const char *reason;
  };
  const Lossy cases[] = {
      {"dec17", "0.12345678901234567", "0.123456789012345",
       "fixed point keeps at most 15 decimal places; further digits are dropped"},
      {"emptyNum", "", "0", "an empty field of a numeric column is stored as the value 0"},
      {"u64over", "99999999999999999999", nullptr,
       "an integer past UINT64_MAX does not fit the column's 64-bit field"},
      {"i64over", "-99999999999999999999", nullptr,
       "an integer below INT64_MIN does not fit the column's 64-bit field"},
      {"fixBig", "123456789012345678901.5", nullptr,
       "a fixed-point integer part of more than 20 digits is stored as 0"},
  };
  std::string heading;
  std::string first;
  std::string second;
  for (const Lossy &c : cases) {
    heading += std::string(heading.empty() ? "" : ",") + c.column;
    first += std::string(first.empty() ? "" : ",") + "1";
    second += std::string(second.empty() ? "" : ",") + c.value;
  }
  const Rows got = convertAndDump("roundtrip_lossy", heading + "\n" + first + "\n" + second + "\n");
  ASSERT_EQ(got.size(), 3u);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(std::string(cases[i].column) + ": " + cases[i].reason);
    ASSERT_EQ(got[2].size(), std::size(cases));
    if (cases[i].result != nullptr) {
      EXPECT_EQ(got[2][i], cases[i].result);
    }
  }
}
