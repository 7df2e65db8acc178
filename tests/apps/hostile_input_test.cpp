// Hostile input through the narvelix executable: odd line ends, lines at and
// past the reader's 65535-byte limit, quoting and NUL bytes, column counts
// around the 128-column limit, records too long for 16-bit offsets, numbers
// too big for their field, unusable headings, options without arguments,
// standard input, unwritable outputs, and outputs that must appear whole or
// not at all (a run killed part-way, a late error, a full disk) beside the
// outputs written in place (devices, FIFOs, symbolic links). Every case states
// the exit status, the ERROR and WARNING lines in order (log prefixes
// stripped), and whether a metadata file exists and what it holds.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "apps/narvelix_test_util.hpp"

using namespace narvelix_test;

namespace {

constexpr unsigned T_UINT32 = 5, T_INT64 = 6, T_UINT64 = 7, T_FIXED = 9, T_STRING = 18;

// The ERROR and WARNING lines of a run, and the lines that are not log lines
// at all (option errors, usage), in order.
std::vector<std::string> problemLines(const std::string& err) {
  std::vector<std::string> picked;
  for (const std::string& l : logLines(err)) {
    const bool logLine = l.rfind("TRACE ", 0) == 0 || l.rfind("DEBUG ", 0) == 0 ||
                         l.rfind("INFO ", 0) == 0;
    if (!logLine) picked.push_back(l);
  }
  return picked;
}

// Runs a shell command line in dir and captures its output like runProgram.
RunResult runShell(const std::string& line, const std::string& dir) {
  const std::string outPath = dir + "/.stdout";
  const std::string errPath = dir + "/.stderr";
  const std::string cmd = "cd " + shellQuote(dir) + " && ( " + line + " ) >" + shellQuote(outPath) +
                          " 2>" + shellQuote(errPath) + " </dev/null";
  RunResult r;
  const int raw = std::system(cmd.c_str());
  if (raw != -1 && WIFEXITED(raw)) r.status = WEXITSTATUS(raw);
  r.out = readFile(outPath);
  r.err = readFile(errPath);
  return r;
}

std::string repeat(const std::string& piece, std::size_t times) {
  std::string s;
  s.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) s += piece;
  return s;
}

// A heading of n columns c0..c(n-1) and its line feed.
std::string headingOf(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += (i ? ",c" : "c") + std::to_string(i);
  return s + "\n";
}

// A content line of n fields 1..n.
std::string rowOf(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += (i ? "," : "") + std::to_string(i + 1);
  return s + "\n";
}

std::string field(const MetadataFile& m, unsigned record, unsigned f) {
  const Description& d = m.fields.at(f);
  return m.records.substr(static_cast<std::size_t>(record) * m.recordLength + d.offset, d.length);
}

std::string text(const MetadataFile& m, unsigned record, unsigned f) {
  const std::string b = field(m, record, f);
  return b.substr(0, b.find('\0'));
}

uint64_t number(const MetadataFile& m, unsigned record, unsigned f) {
  const std::string b = field(m, record, f);
  return b.size() >= 8 ? le64(b, 0) : le32(b, 0);
}

struct HostileCase {
  std::string name;
  std::string csv;  // written to in.csv, converted to out.metadata
  int status;
  std::vector<std::string> problems;  // ERROR / WARNING / plain lines, in order
  bool output;                        // out.metadata exists
  std::function<void(const MetadataFile&)> check = nullptr;
  std::vector<std::string> args = {};
};

void runCases(const char* group, const std::vector<HostileCase>& cases) {
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(std::string(group) + "/" + c.name);
    const std::string dir = scratchDir(std::string("Hostile_") + group + "_" + c.name);
    const RunResult r = convertText(dir, c.csv, c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(joinLines(problemLines(r.err)), joinLines(c.problems));
    const std::string out = dir + "/out.metadata";
    ASSERT_EQ(fileExists(out), c.output);
    if (!c.output) continue;
    const MetadataFile m = parseMetadata(readFile(out));
    ASSERT_TRUE(m.valid);
    EXPECT_EQ(m.headerLength, 24u);
    EXPECT_EQ(m.descriptionLength, 24u);
    if (m.recordLength != 0) {
      EXPECT_EQ(m.records.size(), static_cast<std::size_t>(m.totalRecords) * m.recordLength);
    }
    if (c.check) c.check(m);
  }
}

void expectFields(const MetadataFile& m, const std::vector<std::pair<std::string, unsigned>>& nameType) {
  ASSERT_EQ(m.fields.size(), nameType.size());
  for (std::size_t i = 0; i < nameType.size(); ++i) {
    EXPECT_EQ(m.fields[i].name, nameType[i].first) << "field " << i;
    EXPECT_EQ(m.fields[i].type, nameType[i].second) << "field " << i;
  }
}

}  // namespace

