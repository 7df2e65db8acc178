// The narvelix command line through the executable: option grammar, usage and
// option errors, output naming, several inputs in one run, standard streams
// and the exit status.
#include <gtest/gtest.h>

#include <algorithm>

#include "apps/narvelix_test_util.hpp"

using namespace narvelix_test;

namespace {

const char SMALL_CSV[] = "id,name\n1,ab\n2,cd\n";

std::string usageText() {
  return std::string("usage: ") + NARVELIX_EXE +
         " [--cpp] [--dense] [--reorder] [-o outputFile] [--name structName] [--magic magicNumber] "
         "[{--delete srcColumn]} ...] [{--rename srcColumn destColumnName} ...] {[-i] fileName} "
         "[...]\n"
         "    --stdout recognized as output file name\n"
         "    --cpp emits C++ header describing format\n"
         "    --dense emits potentially unaligned data\n"
         "    --reorder reorganizes record layout for best alignment\n"
         "    --name allows structure name to be assigned, defaults to Tarquel\n"
         "    --magic allows assignment of magic number, defaults to METADATA\n"
         "    --rename allows columns to be renamed\n"
         "    --delete allows columns to be removed\n";
}

}  // namespace

TEST(NarvelixCli, NothingToDoExitsZeroWithoutOutput) {
  const std::string dir = scratchDir("NothingToDo");
  const std::vector<std::vector<std::string>> cases = {
      {}, {"+logmask", "app.debug"}, {"--cpp"},
      {"--dense", "--reorder", "-v", "-o", "x.metadata", "--name", "S"}};
  for (const auto& args : cases) {
    const RunResult r = runNarvelix(args, dir);
    EXPECT_EQ(r.status, 0) << args.size();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fileExists(dir + "/x.metadata"));
  }
}

TEST(NarvelixCli, HelpPrintsUsageAndConvertsNothing) {
  const std::string dir = scratchDir("Help");
  writeFile(dir + "/a.csv", SMALL_CSV);
  for (const char* word : {"--help", "-help", "-h"}) {
    const RunResult r = runNarvelix({"a.csv", word}, dir);
    EXPECT_EQ(r.status, 1) << word;
    EXPECT_EQ(r.err, usageText()) << word;
    EXPECT_FALSE(fileExists(dir + "/a.metadata")) << word;
  }
}

TEST(NarvelixCli, UnrecognizedOptionStopsBeforeAnyConversion) {
  const std::string dir = scratchDir("Unrecognized");
  writeFile(dir + "/a.csv", SMALL_CSV);
  for (const char* word : {"-x", "-", "--CPP", "--output=x"}) {
    const RunResult r = runNarvelix({"a.csv", word, "a.csv"}, dir);
    EXPECT_EQ(r.status, 1) << word;
    EXPECT_EQ(r.err, std::string(NARVELIX_EXE) + ": unrecognized option: \"" + word + "\"\n");
    EXPECT_FALSE(fileExists(dir + "/a.metadata")) << word;
  }
}

TEST(NarvelixCli, OptionWithoutItsArgumentIsAUsageError) {
  const std::string dir = scratchDir("MissingArgument");
  writeFile(dir + "/a.csv", SMALL_CSV);
  const std::vector<std::vector<std::string>> cases = {
      {"a.csv", "-o"},      {"a.csv", "--output"}, {"a.csv", "-i"},
      {"a.csv", "--input"}, {"a.csv", "--name"},   {"a.csv", "--magic"},
      {"a.csv", "--delete"}, {"a.csv", "--rename"}, {"a.csv", "--rename", "id"}};
  for (const auto& args : cases) {
    const RunResult r = runNarvelix(args, dir);
    const std::string& option = args.size() == 3 ? args[1] : args.back();
    EXPECT_EQ(r.status, 1) << option;
    EXPECT_EQ(r.err, std::string(NARVELIX_EXE) + ": option \"" + option + "\" requires an argument\n");
    EXPECT_FALSE(fileExists(dir + "/a.metadata"));
  }
}

