// Reader framework behaviour: line rules of the text loop across read sizes
// and the 65536-byte buffer edge, header handling, read errors, the fixed-block
// loop, File_Buffer offsets, opening with the standard-stream names, file-type
// selection and the path search.
#include "utils/io/read_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "io/read_file_test_support.hpp"

using namespace narvelix_test;

namespace {

using Lines = std::vector<std::string>;

const size_t CHUNK_SIZES[] = {1, 2, 3, 7, 65536};

// One input read with every chunk size: the lines delivered (and the heading
// lines when the first line is a heading), the loop's result, and the hooks.
struct LineCase {
  const char* name;
  std::string input;
  Lines lines;
  int result = -1;  // -1: the number of lines
  bool hasHeader = false;
  int headerResult = 2;  // 2 also passes the heading on as a line
  Lines headers = {};
  long failAt = -1;  // reads fail (-5) from this offset on
};

const LineCase LINE_CASES[] = {
    {"lf", "a\nbc\n", {"a", "bc"}},
    {"crlf", "a\r\nbc\r\n", {"a", "bc"}},
    {"two cr keep one", "a\r\r\n", {"a\r"}},
    {"inner cr kept", "a\rb\n", {"a\rb"}},
    {"lone cr line is empty", "\r\n", {""}},
    {"empty lines counted", "\n\nx\n\n", {"", "", "x", ""}},
    {"final line without lf dropped", "one\ntwo", {"one"}},
    {"final cr without lf dropped", "one\r\ntwo\r", {"one"}},
    {"no lf at all", "abc", {}},
    {"nul bytes pass", std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
    {"empty input calls no hook", "", {}},
    {"heading passed on", "h\r\na\nb\n", {"h", "a", "b"}, 3, true, 2, {"h"}},
    {"heading kept back", "h\r\na\nb\n", {"a", "b"}, 3, true, 0, {"h"}},
    {"first read fails: result passed up, no hooks", "ab\ncd\nef\n", {}, -5, false, 2, {}, 0},
    {"later read fails: lines so far completed", "ab\ncd\nef\n", {"ab", "cd"}, 2, false, 2, {}, 6},
};

TEST(ReadFileLines, LineRulesAtEveryReadSize) {
  for (const LineCase& c : LINE_CASES) {
    for (size_t chunk : CHUNK_SIZES) {
      SCOPED_TRACE(std::string(c.name) + " chunk=" + std::to_string(chunk));
      MemorySource src;
      src.data = c.input;
      src.chunk = chunk;
      src.failAtOffset = c.failAt;
      RecordingReader reader(&src);
      reader.headerResult = c.headerResult;
      const int result = c.result == -1 ? static_cast<int>(c.lines.size()) : c.result;
      EXPECT_EQ(reader.readAndProcessTextLines(c.hasHeader), result);
      EXPECT_EQ(reader.lines, c.lines);
      EXPECT_EQ(reader.headers, c.headers);
      const int hooks = c.input.empty() || c.failAt == 0 ? 0 : 1;
      EXPECT_EQ(reader.begins, hooks);
      EXPECT_EQ(reader.completions, hooks);
      EXPECT_EQ(reader.completedWith, hooks != 0 ? result : -1);
      EXPECT_EQ(reader.noted, c.input.substr(0, static_cast<size_t>(c.failAt)));  // every byte read
    }
  }
}

// Lines whose ends fall just before, at and just after the 65536-byte buffer
// size, read in one go, in odd chunks and through a real file.
TEST(ReadFileLines, LinesAcrossTheBufferEdge) {
  const size_t edge = Read_And_Process_File::TEXT_LINE_BUFFER_SIZE;
  for (size_t shift : {size_t{0}, size_t{1}, size_t{2}, size_t{3}}) {
    std::string input;
    Lines expected;
    // The LF of the second line sits at stream offset edge - 2 + shift (the
    // line itself stays below the limit); later lines of varied lengths cross
    // the next read boundaries too.
    input += "p\n";
    expected.push_back("p");
    std::string second(edge - 4 + shift, 'x');
    second[0] = 'A';
    input += second + "\n";
    expected.push_back(second);
    for (int i = 0; i < 2000; ++i) {
      std::string line(static_cast<size_t>((i * 37) % 101), static_cast<char>('a' + i % 26));
      input += line + (i % 3 == 0 ? "\r\n" : "\n");
      expected.push_back(line);
    }
    for (size_t chunk : {size_t{65536}, size_t{65535}, size_t{4099}}) {
      MemorySource src;
      src.data = input;
      src.chunk = chunk;
      RecordingReader reader(&src);
      EXPECT_EQ(reader.readAndProcessTextLines(false), static_cast<int>(expected.size()));
      EXPECT_TRUE(reader.lines == expected) << "shift=" << shift << " chunk=" << chunk;
    }
    const std::string name = writeFile(testDir() + "/edge.txt", input);
    RecordingReader fileReader(Read_And_Process_File::openFile(name.c_str(), Read_And_Process_File::READ_NORMAL));
    EXPECT_EQ(fileReader.readAndProcessTextLines(false), static_cast<int>(expected.size()));
    EXPECT_TRUE(fileReader.lines == expected) << "file, shift=" << shift;
  }
}

TEST(ReadFileBlocks, DeliversWholeBlocksOnly) {
  struct Case {
    std::string input;
    size_t recordLen;
    Lines blocks;
  };
  const Case cases[] = {
      {"abcdefghij", 4, {"abcd", "efgh"}},
      {"abcdefgh", 4, {"abcd", "efgh"}},
      {"abc", 4, {}},
      {"abcdef", 1, {"a", "b", "c", "d", "e", "f"}},
      {"", 8, {}},     // empty input: no hook
      {"abc", 0, {}},  // zero length: no hook
  };
  for (const Case& c : cases) {
    for (size_t chunk : CHUNK_SIZES) {
      MemorySource src;
      src.data = c.input;
      src.chunk = chunk;
      RecordingReader reader(&src);
      EXPECT_EQ(reader.readAndProcessBlocksFromFile(c.recordLen), static_cast<int>(c.blocks.size()));
      EXPECT_EQ(reader.blocks, c.blocks) << c.input << " chunk=" << chunk;
      EXPECT_EQ(reader.begins, c.input.size() >= 3 && c.recordLen > 0 ? 1 : 0);
      EXPECT_EQ(reader.completedWith, reader.begins ? static_cast<int>(c.blocks.size()) : -1);
    }
  }
}

TEST(FileBuffer, DiscardMovesOwnedDataOnly) {
  File_Buffer owned(8);
  std::memcpy(owned.buffer, "abcdef", 6);
  owned.adjustBufferEnd(6);
  owned.adjustBufferStart(2);
  owned.discardInitialBytes(1);  // drops "ab" and "c"
  EXPECT_EQ(owned.startBufferOffset, 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(owned.buffer), owned.endBufferOffset), "def");

  unsigned char storage[8] = {'a', 'b', 'c', 'd', 'e', 'f', 0, 0};
  File_Buffer pinned(storage, sizeof storage, 6, File_Buffer::EXTERNAL_STORAGE | File_Buffer::EXTERNAL_NO_MOVE);
  pinned.adjustBufferStart(2);
  pinned.discardInitialBytes(1);  // no data moves
  EXPECT_EQ(pinned.startBufferOffset, 3u);
  EXPECT_EQ(storage[0], 'a');
  pinned.discardInitialBytes(3);  // everything used: both offsets return to 0
  EXPECT_EQ(pinned.startBufferOffset + pinned.endBufferOffset, 0u);
}

TEST(ReadFileOpen, StandardStreamNamesOpenNothing) {
  const std::string dir = testDir();
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(dir.c_str()), 0);
  using R = Read_And_Process_File;
  const std::pair<const char*, R::ReadModes> names[] = {
      {"--stdin", R::READ_NORMAL}, {"--stdout", R::WRITE_TRUNCATE}, {"--stderr", R::WRITE_APPEND}};
  for (int fd = 0; fd < 3; ++fd) {
    R named(names[fd].first, names[fd].second);
    EXPECT_EQ(named.descriptor, fd) << names[fd].first;
    named.descriptor = -1;  // keep the test's own streams open
    EXPECT_NE(::access(names[fd].first, F_OK), 0) << names[fd].first << " must not be created";
  }
  ASSERT_EQ(::chdir(cwd), 0);
}

