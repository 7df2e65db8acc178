// The narvelix executable run on one table of cases: option grammar and usage
// errors, output naming, several inputs in one run, standard streams, type
// inference and layout, heading names and groups, odd line ends, lines and
// records at the format's limits, numbers too big for their field, and
// outputs that keep their kind or are replaced whole. Each case states the
// exit status, the lines of stderr other than INFO/DEBUG/TRACE, and the
// output as narvelix-dump shows it (layout line, then the records as CSV).
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "test_support.hpp"

using namespace narvelix_test;

namespace {

struct Case {
  std::string name;
  std::string csv;   // written to in.csv
  std::string line;  // options before "-o out.metadata in.csv", or a shell line where '@' starts narvelix
  int status;
  std::string problems;  // "*": not compared
  std::string out;       // dumpOf(outFile); "*": not compared, "?": in the golden file
  std::string outFile = "out.metadata";
  std::string dumpArgs = "";
  std::function<void(const std::string& dir, const RunResult& r)> check = nullptr;
};

// Temporary files the tool left in dir.
std::vector<std::string> temporaries(const std::string& dir) {
  std::vector<std::string> found;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      if (std::string(e->d_name).find(".narvelix-tmp-") != std::string::npos) found.push_back(e->d_name);
    }
    ::closedir(d);
  }
  return found;
}

// Runs every case; the outputs given as "?" are compared together with the
// golden file tests/golden/runs_<test name>.txt.
void runCases(const std::vector<Case>& runs) {
  std::string golden;
  for (const Case& c : runs) {
    SCOPED_TRACE(c.name);
    const std::string dir = scratchDir("Runs_" + c.name);
    writeFile(dir + "/in.csv", c.csv);
    std::string line = c.line.find('@') == std::string::npos ? "@ " + c.line + " -o out.metadata in.csv" : c.line;
    line = replaceAll(line, "@", tool(NARVELIX_EXE));
    const RunResult r = runShell(line, dir);
    const std::string problems = replaceAll(problemLines(r.err), NARVELIX_EXE, "narvelix");
    const std::string out = dumpOf(dir + "/" + c.outFile, c.dumpArgs);
    EXPECT_EQ(r.status, c.status);
    if (c.problems != "*") {
      EXPECT_EQ(problems, c.problems);
    }
    if (c.out == "?") golden += "== " + c.name + "\n" + out + "\n";
    if (c.out != "*" && c.out != "?") {
      EXPECT_EQ(out, c.out);
    }
    if (c.check) c.check(dir, r);
    EXPECT_EQ(temporaries(dir), std::vector<std::string>{});
  }
  if (!golden.empty()) {
    expectGolden(golden, std::string("runs_") + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                             ".txt");
  }
}

std::string repeat(const std::string& piece, std::size_t times) {
  std::string s;
  for (std::size_t i = 0; i < times; ++i) s += piece;
  return s;
}

// A heading of n columns c0..c(n-1), then a line of the values 1..n.
std::string headingAndRow(int heading, int row) {
  std::string s;
  for (int i = 0; i < heading; ++i) s += (i ? ",c" : "c") + std::to_string(i);
  s += "\n";
  for (int i = 0; i < row; ++i) s += (i ? "," : "") + std::to_string(i + 1);
  return s + "\n";
}

const char USAGE[] =
    "usage: narvelix [--cpp] [--dense] [--reorder] [-o outputFile] [--name structName] [--magic magicNumber] "
    "[{--delete srcColumn]} ...] [{--rename srcColumn destColumnName} ...] {[-i] fileName} [...]\n"
    "    --stdout recognized as output file name\n"
    "    --cpp emits C++ header describing format\n"
    "    --dense emits potentially unaligned data\n"
    "    --reorder reorganizes record layout for best alignment\n"
    "    --name allows structure name to be assigned, defaults to Tarquel\n"
    "    --magic allows assignment of magic number, defaults to METADATA\n"
    "    --rename allows columns to be renamed\n"
    "    --delete allows columns to be removed\n";
const char SMALL[] = "id,name\n1,ab\n2,cd\n";
const char SMALL_OUT[] = "fixed 16 records 2, id 1 UINT32 0 4, name 1 STRING 4 8\nid,name\n1,ab\n2,cd\n";
const char NO_FILE[] = "(no file)";

void hasText(const std::string& path, const std::string& text) {
  EXPECT_NE(readFile(path).find(text), std::string::npos) << path << " lacks " << text;
}

}  // namespace