TEST(HostileInput, LineStructure) {
  const std::string line65535 = "1,2" + std::string(65535 - 3, ',');
  runCases("lines", {
      {"empty_file", "", 0, {"WARNING Input \"in.csv\" is empty: no metadata file written"}, false},
      {"heading_only", "a,b\n", 0, {}, true,
       [](const MetadataFile& m) {
         expectFields(m, {{"a", T_FIXED}, {"b", T_FIXED}});
         EXPECT_EQ(m.totalRecords, 0u);
         EXPECT_EQ(m.records.size(), 0u);
       }},
      // The reader delivers complete lines only: a last line without a line
      // feed is not converted, and a warning says so.
      {"no_line_feed_at_all", "a,b", 0,
       {"WARNING Last line has no line feed: its 3 bytes were not converted"}, true,
       [](const MetadataFile& m) {
         EXPECT_EQ(m.totalFields, 0u);
         EXPECT_EQ(m.totalRecords, 0u);
       }},
      {"last_line_without_line_feed", "a,b\n1,x\n22,yy", 0,
       {"WARNING Last line has no line feed: its 5 bytes were not converted"}, true,
       [](const MetadataFile& m) {
         expectFields(m, {{"a", T_UINT32}, {"b", T_STRING}});
         ASSERT_EQ(m.totalRecords, 1u);
         EXPECT_EQ(text(m, 0, 1), "x");
       }},
      {"last_line_cr_without_line_feed", "a,b\n1,x\n2,y\r", 0,
       {"WARNING Last line has no line feed: its 4 bytes were not converted"}, true,
       [](const MetadataFile& m) { ASSERT_EQ(m.totalRecords, 1u); }},
      // CR alone does not end a line: the whole input would be one heading
      // with CRs inside its names.
      {"cr_only_line_ends", "a,b\r1,2\r3,4\r\n", 1,
       {"ERROR Heading line holds a carriage return: line ends of a carriage return alone are not "
        "supported"},
       false},
      {"cr_inside_the_last_heading", "a,b\rc\r\r\n1,2\r\n", 1,
       {"ERROR Heading line holds a carriage return: line ends of a carriage return alone are not "
        "supported"},
       false},
      {"mixed_crlf_and_lf", "a,b\r\n1,x\n2,y\r\n3,z\n", 0, {}, true,
       [](const MetadataFile& m) {
         expectFields(m, {{"a", T_UINT32}, {"b", T_STRING}});
         ASSERT_EQ(m.totalRecords, 3u);
         EXPECT_EQ(text(m, 1, 1), "y");
         EXPECT_EQ(m.fields[1].length, 8u);  // no CR kept in a field
       }},
      {"two_crs_before_line_feed", "a,b\n1,x\r\r\n", 0, {}, true,
       [](const MetadataFile& m) { EXPECT_EQ(text(m, 0, 1), "x"); }},
      {"line_of_65535_bytes", "a,b\n" + line65535 + "\n3,4\n", 0, {}, true,
       [](const MetadataFile& m) {
         expectFields(m, {{"a", T_UINT32}, {"b", T_UINT32}});
         ASSERT_EQ(m.totalRecords, 2u);
         EXPECT_EQ(number(m, 0, 1), 2u);
         EXPECT_EQ(number(m, 1, 0), 3u);
       }},
      {"line_of_65536_bytes", "a,b\n1,2\n" + line65535 + ",\n3,4\n", 1,
       {"WARNING Asked for zero bytes",
        "ERROR Line 3 is longer than 65535 bytes: the rest of the input was not read"},
       false},
      {"one_enormous_line", std::string(1 << 20, 'x'), 1,
       {"WARNING Asked for zero bytes",
        "ERROR Line 1 is longer than 65535 bytes: the rest of the input was not read"},
       false},
      // An empty line is a row of empty fields that adds no content flags: a
      // column that never held anything is fixed point.
      {"two_million_empty_lines", "a\n" + std::string(2000000, '\n'), 0, {}, true,
       [](const MetadataFile& m) {
         expectFields(m, {{"a", T_FIXED}});
         EXPECT_EQ(m.totalRecords, 2000000u);
         EXPECT_EQ(m.records.find_first_not_of('\0'), std::string::npos);
       }},
  });
}