TEST(ReadFileOpen, ModesAndFailures) {
  const std::string dir = testDir();
  const std::string existing = writeFile(dir + "/existing.txt", "old content");
  const std::string missing = dir + "/missing.txt";
  using R = Read_And_Process_File;
  EXPECT_EQ(R::openFile(missing.c_str(), R::READ_NORMAL), -1);
  EXPECT_EQ(R::openFile(missing.c_str(), R::WRITE), -1);  // WRITE needs an existing file
  // Each mode writes one piece: truncating, appending, then in place.
  const std::pair<R::ReadModes, const char*> writes[] = {
      {R::WRITE_TRUNCATE, "new"}, {R::WRITE_APPEND, "+"}, {R::WRITE, "N"}};
  for (const auto& [mode, piece] : writes) {
    const int fd = R::openFile(existing.c_str(), mode);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::write(fd, piece, std::strlen(piece)), static_cast<ssize_t>(std::strlen(piece)));
    EXPECT_EQ(R::closeFile(fd, mode), 0);
  }
  EXPECT_EQ(readFile(existing), "New+");
  const mode_t oldMask = ::umask(022);
  const int fd = R::openFile((dir + "/created.txt").c_str(), R::WRITE_APPEND);
  ::umask(oldMask);
  ASSERT_GE(fd, 0);
  R::closeFile(fd, R::WRITE_APPEND);
  struct stat st;
  ASSERT_EQ(::stat((dir + "/created.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(R::closeFile(-1, R::READ_NORMAL), -1);
  for (const char* name : {static_cast<const char*>(nullptr), "", missing.c_str()}) {
    Read_And_Process_File reader(name);
    EXPECT_EQ(reader.readAndProcessTextLines(false), -1);  // read on -1 fails at once
  }
}

// ---- file-type selection ----

int gzipRoutine(Read_And_Process_File*, unsigned char*, uint32_t) { return 0; }
int lz4Routine(Read_And_Process_File*, unsigned char*, uint32_t) { return 0; }

using Selector = Read_And_Process_File::FileTypeReaderSelector;
// The third row tests the first and the last of the 16 probed bytes only.
const Selector TYPE_TABLE[] = {
    {&gzipRoutine, "gzip", Read_And_Process_File::READ_ZLIB, 0x0003, {0x1f, 0x8b}},
    {&lz4Routine, "lz4", Read_And_Process_File::READ_LZ4, 0x000F, {0x04, 0x22, 0x4d, 0x18}},
    {&gzipRoutine, "ends", Read_And_Process_File::READ_ZLIB, 0x8001, {0x1f, 0, 0, 0, 0, 0, 0, 0,
                                                                      0, 0, 0, 0, 0, 0, 0, 'Z'}},
    {&Read_And_Process_File::defaultReadRoutine, "plain", Read_And_Process_File::READ_NORMAL, 0, {}},
    {nullptr, "", Read_And_Process_File::READ_GUESS, 0, {}},
};

TEST(ReadFileType, SelectsRowByLeadingBytes) {
  const std::string d = testDir() + "/";
  const std::string gz = writeFile(d + "a.gz", std::string("\x1f\x8b\x08\x00", 4) + std::string(20, 'g'));
  const std::string lz = writeFile(d + "a.lz4", std::string("\x04\x22\x4d\x18", 4) + std::string(12, 'z'));
  const std::string text = writeFile(d + "a.txt", "just some text, long enough\n");
  const std::string shortFile = writeFile(d + "short", std::string("\x1f\x8b", 2) + "abc");
  const std::string endsHit = writeFile(d + "s1", std::string("\x1f") + std::string(14, '.') + "Z");
  const std::string endsMiss = writeFile(d + "s2", std::string("\x1f") + std::string(15, '.'));
  const std::pair<std::string, const Selector*> cases[] = {
      {gz, &TYPE_TABLE[0]},
      {lz, &TYPE_TABLE[1]},  // exactly 16 bytes long
      {endsHit, &TYPE_TABLE[2]},
      {endsMiss, &TYPE_TABLE[3]},
      {text, &TYPE_TABLE[3]},
      {shortFile, nullptr},  // fewer than 16 bytes
      {d + "missing", nullptr},
      {"--stdin", nullptr},  // never probed
      {"--stderr", nullptr},
  };
  for (const auto& [name, expected] : cases) {
    EXPECT_EQ(Read_And_Process_File::findTypeOfFile(name.c_str(), TYPE_TABLE), expected) << name;
  }
  EXPECT_EQ(Read_And_Process_File::findTypeOfFile(text.c_str(), &TYPE_TABLE[4]), nullptr);  // empty table
  // The standard streams stay open after a probe.
  EXPECT_NE(::fcntl(0, F_GETFD), -1);
  EXPECT_NE(::fcntl(2, F_GETFD), -1);
  // A guessing reader takes routine and mode from the row its file matches.
  Read_And_Process_File guessed(gz.c_str(), Read_And_Process_File::READ_GUESS, TYPE_TABLE);
  EXPECT_EQ(guessed.readRoutine, &gzipRoutine);
  EXPECT_EQ(guessed.readMode, Read_And_Process_File::READ_ZLIB);
}

// ---- path search ----

TEST(ReadFilePaths, SearchOrderListRulesAndRoom) {
  const std::string d = testDir();
  for (const char* name : {"b.csv", "a", "a.txt", "longer_name.csv", "s.csv"}) writeFile(d + "/" + name, "x");
  struct Case {
    const char* label;
    std::string roots;
    std::string names;
    std::string suffixes;
    std::string expected;  // empty: not found
    size_t room = 512;
  };
  const std::string shortHit = d + "/s.csv";
  const Case cases[] = {
      {"roots outermost", "/nonexistent:" + d, "a:b", ".csv:.txt", d + "/a.txt"},
      {"names before suffixes", d, "b:a", ".txt:.csv", d + "/b.csv"},
      {"empty suffix element", d, "a", ":.txt", d + "/a"},
      {"leading colon is an empty name", d, ":a", "b.csv", d + "/b.csv"},
      {"trailing colon adds none", d, "a", ".txt:", d + "/a.txt"},
      {"empty element between", d, "a", ".csv::.txt", d + "/a"},
      {"root with slash", d + "/", "b", ".csv", d + "/b.csv"},
      {"empty root takes the name as is", "", d + "/a", ".txt", d + "/a.txt"},
      {"nothing readable", d, "zz", ".csv", ""},
      {"candidate that does not fit skipped", d, "longer_name:s", ".csv", shortHit, shortHit.size() + 1},
      {"no room for the terminator", d, "s", ".csv", "", shortHit.size()},
      {"no room at all", d, "s", ".csv", "", 0},
  };
  for (const Case& c : cases) {
    char path[600];
    std::memset(path, '#', sizeof path);
    const int rc = Read_And_Process_File::findFileInPathsWithSuffixes(
        path, static_cast<uint_fast32_t>(c.room), c.roots.c_str(), c.names.c_str(), c.suffixes.c_str());
    if (c.expected.empty()) {
      EXPECT_EQ(rc, -1) << c.label;
    } else {
      EXPECT_EQ(rc, static_cast<int>(c.expected.size() + 1)) << c.label;
      EXPECT_EQ(std::string(path), c.expected) << c.label;
    }
    for (size_t i = c.room; i < sizeof path; ++i) ASSERT_EQ(path[i], '#') << c.label << ": written past room at " << i;
  }
}

}  // namespace