TEST(NarvelixRuns, CommandLine) {
  std::vector<Case> runs = {
      {"nothing", SMALL, "@", 0, "", NO_FILE},
      {"nothing_logmask", SMALL, "@ +logmask app.debug", 0, "", NO_FILE},
      {"trace_through_writer_thread", SMALL, "@ +logthread +logmask app.trace -o out.metadata in.csv", 0, "*",
       SMALL_OUT, "out.metadata", "",
       [](const std::string&, const RunResult& r) {
         EXPECT_NE(r.err.find(" TRACE parsedHeadingLine fieldTotal=2 "), std::string::npos) << r.err;
       }},
      {"nothing_options", SMALL, "@ --dense --reorder -v -o out.metadata --name S", 0, "", NO_FILE},
      {"help", SMALL, "@ in.csv --help", 1, USAGE, NO_FILE, "in.metadata"},
      {"help_h", SMALL, "@ in.csv -h", 1, USAGE, NO_FILE, "in.metadata"},
      {"empty_output_name", SMALL, "@ -o '' in.csv", 0, "", SMALL_OUT, "in.metadata"},
      {"stdin_default_name", SMALL, "@ --stdin -v <in.csv", 0, "", SMALL_OUT, "--stdin.metadata"},
      {"dash_name", SMALL, "cp in.csv ./-odd.csv && @ -i -odd.csv", 0, "", SMALL_OUT, "-odd.metadata"},
      {"stdout_twice", SMALL, "@ --stdin -o --stdout --input in.csv <in.csv >both && @ in.csv", 0, "", SMALL_OUT,
       "in.metadata", "",
       [](const std::string& dir, const RunResult&) {
         EXPECT_EQ(readFile(dir + "/both"), repeat(readFile(dir + "/in.metadata"), 2));
       }},
      {"one_output_for_every_input", SMALL, "printf 'b,c\\n2,3\\n' >b.csv && @ -o same.metadata in.csv --cpp b.csv",
       0, "", "?", "same.metadata", "",
       [](const std::string& dir, const RunResult&) {
         hasText(dir + "/same.metadata.hpp", " c;");
         EXPECT_FALSE(fileExists(dir + "/in.metadata"));
       }},
      {"rename_and_delete", "#id,Unit Price ($),comment,keep\n1,2.5,x,y\n",
       "--rename Unit_Price_ abcdefghijklmnopqrstuvw --delete comment --delete nothing", 0, "",
       "?"},
      {"rename_onto_another_name", "a,b\n1,2\n", "--rename a b", 0, "WARNING Columns 0 and 1 have the same name \"b\"\n",
       "?"},
      {"stdin_empty", "", "@ --stdin -o out.metadata", 0,
       "WARNING Input \"--stdin\" is empty: no metadata file written\n", NO_FILE},
      {"stdin_in_pieces", "", "{ printf 'a,b\\n1,'; sleep 0.2; printf 'x\\n2,y\\n'; } | @ --stdin -o --stdout >out.metadata",
       0, "", "?"},
      {"stdin_closed_after_first_use", "a\n1\n", "@ --stdin --stdin -o out.metadata <in.csv", 1,
       "ERROR Could not read \"--stdin\"\n", "?"},
      {"missing_input", SMALL, "@ missing.csv in.csv", 255, "ERROR Could not open file \"missing.csv\"\n", SMALL_OUT,
       "in.metadata"},
      {"folder_as_input", SMALL, "mkdir folder.csv && @ folder.csv", 1, "ERROR Could not read \"folder.csv\"\n",
       NO_FILE, "folder.metadata"},
      {"endless_input", "", "@ -o out.metadata /dev/zero", 1,
       "WARNING Asked for zero bytes\nERROR Line 1 is longer than 65535 bytes: the rest of the input was not read\n",
       NO_FILE},
  };
  for (const char* word : {"-x", "-", "--CPP", "--output=x"}) {
    runs.push_back({std::string("unrecognized") + word, SMALL, std::string("@ in.csv ") + word + " in.csv", 1,
                    std::string("narvelix: unrecognized option: \"") + word + "\"\n", NO_FILE, "in.metadata"});
  }
  for (const char* option : {"-o", "--output", "-i", "--input", "--name", "--magic", "--delete", "--rename"}) {
    runs.push_back({std::string("missing_argument") + option, SMALL, std::string("@ in.csv ") + option, 1,
                    std::string("narvelix: option \"") + option + "\" requires an argument\n", NO_FILE,
                    "in.metadata"});
  }
  runs.push_back({"missing_rename_target", SMALL, "@ in.csv --rename id", 1,
                  "narvelix: option \"--rename\" requires an argument\n", NO_FILE, "in.metadata"});
  std::string deletes;
  for (int i = 0; i < 128; ++i) deletes += " --delete c" + std::to_string(i);
  runs.push_back({"overrides_128", SMALL, "@" + deletes + " in.csv", 0, "", SMALL_OUT, "in.metadata"});
  runs.push_back({"overrides_129", SMALL, "@ --rename x y" + deletes + " in.csv", 1,
                  "narvelix: too many --delete/--rename options (at most 128)\n", NO_FILE, "in.metadata"});
  // Output names follow the input name.
  const std::vector<std::pair<std::string, std::string>> names = {
      {"a.csv", "a.metadata"},         {"x.CSV", "x.metadata"},           {"x.Csv", "x.Csv.metadata"},
      {"data.txt", "data.txt.metadata"}, {"d.old/file", "d.old/file.metadata"}, {"noext", "noext.metadata"},
      {"two.csv.csv", "two.csv.metadata"}, {"trail.", "trail..metadata"}};
  for (const auto& [input, output] : names) {
    runs.push_back({"name_" + input.substr(input.find('/') + 1), SMALL,
                    "mkdir -p d.old && cp in.csv " + input + " && @ " + input, 0, "", SMALL_OUT, output});
  }
  // The exit status of several inputs: 255 when one could not be opened, else
  // 1 when one failed; group 2's first field empty and its second filled fails.
  const std::string bad = "printf 'id,?2a,?2b\\n1,,x\\n' >bad.csv && @ -o o.metadata ";
  for (const auto& [inputs, status] : std::vector<std::pair<std::string, int>>{
           {"bad.csv", 1}, {"missing.csv in.csv", 255}, {"bad.csv missing.csv", 255}, {"in.csv bad.csv in.csv", 1}}) {
    runs.push_back({"status_" + inputs, SMALL, bad + inputs, status, "*", "*"});
  }
  runCases(runs);
}