TEST(HostileInput, QuotingAndBytes) {
  runCases("bytes", {
      {"quote_open_to_end_of_line", "a,b\n\"x,y\n", 0, {}, true,
       [](const MetadataFile& m) {
         expectFields(m, {{"a", T_STRING}, {"b", T_FIXED}});
         EXPECT_EQ(text(m, 0, 0), "x,y");
         EXPECT_EQ(number(m, 0, 1), 0u);
       }},
      {"backslash_before_closing_quote", "a,b\n\"ab\\\",c\n", 0, {}, true,
       [](const MetadataFile& m) { EXPECT_EQ(text(m, 0, 0), "ab\",c"); }},
      {"nul_inside_field_separates", std::string("a,b,c\nx\0y,z\n", 12), 0, {}, true,
       [](const MetadataFile& m) {
         ASSERT_EQ(m.totalRecords, 1u);
         EXPECT_EQ(text(m, 0, 0), "x");
         EXPECT_EQ(text(m, 0, 1), "y");
         EXPECT_EQ(text(m, 0, 2), "z");
       }},
      {"non_ascii_heading_and_content", "pr\xc3\xa9x,\xe2\x82\xac\x62\n\xff\xfe,1\n", 0, {}, true,
       [](const MetadataFile& m) {
         expectFields(m, {{"prx", T_STRING}, {"b", T_UINT32}});
         EXPECT_EQ(text(m, 0, 0), "\xff\xfe");
       }},
      {"heading_cleans_to_empty_name", "($),b\n1,2\n", 0,
       {"WARNING Column 0 has no name left after cleaning its heading; it is left out of the output"},
       true, [](const MetadataFile& m) { expectFields(m, {{"b", T_UINT32}}); }},
      {"duplicate_cleaned_names", "a b,a/b,a-b\n1,2,3\n", 0,
       {"WARNING Columns 0 and 1 have the same name \"a_b\"",
        "WARNING Columns 0 and 2 have the same name \"a_b\""},
       true,
       [](const MetadataFile& m) {
         expectFields(m, {{"a_b", T_UINT32}, {"a_b", T_UINT32}, {"a_b", T_UINT32}});
       }},
      // Names are cut to 15 characters before they are compared.
      {"names_equal_after_cut", "abcdefghijklmnopX,abcdefghijklmnopY\n1,2\n", 0,
       {"WARNING Columns 0 and 1 have the same name \"abcdefghijklmno\""}, true,
       [](const MetadataFile& m) { EXPECT_EQ(m.fields.size(), 2u); }},
      {"rename_onto_another_name", "a,b\n1,2\n", 0,
       {"WARNING Columns 0 and 1 have the same name \"b\""}, true,
       [](const MetadataFile& m) { expectFields(m, {{"b", T_UINT32}, {"b", T_UINT32}}); },
       {"--rename", "a", "b"}},
      {"hash_alone_as_heading", "#,b\n1,2\n", 0,
       {"WARNING Column 0 has no name left after cleaning its heading; it is left out of the output"},
       true, [](const MetadataFile& m) { expectFields(m, {{"b", T_UINT32}}); }},
      // Groups without a bit in the 64-bit masks: the field is in every record.
      {"optional_groups_0_and_65", "?x,?65y,a\n1,2,3\n,,4\n", 0,
       {"WARNING Optional field \"x\" has fieldGroup 0 outside 1..64; it is written in every record",
        "WARNING Optional field \"y\" has fieldGroup 65 outside 1..64; it is written in every record"},
       true,
       [](const MetadataFile& m) {
         ASSERT_EQ(m.fields.size(), 3u);
         EXPECT_EQ(m.fields[0].group, 0u);
         EXPECT_EQ(m.fields[1].group, 65u);
         EXPECT_EQ(m.recordLength, 0u);
         // Two records of 16 + 4 + 4 + 4 (+4 padding) bytes, all fields present.
         ASSERT_EQ(m.records.size(), 64u);
         EXPECT_EQ(le16(m.records, 0), 32u);
         EXPECT_EQ(le16(m.records, 32), 32u);
         EXPECT_EQ(le32(m.records, 32 + 16 + 8), 4u);
       }},
  });
}

TEST(HostileInput, ColumnCounts) {
  auto allColumns = [](int n) {
    return [n](const MetadataFile& m) {
      ASSERT_EQ(m.fields.size(), static_cast<std::size_t>(n));
      EXPECT_EQ(m.fields.back().name, "c" + std::to_string(n - 1));
      ASSERT_EQ(m.totalRecords, 1u);
      EXPECT_EQ(number(m, 0, static_cast<unsigned>(n - 1)), static_cast<uint64_t>(n));
    };
  };
  runCases("columns", {
      {"heading_127", headingOf(127) + rowOf(127), 0, {}, true, allColumns(127)},
      {"heading_128", headingOf(128) + rowOf(128), 0, {}, true, allColumns(128)},
      {"heading_129", headingOf(129) + rowOf(129), 1, {"ERROR Too many columns: 129 (at most 128)"},
       false},
      {"heading_1000", headingOf(1000) + rowOf(1000), 1,
       {"ERROR Too many columns: 1000 (at most 128)"}, false},
      {"content_127_under_2", headingOf(2) + rowOf(127), 0, {}, true, allColumns(2)},
      {"content_129_under_128", headingOf(128) + rowOf(129), 0, {}, true, allColumns(128)},
      {"content_1000_under_128", headingOf(128) + rowOf(1000), 0, {}, true, allColumns(128)},
      {"content_fewer_than_heading", "a,b,c\n1\n2,x\n", 0, {}, true,
       [](const MetadataFile& m) {
         expectFields(m, {{"a", T_UINT32}, {"b", T_STRING}, {"c", T_FIXED}});
         EXPECT_EQ(text(m, 0, 1), "");
         EXPECT_EQ(number(m, 1, 2), 0u);
       }},
  });
}