TEST(NarvelixCli, MoreOverridesThanColumnsIsAnError) {
  const std::string dir = scratchDir("TooManyOverrides");
  writeFile(dir + "/a.csv", SMALL_CSV);
  std::vector<std::string> args;
  for (int i = 0; i < 128; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "c%d", i);
    args.push_back("--delete");
    args.push_back(name);
  }
  args.push_back("a.csv");
  RunResult r = runNarvelix(args, dir);
  EXPECT_EQ(r.status, 0) << r.err;  // 128 fit
  args.insert(args.begin(), {"--rename", "x", "y"});
  r = runNarvelix(args, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("too many --delete/--rename options (at most 128)"), std::string::npos);
}

TEST(NarvelixCli, OutputNameFollowsTheInputName) {
  const std::string dir = scratchDir("OutputNaming");
  ASSERT_EQ(std::system(("mkdir -p '" + dir + "/dir.old'").c_str()), 0);
  struct Case {
    const char* input;
    const char* output;
  };
  const Case cases[] = {
      {"a.csv", "a.metadata"},           {"x.CSV", "x.metadata"},
      {"x.Csv", "x.Csv.metadata"},       {"data.txt", "data.txt.metadata"},
      {"dir.old/file", "dir.old/file.metadata"}, {"noext", "noext.metadata"},
      {"two.csv.csv", "two.csv.metadata"}, {"trail.", "trail..metadata"},
  };
  for (const Case& c : cases) {
    writeFile(dir + "/" + c.input, SMALL_CSV);
    const RunResult r = runNarvelix({c.input}, dir);
    EXPECT_EQ(r.status, 0) << c.input << r.err;
    EXPECT_TRUE(fileExists(dir + "/" + c.output)) << c.input;
  }
}