TEST(NarvelixRuns, MagicAndStructName) {
  const std::string dir = testDir();
  writeFile(dir + "/a.csv", SMALL);
  const std::string longName(64, 'N');  // the longest name taken
  for (const auto& [magic, stored] : std::vector<std::pair<std::string, std::string>>{
           {"AB", std::string("AB\0\0\0\0\0\0", 8)}, {"ABCDEFGHIJ", "ABCDEFGH"}, {"EXACTLY8", "EXACTLY8"}}) {
    const RunResult r =
        runNarvelix({"--magic", magic, "--name", longName, "--cpp", "--dense", "-o", "m.metadata", "a.csv"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(dir + "/m.metadata").substr(0, 8), stored) << magic;
    hasText(dir + "/m.metadata.hpp", "= {\"" + stored.substr(0, stored.find('\0')) + "\"};");
    // Dense: packed to single bytes, texts as wide as their fields.
    hasText(dir + "/m.metadata.hpp", "#pragma pack(push,1)\nstruct " + longName + "_MetaDataRecord {");
    hasText(dir + "/m.metadata.hpp", " name[2];");
  }
  // A struct name must be a C++ identifier of at most 64 characters that is
  // not a keyword; the option stands after the first input, and no input of
  // the run is converted when it is refused.
  for (const auto& [name, accepted] : std::vector<std::pair<std::string, bool>>{
           {"_x9", true}, {std::string(64, 'n'), true}, {"Class", true}, {"classes", true},
           {"", false}, {"9lives", false}, {"dash-ed", false}, {"caf\xC3\xA9", false},
           {std::string(65, 'n'), false}, {"class", false}, {"and_eq", false}, {"co_await", false},
           {"char8_t", false}}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(std::system(("rm -f '" + dir + "'/*.metadata '" + dir + "'/*.hpp").c_str()), 0);
    const RunResult r = runNarvelix({"a.csv", "--cpp", "--name", name, "a.csv"}, dir);
    EXPECT_EQ(r.status, accepted ? 0 : 1);
    EXPECT_EQ(fileExists(dir + "/a.metadata.hpp"), accepted);
    if (!accepted) {
      EXPECT_EQ(r.err, std::string(NARVELIX_EXE) + ": --name \"" + name + "\" is not a C++ identifier\n");
    }
  }
}

TEST(NarvelixRuns, TypesAndLayout) {
  std::vector<Case> layouts;
  // One column's values (a second column keeps an empty value from being an
  // empty line): its type and length.
  for (const auto& [values, layout] : std::vector<std::pair<std::string, std::string>>{
           {"123456789", "UINT32 0 4"},   {"1234567890", "UINT64 0 8"},  {"-12345678", "INT32 0 4"},
           {"-123456789", "INT64 0 8"},   {"-", "STRING 0 8"},           {"1.5", "FIXED 0 16"},
           {"+1", "FIXED 0 16"},          {"", "STRING 0 4"},            {"abcdefg", "STRING 0 8"},
           {"abcdefgh", "STRING 0 16"},   {"a\nabcdefghijklmno", "STRING 0 16"}, {"\n42", "UINT32 0 4"}}) {
    layouts.push_back({"type_" + std::to_string(layouts.size()), "col,z\n" + replaceAll(values, "\n", ",1\n") + ",1\n",
                       "", 0, "", "*", "out.metadata", "",
                       [want = layout](const std::string& dir, const RunResult&) {
                         const std::string d = dumpOf(dir + "/out.metadata", "--head 0");
                         EXPECT_NE(d.find(", col 1 " + want + ","), std::string::npos) << d;
                       }});
  }
  layouts.insert(layouts.end(), {
      {"offsets", "a,b,c\n1,12345678901,2\n", "", 0, "",
       "?"},
      {"delete", "a,b,c\n1,x,2\n", "--delete b", 0, "", "?"},
      // Widest first; equal widths keep heading order.
      {"reorder", "s,w,t\nabc,abcdefghijkl,xyz\n", "--reorder", 0, "",
       "?"},
      {"every_column_deleted", "a\n1\n2\n", "--delete a", 0, "", "?"},
      {"encodings",
       "u,i,big,neg,price,s,blank\n7,-3,12345678901,-12345678901,12.50,abc,\n,,,,,,\n\"4\"\"2\",5,1,-1,-0.25,\"x,y\"\n",
       "", 0, "",
       "?"},
      // Numbers come back normalised, texts as the splitter leaves them.
      {"normalised_values",
       "id,big,delta,wide,price,rate,name,mixed,note\n"
       "1,12345678901234567890,-5,-9223372036854775808,12.50,+3,plain,\"x\"\"y\",\n"
       "0042,0,12,123,-0.05,12.,\"a,b\",ab\"cd\"ef,\n"
       "999999999,18446744073709551615,-00017,-1,.75,7,\"say \\\"hi\\\"\",  spaced  ,\n"
       "7,00000000000000000001,-0,-0000000000000000042,-100.000,-0.5,\\n,tab\there,\n",
       "", 0, "", "?"},
      {"no_content", "a,b,c\n", "", 0, "",
       "?"},
      {"empty_heading_line", "\n", "", 0, "", "?"},
  });
  runCases(layouts);
}

TEST(NarvelixRuns, HostileInput) {
  const std::string line65535 = "1,2" + std::string(65535 - 3, ',');
  const std::string w65527(65527, 'x');
  const std::string w40000(40000, 'y');
  const std::string twoCr =
      "ERROR Heading line holds a carriage return: line ends of a carriage return alone are not supported\n";
  const std::string tooLong = "WARNING Asked for zero bytes\nERROR Line 3 is longer than 65535 bytes: the rest of the "
                              "input was not read\n";
  const std::string noName =
      "WARNING Column 0 has no name left after cleaning its heading; it is left out of the output\n";
  auto notFit = [](const std::string& row, const std::string& value, int type) {
    return "WARNING Row " + row + " column 0 name=\"" + std::string(1, value[0]) + "\": value \"" + value.substr(2) +
           "\" does not fit its field of type " + std::to_string(type) + "\n";
  };
  runCases({
      // Line structure: the reader delivers complete lines only.
      {"empty_file", "", "", 0, "WARNING Input \"in.csv\" is empty: no metadata file written\n", NO_FILE},
      {"no_line_feed_at_all", "a,b", "", 0, "WARNING Last line has no line feed: its 3 bytes were not converted\n", "?"},
      {"last_line_without_line_feed", "a,b\n1,x\n22,yy", "", 0,
       "WARNING Last line has no line feed: its 5 bytes were not converted\n", "?"},
      {"last_line_cr_without_line_feed", "a,b\n1,x\n2,y\r", "", 0,
       "WARNING Last line has no line feed: its 4 bytes were not converted\n", "?"},
      // CR alone does not end a line.
      {"cr_only_line_ends", "a,b\r1,2\r3,4\r\n", "", 1, twoCr, NO_FILE},
      {"cr_inside_the_last_heading", "a,b\rc\r\r\n1,2\r\n", "", 1, twoCr, NO_FILE},
      {"mixed_crlf_and_lf", "a,b\r\n1,x\n2,y\r\n3,z\n", "", 0, "", "?"},
      {"two_crs_before_line_feed", "a,b\n1,x\r\r\n", "", 0, "", "?"},
      {"two_crs_after_a_number", "a\n1\r\r\n2\n", "", 0, "", "?"},
      {"line_of_65535_bytes", "a,b\n" + line65535 + "\n3,4\n", "", 0, "", "?"},
      // The long line does not fit behind the first two and is read again
      // into the buffer's front, where the first block held other bytes.
      {"long_line_moved_to_the_buffer_front", "a,b\n1,2\n3," + std::string(65530, 'z') + "\n", "--delete b", 0,
       "", "fixed 8 records 2, a 1 UINT32 0 4\na\n1\n3\n"},
      {"line_of_65536_bytes", "a,b\n1,2\n" + line65535 + ",\n3,4\n", "", 1, tooLong, NO_FILE},
      {"one_enormous_line", std::string(1 << 20, 'x'), "", 1, replaceAll(tooLong, "Line 3", "Line 1"), NO_FILE},
      {"enormous_last_line_without_line_feed", "a,b\n1,2\n" + std::string(1 << 18, 'x'), "", 1, tooLong, NO_FILE},
      // An empty line is a row of empty fields that adds no content flags.
      {"two_million_empty_lines", "a\n" + std::string(2000000, '\n'), "", 0, "", "?", "out.metadata", "--head 2"},
      // Quoting and bytes.
      {"quote_open_to_end_of_line", "a,b\n\"x,y\n", "", 0, "", "?"},
      {"backslash_before_closing_quote", "a,b\n\"ab\\\",c\n", "", 0, "", "?"},
      {"nul_inside_field_separates", std::string("a,b,c\nx\0y,z\n", 12), "", 0, "", "?"},
      {"non_ascii_heading_and_content", "pr\xc3\xa9x,\xe2\x82\xac\x62\n\xff\xfe,1\n", "", 0, "", "?"},
      {"heading_cleans_to_empty_name", "($),b\n1,2\n", "", 0, noName, "?"},
      {"hash_alone_as_heading", "#,b\n1,2\n", "", 0, noName, "?"},
      {"duplicate_cleaned_names", "a b,a/b,a-b\n1,2,3\n", "", 0,
       "WARNING Columns 0 and 1 have the same name \"a_b\"\nWARNING Columns 0 and 2 have the same name \"a_b\"\n", "?"},
      {"names_equal_after_cut", "abcdefghijklmnopX,abcdefghijklmnopY\n1,2\n", "", 0,
       "WARNING Columns 0 and 1 have the same name \"abcdefghijklmno\"\n", "?"},
      // Column counts around the 128-column limit.
      {"heading_128", headingAndRow(128, 128), "", 0, "", "?"},
      {"heading_129", headingAndRow(129, 129), "", 1, "ERROR Too many columns: 129 (at most 128)\n", NO_FILE},
      {"heading_1000", headingAndRow(1000, 1000), "", 1, "ERROR Too many columns: 1000 (at most 128)\n", NO_FILE},
      {"content_127_under_2", headingAndRow(2, 127), "", 0, "", "?"},
      {"content_1000_under_3", headingAndRow(3, 1000), "", 0, "", "?"},
      {"content_fewer_than_heading", "a,b,c\n1\n2,x\n", "", 0, "", "?"},
      // Records at the 65535-byte limit; variable-length records count their
      // 16-byte header.
      {"string_field_of_65528_bytes", "t\n" + w65527 + "\n", "", 0, "", "?", "out.metadata", "--head 0"},
      {"string_field_of_65536_bytes", "t\n" + w65527 + "x\n", "", 1,
       "ERROR Record too long at column \"t\": length 65536 exceeds 65535\n", NO_FILE},
      {"two_wide_columns_in_different_rows", "a,b\n" + w40000 + ",\n," + w40000 + "\n", "--cpp", 1,
       "ERROR Record too long at column \"b\": length 80016 exceeds 65535\nERROR No header written to "
       "\"out.metadata.hpp\": the input was not converted\n",
       NO_FILE, "out.metadata.hpp"},
      {"record_header_counts", "t,?2u\n" + w65527 + ",1\n", "", 1,
       "ERROR Record too long at column \"t\": length 65544 exceeds 65535\n", NO_FILE},
      // Numbers at their limits.
      {"twenty_digits_fit_uint64", "n\n18446744073709551615\n1\n", "", 0, "", "?"},
      {"twenty_digits_past_uint64", "n\n18446744073709551616\n", "", 0, notFit("0", "n 18446744073709551616", 7), "?"},
      {"twenty_one_digits", "n\n123456789012345678901\n", "", 0, notFit("0", "n 123456789012345678901", 7), "?"},
      // The number is found before the quote in the line's next 64 bytes
      // sends the line to the general splitter: still one warning.
      {"too_big_before_a_later_quote", "n,t\n99999999999999999999," + std::string(70, 'x') + "\"q\"\n", "", 0,
       notFit("0", "n 99999999999999999999", 7), "?"},
      {"twenty_one_digits_leading_zero", "n\n000000000000000000001\n00000000000000000001\n", "", 0,
       notFit("0", "n 000000000000000000001", 7), "?"},
      {"nineteen_digits_past_int64", "n\n-1\n9999999999999999999\n", "", 0, notFit("1", "n 9999999999999999999", 6),
       "?"},
      {"negative_twenty_digits", "n\n-9223372036854775808\n-9223372036854775809\n", "", 0,
       notFit("1", "n -9223372036854775809", 6), "?"},
      {"fifteen_decimal_places", "x\n0.123456789012345\n", "", 0, "", "?"},
      {"sixteen_decimal_places", "x\n0.1234567890123456\n", "", 0, notFit("0", "x 0.1234567890123456", 9), "?"},
      {"seventeen_decimal_places", "x\n0.12345678901234567\n", "", 0, notFit("0", "x 0.12345678901234567", 9), "?"},
      {"fixed_scaled_value_fits", "x\n1234.12345678901234\n", "", 0, "", "?"},
      {"fixed_scaled_value_too_big", "x\n12345.123456789012345\n", "", 0, notFit("0", "x 12345.123456789012345", 9),
       "?"},
  });
  // Warnings from rows spread over the chunks of a four-thread conversion
  // come out once each and in row order, as one thread writes them. The
  // group column makes the records variable-length, so each chunk is encoded
  // twice (a counting pass first): a message not held back shows twice.
  std::string rows = "n,?2g\n", warnings;
  for (int row = 0; row < 400; ++row) {
    const bool big = row % 25 == 3;
    rows += (big ? "99999999999999999999" : std::to_string(row)) + ",1\n";
    if (big) warnings += notFit(std::to_string(row), "n 99999999999999999999", 7);
  }
  runCases({{"warnings_of_many_chunks", rows, "NARVELIX_THREADS=4 @ -o out.metadata in.csv", 0, warnings, "*"}});
}

TEST(NarvelixRuns, HeadingsAndGroups) {
  std::vector<Case> runs;
  auto outside = [](const std::string& name, const std::string& group) {
    return "WARNING Optional field \"" + name + "\" has fieldGroup " + group +
           " outside 1..64; it is written in every record\n";
  };
  for (const auto& [heading, message] : std::vector<std::pair<std::string, std::string>>{
           {"#id", ""},
           {"Unit Price ($)", ""},
           {"a-b/c&d+e\tf", ""},
           {"abcdefghijklmnopqrst", ""},
           {"\xC3\xA9t\xC3\xA9", ""},
           {"?3note", ""},
           {"#?64last", ""},
           {"?257x", ""},
           {"?1x", "ERROR Using fieldGroup 1 for an optional field is not recommended; field=\"x\"\n"},
           {"?note", outside("note", "0")},
           {"?65big", outside("big", "65")},
           {"?12345678901x", outside("x", "0")}}) {
    runs.push_back({"heading_" + std::to_string(runs.size()), "keep," + heading + "\n1,2\n", "", 0, message, "?"});
  }
  // Group rules of variable-length records: id | ?2a ?2b | ?3c.
  const char* rows[] = {"1,xa,xb,5", "1,,,", "1,xa,,", "1,,xb,", "1,,,7"};
  for (const char* row : rows) {
    runs.push_back({std::string("groups_") + row, std::string("id,?2a,?2b,?3c\n") + row + "\n", "", 0, "", "?"});
  }
  runs[runs.size() - 3].problems =
      "WARNING Row 0 field group 2 has had prior content but is missing column 2 name=\"b\"; zero-filled field will be "
      "output\n";
  runs[runs.size() - 2].status = 1;
  runs[runs.size() - 2].problems =
      "ERROR Row 0 field group 2 has had content skipped before column 2 name=\"b\"; field must be deleted from output\n";
  runs.push_back({"groups_across_rows", "id,name,?2qty,?2unit,?3price\n1,first,5,kg,9.99\n2,second,,,\n"
                  "3,third,,,0.10\n4,fourth,12,box,\n", "", 0, "", "?"});
  // Groups without a mask bit are in every record, also when the ordinary
  // fields of a row are all empty.
  runs.push_back({"groups_without_mask_bit", "id,?2qty,?note,?65tag,?70m\n1,5,hello,t1,3\n2,,,t2,\n,7,only,,6\n",
                  "", 0, outside("note", "0") + outside("tag", "65") + outside("m", "70"), "?"});
  runCases(runs);
}

// Outputs keep their kind: devices, FIFOs, symbolic links and files with
// further hard links are written in place; a replaced file has the permission
// bits (and owner) that writing in place would keep, a new one those of the
// umask; a full disk (a file size limit, SIGXFSZ ignored) leaves the previous
// file as it was. The refusals run as an ordinary user.
TEST(NarvelixRuns, OutputsKeepTheirKind) {
  const std::string csv = "a,b\n1,x\n2,y\n";
  const std::string dumped = "fixed 16 records 2, a 1 UINT32 0 4, b 1 STRING 4 8\na,b\n1,x\n2,y\n";
  const bool root = ::geteuid() == 0;
  const std::string asUser = root ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  auto kind = [](const std::string& path, unsigned type, unsigned mode = 0) {
    struct stat st;
    ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & S_IFMT, type) << path;
    if (mode != 0) {
      EXPECT_EQ(st.st_mode & 0777u, mode) << path;
    }
  };
  auto linkTo = [](const std::string& target) {
    return [target](const std::string& dir, const RunResult&) {
      char buffer[256] = {};
      const ssize_t n = ::readlink((dir + "/out.metadata").c_str(), buffer, sizeof buffer - 1);
      EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0), target);
    };
  };
  const std::string convert = "@ -o out.metadata in.csv";
  std::vector<Case> runs = {
      {"dev_null", csv, "@ -o /dev/null in.csv", 0, "", NO_FILE, "out.metadata", "",
       [&](const std::string&, const RunResult&) { kind("/dev/null", S_IFCHR); }},
      {"fifo", csv, "mkfifo out.metadata && { cat out.metadata >got & " + convert + "; s=$?; wait; exit $s; }", 0, "",
       dumped, "got", "", [&](const std::string& dir, const RunResult&) { kind(dir + "/out.metadata", S_IFIFO); }},
      {"symbolic_link", csv, "mkdir real && echo old >real/x.metadata && ln -s real/x.metadata out.metadata && " + convert,
       0, "", dumped, "real/x.metadata", "", linkTo("real/x.metadata")},
      {"dangling_symbolic_link", csv, "ln -s made.metadata out.metadata && " + convert, 0, "", dumped, "made.metadata",
       "", linkTo("made.metadata")},
      {"hard_link", csv, "echo old >real.metadata && ln real.metadata out.metadata && " + convert, 0, "", dumped,
       "real.metadata"},
      {"output_is_the_input", csv, "@ -o in.csv in.csv", 0, "", dumped, "in.csv"},
      {"new_file_takes_umask", csv, "umask 027 && " + convert, 0, "", dumped, "out.metadata", "",
       [&](const std::string& dir, const RunResult&) { kind(dir + "/out.metadata", S_IFREG, 0640); }},
      {"existing_file_keeps_mode", csv, "echo old >out.metadata && chmod 0604 out.metadata && umask 077 && " + convert,
       0, "", dumped, "out.metadata", "",
       [&](const std::string& dir, const RunResult&) { kind(dir + "/out.metadata", S_IFREG, 0604); }},
      {"flushed_to_disk", csv, "echo old >out.metadata && NARVELIX_FSYNC=1 " + convert, 0, "", dumped},
      {"read_only_file", csv, "echo old >out.metadata && chmod 0444 out.metadata && chmod 0777 . && " + asUser + convert,
       1, "ERROR Could not create \"out.metadata\" to output meta data\n", "*", "out.metadata", "",
       [&](const std::string& dir, const RunResult&) {
         EXPECT_EQ(readFile(dir + "/out.metadata"), "old\n");
         kind(dir + "/out.metadata", S_IFREG, 0444);
       }},
      {"folder_without_new_files", csv,
       "mkdir sub && echo old >sub/out.metadata && chmod 0666 sub/out.metadata && chmod 0555 sub && " + asUser +
           "@ -o sub/out.metadata in.csv",
       0, "", dumped, "sub/out.metadata", "",
       [&](const std::string& dir, const RunResult&) {
         kind(dir + "/sub/out.metadata", S_IFREG, 0666);
         ::chmod((dir + "/sub").c_str(), 0755);  // so that the scratch folder can be removed
       }},
      {"no_such_folder", csv, "@ -o no/such/out.metadata in.csv", 1,
       "ERROR Could not create \"no/such/out.metadata\" to output meta data\n", NO_FILE},
      {"folder_as_output", csv, "@ -o . in.csv", 1, "ERROR Could not create \".\" to output meta data\n", NO_FILE},
      {"device_full", csv, "@ -o /dev/full in.csv", 1, "ERROR Could not write file header to \"/dev/full\"\n", NO_FILE},
      {"stdout_closed", csv, "exec @ -o --stdout in.csv >&-", 1,
       "ERROR Could not write file header to \"--stdout\"\n", NO_FILE},
      // ulimit -f counts 512-byte blocks in dash: the header and descriptions
      // fit in one, the records don't.
      {"full_disk_metadata", "a\n" + repeat("12345\n", 400),
       "echo previous >out.metadata && trap '' XFSZ && ulimit -f 1 && exec " + convert, 1, "*", "*", "out.metadata", "",
       [](const std::string& dir, const RunResult& r) {
         EXPECT_EQ(problemLines(r.err).rfind("ERROR Could not write record 0 to \"out.metadata\" wrote=", 0), 0u);
         EXPECT_EQ(readFile(dir + "/out.metadata"), "previous\n");
       }},
      // 40 columns: the metadata file (1144 bytes) fits in 4 blocks, the header
      // doesn't; a header that failed does not change the exit status.
      {"full_disk_header", headingAndRow(40, 40),
       "echo previous >out.metadata.hpp && trap '' XFSZ && ulimit -f 4 && exec @ -logmask app.info --cpp -o out.metadata in.csv", 0,
       "ERROR Could not write \"out.metadata.hpp\"\n", "*", "out.metadata", "",
       [](const std::string& dir, const RunResult&) {
         EXPECT_EQ(readFile(dir + "/out.metadata.hpp"), "previous\n");
       }},
  };
  if (root) {
    runs.push_back({"existing_file_keeps_owner", csv, "echo old >out.metadata && chown 65534:65534 out.metadata && " +
                                                          convert,
                    0, "", dumped, "out.metadata", "", [](const std::string& dir, const RunResult&) {
                      struct stat st;
                      ASSERT_EQ(::stat((dir + "/out.metadata").c_str(), &st), 0);
                      EXPECT_EQ(st.st_uid, 65534u);
                    }});
  }
  runCases(runs);
}