TEST(HostileInput, RecordLengthLimit) {
  const std::string w65527(65527, 'x');
  const std::string w40000(40000, 'y');
  runCases("record", {
      // 65527 + 1 rounds to 65528: the largest string field that fits.
      {"string_field_of_65528_bytes", "t\n" + w65527 + "\n", 0, {}, true,
       [](const MetadataFile& m) {
         ASSERT_EQ(m.fields.size(), 1u);
         EXPECT_EQ(m.fields[0].length, 65528u);
         EXPECT_EQ(m.recordLength, 65528u);
         EXPECT_EQ(text(m, 0, 0).size(), 65527u);
       }},
      {"string_field_of_65536_bytes", "t\n" + w65527 + "x\n", 1,
       {"ERROR Record too long at column \"t\": length 65536 exceeds 65535"}, false},
      // Each line is short, but the widest values of two columns add up.
      {"two_wide_columns_in_different_rows", "a,b\n" + w40000 + ",\n," + w40000 + "\n", 1,
       {"ERROR Record too long at column \"b\": length 80016 exceeds 65535"}, false},
      // Variable-length records carry a 16-byte header in front of the fields.
      {"record_header_counts", "t,?2u\n" + w65527 + ",1\n", 1,
       {"ERROR Record too long at column \"t\": length 65544 exceeds 65535"}, false},
  });
}

TEST(HostileInput, NumbersAtTheirLimits) {
  runCases("numbers", {
      {"twenty_digits_fit_uint64", "n\n18446744073709551615\n1\n", 0, {}, true,
       [](const MetadataFile& m) {
         expectFields(m, {{"n", T_UINT64}});
         EXPECT_EQ(number(m, 0, 0), 18446744073709551615u);
         EXPECT_EQ(number(m, 1, 0), 1u);
       }},
      {"twenty_digits_past_uint64", "n\n18446744073709551616\n", 0,
       {"WARNING Row 0 column 0 name=\"n\": value \"18446744073709551616\" does not fit its field "
        "of type 7"},
       true, [](const MetadataFile& m) { expectFields(m, {{"n", T_UINT64}}); }},
      {"twenty_one_digits", "n\n123456789012345678901\n", 0,
       {"WARNING Row 0 column 0 name=\"n\": value \"123456789012345678901\" does not fit its "
        "field of type 7"},
       true, [](const MetadataFile& m) { expectFields(m, {{"n", T_UINT64}}); }},
      // Leading zeros count against the parser's 20 digits.
      {"twenty_one_digits_leading_zero", "n\n000000000000000000001\n00000000000000000001\n", 0,
       {"WARNING Row 0 column 0 name=\"n\": value \"000000000000000000001\" does not fit its "
        "field of type 7"},
       true, [](const MetadataFile& m) { EXPECT_EQ(number(m, 1, 0), 1u); }},
      {"negative_twenty_digits", "n\n-9223372036854775808\n-9223372036854775809\n", 0,
       {"WARNING Row 1 column 0 name=\"n\": value \"-9223372036854775809\" does not fit its field "
        "of type 6"},
       true,
       [](const MetadataFile& m) {
         expectFields(m, {{"n", T_INT64}});
         EXPECT_EQ(number(m, 0, 0), uint64_t{1} << 63);
       }},
      {"fifteen_decimal_places", "x\n0.123456789012345\n", 0, {}, true,
       [](const MetadataFile& m) {
         expectFields(m, {{"x", T_FIXED}});
         EXPECT_EQ(number(m, 0, 0), 123456789012345u);
         EXPECT_EQ(le32(field(m, 0, 0), 8), 15u);
       }},
      {"seventeen_decimal_places", "x\n0.12345678901234567\n", 0,
       {"WARNING Row 0 column 0 name=\"x\": value \"0.12345678901234567\" does not fit its field "
        "of type 9"},
       true,
       [](const MetadataFile& m) {
         EXPECT_EQ(number(m, 0, 0), 123456789012345u);
         EXPECT_EQ(le32(field(m, 0, 0), 8), 15u);
       }},
      {"fixed_scaled_value_fits", "x\n1234.12345678901234\n", 0, {}, true,
       [](const MetadataFile& m) { EXPECT_EQ(number(m, 0, 0), 123412345678901234u); }},
      {"fixed_scaled_value_too_big", "x\n12345.123456789012345\n", 0,
       {"WARNING Row 0 column 0 name=\"x\": value \"12345.123456789012345\" does not fit its "
        "field of type 9"},
       true, nullptr},
  });
}