TEST(NarvelixCli, OneOutputNameServesEveryInput) {
  const std::string dir = scratchDir("OneOutput");
  writeFile(dir + "/a.csv", "a\n1\n");
  writeFile(dir + "/b.csv", "b,c\n2,3\n4,5\n");
  const RunResult r = runNarvelix({"-o", "same.metadata", "a.csv", "--cpp", "b.csv"}, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  const MetadataFile m = parseMetadata(readFile(dir + "/same.metadata"));
  ASSERT_TRUE(m.valid);
  EXPECT_EQ(m.totalFields, 2u);  // the last input wins
  EXPECT_EQ(m.totalRecords, 2u);
  EXPECT_NE(readFile(dir + "/same.metadata.hpp").find(" c;"), std::string::npos);
  EXPECT_FALSE(fileExists(dir + "/a.metadata"));
}

TEST(NarvelixCli, ExitStatusCombinesTheInputs) {
  const std::string dir = scratchDir("ExitStatus");
  writeFile(dir + "/good.csv", SMALL_CSV);
  // Group 2's first field empty and its second filled: a conversion error.
  writeFile(dir + "/bad.csv", "id,?2a,?2b\n1,,x\n");
  struct Case {
    std::vector<std::string> inputs;
    int status;
  };
  const Case cases[] = {
      {{"good.csv"}, 0},
      {{"bad.csv"}, 1},
      {{"missing.csv"}, 255},
      {{"missing.csv", "good.csv"}, 255},
      {{"bad.csv", "missing.csv"}, 255},
      {{"good.csv", "bad.csv", "good.csv"}, 1},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.inputs;
    args.insert(args.begin(), {"-o", "out.metadata"});
    const RunResult r = runNarvelix(args, dir);
    EXPECT_EQ(r.status, c.status) << c.inputs.front() << r.err;
  }
  const RunResult r = runNarvelix({"missing.csv", "good.csv"}, dir);
  EXPECT_EQ(linesWithLabel(r.err, "ERROR"),
            std::vector<std::string>{"ERROR Could not open file \"missing.csv\""});
  EXPECT_TRUE(fileExists(dir + "/good.metadata"));
}

TEST(NarvelixCli, MagicNumberIsCutToItsFieldAndTheNameKeptWhole) {
  const std::string dir = scratchDir("MagicAndName");
  writeFile(dir + "/a.csv", SMALL_CSV);
  struct Case {
    const char* magic;
    std::string stored;     // 8 bytes in the file header
    const char* inHeader;   // text in the C++ header
  };
  const Case cases[] = {
      {"AB", std::string("AB\0\0\0\0\0\0", 8), "AB"},
      {"ABCDEFGHIJ", "ABCDEFGH", "ABCDEFGH"},
      {"EXACTLY8", "EXACTLY8", "EXACTLY8"},
  };
  const std::string longName(64, 'N');  // the longest name taken
  for (const Case& c : cases) {
    const RunResult r =
        runNarvelix({"--magic", c.magic, "--name", longName, "--cpp", "-o", "m.metadata", "a.csv"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(dir + "/m.metadata").substr(0, 8), c.stored) << c.magic;
    const std::string hpp = readFile(dir + "/m.metadata.hpp");
    EXPECT_NE(hpp.find(std::string("= {\"") + c.inHeader + "\"};"), std::string::npos) << hpp;
    EXPECT_NE(hpp.find("struct " + longName + "_MetaDataRecord {"), std::string::npos);
  }
}

TEST(NarvelixCli, NameMustBeACppIdentifier) {
  const std::string dir = scratchDir("NameIdentifier");
  writeFile(dir + "/a.csv", SMALL_CSV);
  writeFile(dir + "/b.csv", SMALL_CSV);
  struct Case {
    std::string name;
    bool accepted;
  };
  const Case cases[] = {
      {"Trade", true},          {"_x9", true},
      {"a_B_3", true},          {std::string(64, 'n'), true},
      {"", false},              {"9lives", false},
      {"has space", false},     {"dash-ed", false},
      {"caf\xC3\xA9", false},   {std::string(65, 'n'), false},
      {"class", false},         {"and_eq", false},
      {"co_await", false},      {"char8_t", false},
      {"Class", true},          {"classes", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The option stands after the first input: no input of the run is converted.
    const RunResult r = runNarvelix({"a.csv", "--cpp", "--name", c.name, "b.csv"}, dir);
    const bool written = fileExists(dir + "/a.metadata") || fileExists(dir + "/b.metadata") ||
                         fileExists(dir + "/a.metadata.hpp");
    if (c.accepted) {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_NE(readFile(dir + "/b.metadata.hpp").find("struct " + c.name + "_MetaDataRecord {"),
                std::string::npos);
    } else {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err,
                std::string(NARVELIX_EXE) + ": --name \"" + c.name + "\" is not a C++ identifier\n");
      EXPECT_FALSE(written);
    }
    ASSERT_EQ(std::system(("rm -f '" + dir + "'/*.metadata '" + dir + "'/*.hpp").c_str()), 0);
  }
}

TEST(NarvelixCli, RenameAndDeleteOverrides) {
  const std::string dir = scratchDir("Overrides");
  writeFile(dir + "/a.csv", "#id,Unit Price ($),comment,keep\n1,2.5,x,y\n");
  const RunResult r = runNarvelix({"--rename", "Unit_Price_", "abcdefghijklmnopqrstuvw", "--delete",
                                   "comment", "--delete", "nothing", "a.csv"},
                                  dir);
  ASSERT_EQ(r.status, 0) << r.err;
  const MetadataFile m = parseMetadata(readFile(dir + "/a.metadata"));
  ASSERT_EQ(m.fields.size(), 3u);
  EXPECT_EQ(m.fields[0].name, "id");
  EXPECT_EQ(m.fields[1].name, "abcdefghijklmno");
  EXPECT_EQ(m.fields[2].name, "keep");
  const std::vector<std::string> info = linesWithLabel(r.err, "INFO");
  EXPECT_NE(std::find(info.begin(), info.end(),
                      "INFO Rename \"Unit_Price_\" to \"abcdefghijklmno\""),
            info.end());
  EXPECT_NE(std::find(info.begin(), info.end(), "INFO Rename \"comment\" to \"\""), info.end());
}

TEST(NarvelixCli, DashNamesAndStandardStreams) {
  const std::string dir = scratchDir("Streams");
  writeFile(dir + "/-odd.csv", SMALL_CSV);
  RunResult r = runNarvelix({"-i", "-odd.csv"}, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string viaFile = readFile(dir + "/-odd.metadata");
  EXPECT_EQ(parseMetadata(viaFile).totalRecords, 2u);

  // --stdin reads standard input; "--stdout" as output writes to standard
  // output, and stays usable for a second conversion in the same run.
  r = runNarvelix({"--stdin", "-o", "--stdout", "--input", "-odd.csv"}, dir, dir + "/-odd.csv");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, viaFile + viaFile);

  // Without -o, standard input converts into "--stdin.metadata".
  r = runNarvelix({"--stdin", "-v"}, dir, dir + "/-odd.csv");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(dir + "/--stdin.metadata"), viaFile);
}

TEST(NarvelixCli, VerboseRunLogsEachStepInOrder) {
  const std::string dir = scratchDir("VerboseLog");
  writeFile(dir + "/a.csv", "#id,?2note,x y\n1,hi,2\n3,,4\n");
  const RunResult r = runNarvelix({"-v", "--cpp", "--rename", "x_y", "xy", "a.csv"}, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(joinLines(logLines(r.err)),
            "INFO i=0 ALWAYS useName=\"id\"\n"
            "INFO defined optional field name=note fieldGroup=2\n"
            "INFO i=2 ALWAYS useName=\"x_y\"\n"
            "INFO Rename \"x_y\" to \"xy\"\n"
            "INFO recordLength=16\n"
            "INFO output fileName=\"a.metadata\"\n"
            "INFO selectedFieldTotal=3\n"
            "INFO Total rows=2 bytes=96\n"
            "INFO lines processed 3\n"
            "INFO header a.metadata.hpp\n");
}

TEST(NarvelixCli, TraceFlagsShowTheScanAndTheEncoding) {
  const std::string dir = scratchDir("TraceLog");
  writeFile(dir + "/a.csv", "n,?2t\n-1.,\n");
  const RunResult r = runNarvelix({"+logmask", "app.trace", "a.csv"}, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(joinLines(logLines(r.err)),
            "TRACE parsedHeadingLine fieldTotal=2 overrideTotal=0\n"
            "INFO i=0 ALWAYS useName=\"n\"\n"
            "INFO defined optional field name=t fieldGroup=2\n"
            "TRACE parsedCount=2\n"
            "TRACE Content row=0 col=0 data=-1.\n"
            "TRACE Saw - in field 0\n"
            "TRACE Saw numbers in field 0\n"
            "TRACE Saw decimal in field 0\n"
            "TRACE Col 1 was null\n"
            "TRACE mask=116 maxWidth=3\n"
            "TRACE Inferred n to be type \"9\"\n"
            "TRACE selected 0 offset=0 fieldLen=16\n"
            "TRACE mask=2 maxWidth=0\n"
            "TRACE Inferred t to be type \"0\"\n"
            "TRACE selected 1 offset=16 fieldLen=4\n"
            "INFO output fileName=\"a.metadata\"\n"
            "TRACE Indicate group 1 in use\n"
            "TRACE field=-1. inputLength=3 type=9 offset=0 length=12 fieldLen=16 "
            "data=ffffffffffffffff00000000\n"
            "TRACE input field 1 name=t was null\n"
            "TRACE field= inputLength=0 type=18 offset=16 length=0 fieldLen=0 data=\n"
            "INFO lines processed 2\n");
}