namespace {

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
  const std::string line = "exec " + tool(NARVELIX_EXE) + words(args);
  StoppedRun run;
  run.pid = ::fork();
  if (run.pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    if (::chdir(dir.c_str()) != 0 || null < 0) ::_exit(126);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(fds[1], 2);
    ::execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  run.errFd = fds[0];
  return run;
}

// Waits (30 s at most) until a temporary file of out.metadata in dir holds
// more than the header and descriptions: records are being written.
bool waitForRecords(const std::string& dir) {
  const timespec pause{0, 1000000};
  for (int i = 0; i < 30000; ++i) {
    for (const std::string& t : temporaries(dir)) {
      struct stat st;
      if (::stat((dir + "/" + t).c_str(), &st) == 0 && st.st_size > 48) return true;
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

}  // namespace

// A run stopped part-way while it writes records: killed, its input changed
// before the second read ends, or another run writing the same output starts
// and ends meanwhile. The killed and the failed run leave the previous
// out.metadata byte for byte (the killed run's temporary file is gone after
// the next run); the other run leaves the stopped run's temporary file alone.
TEST(NarvelixRuns, InterruptedConversionKeepsPreviousOutput) {
  // 40000 rows fill two staging buffers of 8-byte records; the value too big
  // for 64 bits after them gives the first log line, where the run waits.
  const std::string csv = "n\n" + repeat("1\n", 40000) + "99999999999999999999\n" + repeat("2\n", 100);
  const std::string previous = "previous output, not a metadata file\n";
  const std::vector<std::string> args = {"-logmask", "app.info", "-o", "out.metadata", "in.csv"};
  const std::string warning =
      "WARNING Row 40000 column 0 name=\"n\": value \"99999999999999999999\" does not fit its field of type 7\n";
  for (const std::string meanwhile : {"killed", "input_changed", "another_run"}) {
    SCOPED_TRACE(meanwhile);
    const std::string dir = scratchDir("Runs_interrupted_" + meanwhile);
    writeFile(dir + "/in.csv", csv);
    writeFile(dir + "/out.metadata", previous);
    StoppedRun run = startWithFullStandardError(dir, args);
    const bool recordsWritten = waitForRecords(dir);
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
      EXPECT_EQ(problemLines(err),
                warning + "ERROR The input changed while it was read; \"out.metadata\" is not complete\n");
      EXPECT_EQ(readFile(dir + "/out.metadata"), previous);
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      EXPECT_EQ(problemLines(err), warning);
    }
    if (meanwhile != "input_changed") {
      EXPECT_EQ(other.status, 0);
      EXPECT_EQ(problemLines(other.err), warning);
      EXPECT_EQ(dumpOf(dir + "/out.metadata", "--head 0"), "fixed 8 records 40101, n 1 UINT64 0 8\nn\n");
    }
    EXPECT_TRUE(temporaries(dir).empty());
  }
}