TEST(HostileInput, StandardInput) {
  const std::string dir = scratchDir("Hostile_stdin");
  // /dev/null: an empty input.
  RunResult r = runNarvelix({"--stdin", "-o", "out.metadata"}, dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(joinLines(problemLines(r.err)),
            "WARNING Input \"--stdin\" is empty: no metadata file written\n");
  EXPECT_FALSE(fileExists(dir + "/out.metadata"));

  // A pipe that delivers the text in pieces.
  r = runShell("{ printf 'a,b\\n1,'; sleep 0.2; printf 'x\\n2,y\\n'; } | " + targetCommand(shellQuote(NARVELIX_EXE)) +
                   " --stdin -o --stdout",
               dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(joinLines(problemLines(r.err)), "");
  const MetadataFile m = parseMetadata(r.out);
  ASSERT_TRUE(m.valid);
  expectFields(m, {{"a", T_UINT32}, {"b", T_STRING}});
  ASSERT_EQ(m.totalRecords, 2u);
  EXPECT_EQ(text(m, 1, 1), "y");
}

TEST(HostileInput, UnreadableInputs) {
  const std::string dir = scratchDir("Hostile_unreadable");
  ::mkdir((dir + "/folder.csv").c_str(), 0755);
  RunResult r = runNarvelix({"folder.csv"}, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(joinLines(problemLines(r.err)), "ERROR Could not read \"folder.csv\"\n");
  EXPECT_FALSE(fileExists(dir + "/folder.metadata"));

  r = runNarvelix({"missing.csv"}, dir);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(joinLines(problemLines(r.err)), "ERROR Could not open file \"missing.csv\"\n");
}

TEST(HostileInput, EndlessOrReusedInputs) {
  const std::string dir = scratchDir("Hostile_endless");
  // NUL bytes without end: no line feed ever comes, the reader stops at its
  // line limit.
  RunResult r = runNarvelix({"-o", "out.metadata", "/dev/zero"}, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(joinLines(problemLines(r.err)),
            "WARNING Asked for zero bytes\n"
            "ERROR Line 1 is longer than 65535 bytes: the rest of the input was not read\n");
  EXPECT_FALSE(fileExists(dir + "/out.metadata"));

  // Standard input is closed after its first conversion: the second one
  // cannot read it.
  writeFile(dir + "/in.csv", "a\n1\n");
  r = runNarvelix({"--stdin", "--stdin", "-o", "out.metadata"}, dir, dir + "/in.csv");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(joinLines(problemLines(r.err)), "ERROR Could not read \"--stdin\"\n");
  const MetadataFile m = parseMetadata(readFile(dir + "/out.metadata"));
  ASSERT_TRUE(m.valid);
  EXPECT_EQ(m.totalRecords, 1u);
}

TEST(HostileInput, UnwritableOutputs) {
  const std::string dir = scratchDir("Hostile_unwritable");
  writeFile(dir + "/in.csv", "a\n" + repeat("12345\n", 400));

  RunResult r = runNarvelix({"-o", "no/such/folder/out.metadata", "in.csv"}, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(joinLines(problemLines(r.err)),
            "ERROR Could not create \"no/such/folder/out.metadata\" to output meta data\n");

  // An empty -o name is no -o at all: the name comes from the input.
  r = runNarvelix({"-o", "", "in.csv"}, dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(joinLines(problemLines(r.err)), "");
  EXPECT_TRUE(fileExists(dir + "/in.metadata"));

  r = runNarvelix({"-o", ".", "in.csv"}, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(joinLines(problemLines(r.err)), "ERROR Could not create \".\" to output meta data\n");

  r = runNarvelix({"-o", "/dev/full", "in.csv"}, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(joinLines(problemLines(r.err)), "ERROR Could not write file header to \"/dev/full\"\n");

  // Standard output closed: "--stdout" cannot be written.
  r = runShell("exec " + targetCommand(shellQuote(NARVELIX_EXE)) + " -o --stdout in.csv >&-", dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(joinLines(problemLines(r.err)), "ERROR Could not write file header to \"--stdout\"\n");
}

namespace {

// Names in dir other than "." and "..".
std::set<std::string> folderNames(const std::string& dir) {
  std::set<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n != "." && n != "..") names.insert(n);
  }
  ::closedir(d);
  return names;
}

// Temporary files of the output named output in dir.
std::vector<std::string> temporaries(const std::string& dir,
                                     const std::string& output = "out.metadata") {
  const std::string prefix = "." + output + ".narvelix-tmp-";
  std::vector<std::string> found;
  for (const std::string& n : folderNames(dir)) {
    if (n.compare(0, prefix.size(), prefix) == 0) found.push_back(n);
  }
  return found;
}

// A narvelix run whose standard error is a pipe filled up before the start,
// so the run stops at its first log line until the test reads the pipe.
struct StoppedRun {
  pid_t pid = -1;
  int errFd = -1;
};

StoppedRun startWithFullStandardError(const std::string& dir, const std::vector<std::string>& args) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) std::abort();
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  const std::string block(4096, '.');
  while (::write(fds[1], block.data(), block.size()) > 0) {
  }
  while (::write(fds[1], ".", 1) > 0) {
  }
  ::fcntl(fds[1], F_SETFL, 0);  // the run's writes wait
  // Started by the shell, which then becomes the tool (or its emulator in a
  // cross build) with the same process id.
  const std::string line = "exec " + targetCommand(shellQuote(NARVELIX_EXE)) + " \"$@\"";
  std::vector<const char*> argv{"sh", "-c", line.c_str(), "sh"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  StoppedRun run;
  run.pid = ::fork();
  if (run.pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    if (::chdir(dir.c_str()) != 0 || null < 0) ::_exit(126);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(fds[1], 2);
    ::execv("/bin/sh", const_cast<char* const*>(argv.data()));
    ::_exit(127);
  }
  ::close(fds[1]);
  run.errFd = fds[0];
  return run;
}

// Waits (30 s at most) until a temporary file of out.metadata in dir holds
// more than headBytes, the header and descriptions: records are being written.
bool waitForRecords(const std::string& dir, std::size_t headBytes) {
  const timespec pause{0, 1000000};
  for (int i = 0; i < 30000; ++i) {
    for (const std::string& t : temporaries(dir)) {
      struct stat st;
      if (::stat((dir + "/" + t).c_str(), &st) == 0 && static_cast<std::size_t>(st.st_size) > headBytes) {
        return true;
      }
    }
    ::nanosleep(&pause, nullptr);
  }
  return false;
}

// Reads the rest of the run's standard error (the filler cut off) and waits
// for the run to end; returns the raw wait status.
int finishRun(StoppedRun& run, std::string* err) {
  char buffer[65536];
  ssize_t n;
  while ((n = ::read(run.errFd, buffer, sizeof buffer)) > 0) err->append(buffer, static_cast<std::size_t>(n));
  ::close(run.errFd);
  err->erase(0, err->find_first_not_of('.'));
  int status = 0;
  ::waitpid(run.pid, &status, 0);
  return status;
}

std::string narvelixLine(const std::string& args) {
  return targetCommand(shellQuote(NARVELIX_EXE)) + " " + args;
}

// The bytes of csv converted without incident (in folder dir/reference).
std::string referenceOutput(const std::string& dir, const std::string& csv) {
  const std::string ref = dir + "/reference";
  ::mkdir(ref.c_str(), 0755);
  const RunResult r = convertText(ref, csv);
  EXPECT_EQ(r.status, 0) << r.err;
  return readFile(ref + "/out.metadata");
}

}  // namespace

// A run stopped part-way while it writes records: killed, its input changed
// before the second read ends, or another run writing the same output starts
// and ends meanwhile. The killed and the failed run leave the previous
// out.metadata byte for byte (the killed run's temporary file is gone after
// the next run); the other run leaves the stopped run's temporary file alone.
TEST(HostileInput, InterruptedConversionKeepsPreviousOutput) {
  // 40000 rows fill two staging buffers of 8-byte records; the value too big
  // for 64 bits after them gives the first log line, where the run waits.
  const std::string csv = "n\n" + repeat("1\n", 40000) + "99999999999999999999\n" + repeat("2\n", 100);
  const std::string previous = "previous output, not a metadata file\n";
  const std::vector<std::string> args = {"-logmask", "app.info", "-o", "out.metadata", "in.csv"};
  const std::string warning =
      "WARNING Row 40000 column 0 name=\"n\": value \"99999999999999999999\" does not fit its field "
      "of type 7\n";
  auto expectConverted = [](const std::string& dir) {
    const MetadataFile m = parseMetadata(readFile(dir + "/out.metadata"));
    ASSERT_TRUE(m.valid);
    EXPECT_EQ(m.totalRecords, 40101u);
  };
  for (const std::string meanwhile : {"killed", "input_changed", "another_run"}) {
    SCOPED_TRACE(meanwhile);
    const std::string dir = scratchDir("Hostile_interrupted_" + meanwhile);
    writeFile(dir + "/in.csv", csv);
    writeFile(dir + "/out.metadata", previous);
    StoppedRun run = startWithFullStandardError(dir, args);
    const bool recordsWritten = waitForRecords(dir, 24 + 24);
    RunResult other;
    if (meanwhile == "killed") {
      ::kill(run.pid, SIGKILL);
    } else if (meanwhile == "input_changed") {
      std::ofstream(dir + "/in.csv", std::ios::app) << "3\n";
    } else {
      other = runNarvelix(args, dir);
      EXPECT_EQ(temporaries(dir).size(), 1u);
    }
    std::string err;
    const int status = finishRun(run, &err);
    ASSERT_TRUE(recordsWritten);
    if (meanwhile == "killed") {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
      EXPECT_EQ(readFile(dir + "/out.metadata"), previous);
      EXPECT_EQ(temporaries(dir).size(), 1u);
      other = runNarvelix(args, dir);
    } else if (meanwhile == "input_changed") {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
      EXPECT_EQ(joinLines(problemLines(err)),
                warning + "ERROR The input changed while it was read; \"out.metadata\" is not complete\n");
      EXPECT_EQ(readFile(dir + "/out.metadata"), previous);
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      EXPECT_EQ(joinLines(problemLines(err)), warning);
    }
    if (meanwhile != "input_changed") {
      EXPECT_EQ(other.status, 0);
      EXPECT_EQ(joinLines(problemLines(other.err)), warning);
      expectConverted(dir);
    }
    EXPECT_EQ(folderNames(dir), (std::set<std::string>{"in.csv", "out.metadata"}));
  }
}

// A full disk (a file size limit; SIGXFSZ ignored so that the write fails
// instead of killing the tool) while the metadata file or the header is
// written leaves the previous file of that name as it was.
TEST(HostileInput, FullDiskKeepsPreviousOutput) {
  struct Case {
    std::string name;
    std::string csv;
    int limitBlocks;  // ulimit -f: 512-byte blocks in dash, 1 KiB in bash
    std::string options;
    std::string output;  // the file the limit stops
    int status;
    std::string problem;  // start of the only problem line
  };
  const std::vector<Case> cases = {
      // The header and descriptions fit in one block, the records don't.
      {"metadata", "a\n" + repeat("12345\n", 400), 1, "", "out.metadata", 1,
       "ERROR Could not write record 0 to \"out.metadata\" wrote="},
      // 40 columns: the metadata file (1144 bytes) fits in 4 blocks, the
      // header (about 8 KiB) doesn't. A
      // header that failed does not change the exit status. The limit holds
      // for the captured standard error too: no info lines.
      {"header", headingOf(40) + rowOf(40), 4, "-logmask app.info --cpp ", "out.metadata.hpp", 0,
       "ERROR Could not write \"out.metadata.hpp\""},
  };
  const std::string previous = "previous output\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = scratchDir("Hostile_full_disk_" + c.name);
    writeFile(dir + "/in.csv", c.csv);
    writeFile(dir + "/" + c.output, previous);
    const RunResult r = runShell("trap '' XFSZ; ulimit -f " + std::to_string(c.limitBlocks) + "; exec " +
                                     narvelixLine(c.options + "-o out.metadata in.csv"),
                                 dir);
    EXPECT_EQ(r.status, c.status);
    const std::vector<std::string> problems = problemLines(r.err);
    ASSERT_EQ(problems.size(), 1u) << r.err;
    EXPECT_EQ(problems[0].rfind(c.problem, 0), 0u) << problems[0];
    EXPECT_EQ(readFile(dir + "/" + c.output), previous);
    EXPECT_TRUE(temporaries(dir, c.output).empty());
  }
}

// Outputs keep their kind: devices, FIFOs, symbolic links and files with
// further hard links are written in place; a replaced file has the permission
// bits (and owner) that writing in place would keep, a new one those of the
// umask; outputs refused before are refused still, and a folder that lets its
// existing file be written but no file be created gets it written in place.
// The refusals run as an ordinary user.
TEST(HostileInput, OutputsKeepTheirKind) {
  const std::string csv = "a,b\n1,x\n2,y\n";
  const std::string expected = referenceOutput(scratchDir("Hostile_kind_reference"), csv);
  const bool root = ::geteuid() == 0;
  const std::string asUser = root ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  const std::string convert = narvelixLine("-o out.metadata in.csv");
  auto isLinkTo = [](const std::string& path, const std::string& target) {
    char buffer[256] = {};
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    return n > 0 && std::string(buffer, static_cast<std::size_t>(n)) == target;
  };
  // The file's bytes and, unless 0, its permission bits.
  auto holds = [](const std::string& path, const std::string& bytes, unsigned mode = 0) {
    EXPECT_EQ(readFile(path), bytes) << path;
    struct stat st;
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    if (mode != 0) {
      EXPECT_EQ(st.st_mode & 0777u, mode) << path;
    }
  };
  struct Case {
    std::string name;
    std::string line;  // shell line run in the scratch folder
    int status;
    std::string problems;
    std::function<void(const std::string& dir)> check;
  };
  std::vector<Case> cases = {
      {"dev_null", narvelixLine("-o /dev/null in.csv"), 0, "",
       [](const std::string&) {
         struct stat st;
         ASSERT_EQ(::stat("/dev/null", &st), 0);
         EXPECT_TRUE(S_ISCHR(st.st_mode));
       }},
      {"fifo", "mkfifo out.metadata && { cat out.metadata >got & " + convert + "; s=$?; wait; exit $s; }",
       0, "",
       [&](const std::string& dir) {
         struct stat st;
         ASSERT_EQ(::lstat((dir + "/out.metadata").c_str(), &st), 0);
         EXPECT_TRUE(S_ISFIFO(st.st_mode));
         holds(dir + "/got", expected);
       }},
      {"symbolic_link", "mkdir real && echo old >real/x.metadata && ln -s real/x.metadata out.metadata && " + convert,
       0, "",
       [&](const std::string& dir) {
         EXPECT_TRUE(isLinkTo(dir + "/out.metadata", "real/x.metadata"));
         holds(dir + "/real/x.metadata", expected);
       }},
      {"dangling_symbolic_link", "ln -s made.metadata out.metadata && " + convert, 0, "",
       [&](const std::string& dir) {
         EXPECT_TRUE(isLinkTo(dir + "/out.metadata", "made.metadata"));
         holds(dir + "/made.metadata", expected);
       }},
      {"hard_link", "echo old >real.metadata && ln real.metadata out.metadata && " + convert, 0, "",
       [&](const std::string& dir) { holds(dir + "/real.metadata", expected); }},
      // Replaced whole like any regular file; the input was read before.
      {"output_is_the_input", narvelixLine("-o in.csv in.csv"), 0, "",
       [&](const std::string& dir) { holds(dir + "/in.csv", expected); }},
      {"new_file_takes_umask", "umask 027 && " + convert, 0, "",
       [&](const std::string& dir) { holds(dir + "/out.metadata", expected, 0640); }},
      {"existing_file_keeps_mode", "echo old >out.metadata && chmod 0604 out.metadata && umask 077 && " + convert,
       0, "", [&](const std::string& dir) { holds(dir + "/out.metadata", expected, 0604); }},
      {"flushed_to_disk", "echo old >out.metadata && NARVELIX_FSYNC=1 " + convert, 0, "",
       [&](const std::string& dir) { holds(dir + "/out.metadata", expected); }},
      {"read_only_file", "echo old >out.metadata && chmod 0444 out.metadata && chmod 0777 . && " + asUser + convert,
       1, "ERROR Could not create \"out.metadata\" to output meta data\n",
       [&](const std::string& dir) { holds(dir + "/out.metadata", "old\n", 0444); }},
      {"folder_without_new_files",
       "mkdir sub && echo old >sub/out.metadata && chmod 0666 sub/out.metadata && chmod 0555 sub && " + asUser +
           narvelixLine("-o sub/out.metadata in.csv"),
       0, "",
       [&](const std::string& dir) {
         holds(dir + "/sub/out.metadata", expected, 0666);
         ::chmod((dir + "/sub").c_str(), 0755);  // so that the scratch folder can be removed
       }},
  };
  if (root) {
    cases.push_back({"existing_file_keeps_owner", "echo old >out.metadata && chown 65534:65534 out.metadata && " + convert,
                     0, "", [&](const std::string& dir) {
                       struct stat st;
                       ASSERT_EQ(::stat((dir + "/out.metadata").c_str(), &st), 0);
                       EXPECT_EQ(st.st_uid, 65534u);
                       holds(dir + "/out.metadata", expected);
                     }});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = scratchDir("Hostile_kind_" + c.name);
    writeFile(dir + "/in.csv", csv);
    const RunResult r = runShell(c.line, dir);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(joinLines(problemLines(r.err)), c.problems);
    c.check(dir);
    for (const std::string& n : folderNames(dir)) EXPECT_EQ(n.find("narvelix-tmp"), std::string::npos) << n;
  }
}
