// Reader framework behaviour: line rules of the text loop across read sizes
// and the 65536-byte buffer edge, header handling, read errors, the fixed-block
// loop, File_Buffer offsets, opening with the standard-stream names, file-type
// selection and the path search.
#include "utils/io/read_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "io/read_file_test_support.hpp"

namespace {

using Lines = std::vector<std::string>;

const size_t CHUNK_SIZES[] = {1, 2, 3, 7, 65536};

// Where two line lists first differ, in a few words (the lists may be huge).
std::string firstDifference(const Lines& got, const Lines& expected) {
  for (size_t i = 0; i < got.size() && i < expected.size(); ++i) {
    if (got[i] != expected[i]) {
      return "line " + std::to_string(i) + ": got " + std::to_string(got[i].size()) +
             " bytes, expected " + std::to_string(expected[i].size());
    }
  }
  if (got.size() != expected.size()) {
    return "got " + std::to_string(got.size()) + " lines, expected " + std::to_string(expected.size());
  }
  return "";
}

struct LineCase {
  const char* name;
  std::string input;
  Lines lines;
};

std::vector<LineCase> lineRuleCases() {
  return {
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
  };
}

TEST(ReadFileLines, LineRulesAtEveryReadSize) {
  for (const LineCase& c : lineRuleCases()) {
    for (size_t chunk : CHUNK_SIZES) {
      MemorySource src;
      src.data = c.input;
      src.chunk = chunk;
      RecordingReader reader(&src);
      const int rc = reader.readAndProcessTextLines(false);
      EXPECT_EQ(reader.lines, c.lines) << c.name << " chunk=" << chunk;
      EXPECT_EQ(rc, static_cast<int>(c.lines.size())) << c.name << " chunk=" << chunk;
      EXPECT_EQ(reader.begins, 1) << c.name;
      EXPECT_EQ(reader.completions, 1) << c.name;
      EXPECT_EQ(reader.completedWith, static_cast<int>(c.lines.size())) << c.name;
      EXPECT_EQ(reader.noted, c.input) << c.name << " chunk=" << chunk;
    }
  }
}

TEST(ReadFileLines, EmptyInputCallsNoHook) {
  MemorySource src;
  RecordingReader reader(&src);
  EXPECT_EQ(reader.readAndProcessTextLines(true), 0);
  EXPECT_EQ(reader.begins, 0);
  EXPECT_EQ(reader.completions, 0);
  EXPECT_TRUE(reader.headers.empty());
}

TEST(ReadFileLines, ReadErrorsEndTheLoop) {
  struct Case {
    const char* name;
    long failAt;
    int result;
    int begins;
    Lines lines;
  };
  const Case cases[] = {
      {"first read fails: result passed up, no hooks", 0, -5, 0, {}},
      {"later read fails: lines so far completed", 6, 2, 1, {"ab", "cd"}},
  };
  for (const Case& c : cases) {
    for (size_t chunk : {size_t{1}, size_t{4}, size_t{65536}}) {
      MemorySource src;
      src.data = "ab\ncd\nef\n";
      src.failAtOffset = c.failAt;
      src.chunk = chunk;
      RecordingReader reader(&src);
      EXPECT_EQ(reader.readAndProcessTextLines(false), c.result) << c.name;
      EXPECT_EQ(reader.begins, c.begins) << c.name;
      EXPECT_EQ(reader.completions, c.begins) << c.name;
      EXPECT_EQ(reader.lines, c.lines) << c.name << " chunk=" << chunk;
    }
  }
}

TEST(ReadFileLines, HeaderFlagAppliesToFirstLineOnly) {
  struct Case {
    bool hasHeader;
    int headerResult;
    Lines headers;
    Lines lines;
  };
  const Case cases[] = {
      {true, 2, {"h"}, {"h", "a", "b"}},  // 2 also passes the heading on
      {true, 0, {"h"}, {"a", "b"}},
      {false, 2, {}, {"h", "a", "b"}},
  };
  for (const Case& c : cases) {
    for (size_t chunk : CHUNK_SIZES) {
      MemorySource src;
      src.data = "h\r\na\nb\n";
      src.chunk = chunk;
      RecordingReader reader(&src);
      reader.headerResult = c.headerResult;
      EXPECT_EQ(reader.readAndProcessTextLines(c.hasHeader), 3);
      EXPECT_EQ(reader.headers, c.headers);
      EXPECT_EQ(reader.lines, c.lines);
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
      EXPECT_EQ(firstDifference(reader.lines, expected), "") << "shift=" << shift << " chunk=" << chunk;
    }
    TempDir dir;
    const std::string name = dir.write("edge.txt", input);
    RecordingReader fileReader(Read_And_Process_File::openFile(name.c_str(), Read_And_Process_File::READ_NORMAL));
    EXPECT_EQ(fileReader.readAndProcessTextLines(false), static_cast<int>(expected.size()));
    EXPECT_EQ(firstDifference(fileReader.lines, expected), "") << "file, shift=" << shift;
  }
}

TEST(ReadFileLines, LineOf65536BytesEndsTheInput) {
  struct Case {
    size_t longLength;  // bytes before the LF
    bool delivered;
  };
  const Case cases[] = {{65535, true}, {65536, false}, {70000, false}};
  for (const Case& c : cases) {
    for (size_t chunk : {size_t{65536}, size_t{1000}}) {
      MemorySource src;
      src.data = "first\n" + std::string(c.longLength, 'L') + "\nlast\n";
      src.chunk = chunk;
      RecordingReader reader(&src);
      const int rc = reader.readAndProcessTextLines(false);
      const Lines expected = c.delivered
                                 ? Lines{"first", std::string(c.longLength, 'L'), "last"}
                                 : Lines{"first"};
      EXPECT_EQ(rc, static_cast<int>(expected.size())) << c.longLength;
      EXPECT_EQ(firstDifference(reader.lines, expected), "") << c.longLength;
      EXPECT_EQ(reader.completedWith, rc);
    }
  }
}

TEST(ReadFileLines, ReadsFromAPipeWrittenInPieces) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::thread writer([w = fds[1]] {
    const char* pieces[] = {"al", "pha\r", "\nbe", "ta\n", "\n", "gam", "ma"};
    for (const char* p : pieces) {
      ssize_t ignored = ::write(w, p, std::strlen(p));
      (void)ignored;
      std::this_thread::yield();
    }
    ::close(w);
  });
  RecordingReader reader(fds[0]);
  EXPECT_EQ(reader.readAndProcessTextLines(false), 3);
  writer.join();
  EXPECT_EQ(reader.lines, (Lines{"alpha", "beta", ""}));
}

TEST(ReadFileLines, FindAndProcessNextLineConsumesOneLine) {
  unsigned char text[] = "x\r\n\nrest";
  File_Buffer window(text, sizeof text - 1, sizeof text - 1, File_Buffer::EXTERNAL_STORAGE);
  MemorySource src;
  RecordingReader reader(&src);
  EXPECT_EQ(reader.findAndProcessNextLine(&window, true), 3);
  EXPECT_EQ(reader.findAndProcessNextLine(&window, false), 1);
  EXPECT_EQ(reader.findAndProcessNextLine(&window, false), 0);
  EXPECT_EQ(window.startBufferOffset, 4u);
  EXPECT_EQ(reader.recordsProcessed, 2u);
  EXPECT_EQ(reader.headers, (Lines{"x"}));
  EXPECT_EQ(reader.lines, (Lines{"x", ""}));
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
  };
  for (const Case& c : cases) {
    for (size_t chunk : CHUNK_SIZES) {
      MemorySource src;
      src.data = c.input;
      src.chunk = chunk;
      RecordingReader reader(&src);
      EXPECT_EQ(reader.readAndProcessBlocksFromFile(c.recordLen), static_cast<int>(c.blocks.size()));
      EXPECT_EQ(reader.blocks, c.blocks) << c.input << " chunk=" << chunk;
      EXPECT_EQ(reader.begins, 1);
      EXPECT_EQ(reader.completedWith, static_cast<int>(c.blocks.size()));
    }
  }
}

TEST(ReadFileBlocks, BlocksAcrossManyBufferFills) {
  std::string input;
  for (int i = 0; i < 2500; ++i) input += std::string(3, static_cast<char>('a' + i % 26));
  MemorySource src;
  src.data = input;
  src.chunk = 1001;
  RecordingReader reader(&src);
  ASSERT_EQ(reader.readAndProcessBlocksFromFile(3), 2500);
  EXPECT_EQ(reader.blocks[2499], "ddd");  // 2499 % 26 == 3
}

TEST(ReadFileBlocks, EmptyInputOrZeroLengthCallsNoHook) {
  MemorySource empty;
  RecordingReader emptyReader(&empty);
  EXPECT_EQ(emptyReader.readAndProcessBlocksFromFile(8), 0);
  EXPECT_EQ(emptyReader.begins, 0);

  MemorySource data;
  data.data = "abc";
  RecordingReader zeroLength(&data);
  EXPECT_EQ(zeroLength.readAndProcessBlocksFromFile(0), 0);
  EXPECT_EQ(zeroLength.begins, 0);
  EXPECT_TRUE(zeroLength.blocks.empty());
}

// processBuffer takes whole 3-byte groups and leaves the rest for the next read.
class GroupReader : public Read_And_Process_File {
 public:
  explicit GroupReader(MemorySource* src) : Read_And_Process_File(-1) {
    auxData = src;
    setReadRoutine(&memoryReadRoutine);
  }
  int processBuffer(File_Buffer* buffer) override {
    while (buffer->spaceUsed() >= 3) {
      seen.append(reinterpret_cast<const char*>(buffer->startBufferLocation()), 3);
      buffer->adjustBufferStart(3);
      ++recordsProcessed;
    }
    return 0;
  }
  std::string seen;
};

TEST(ReadFileBuffers, ProcessBufferSeesEveryReadAndKeepsLeftovers) {
  for (size_t chunk : CHUNK_SIZES) {
    MemorySource src;
    src.data = "abcdefghijk";  // 3 groups and 2 bytes left over
    src.chunk = chunk;
    GroupReader reader(&src);
    EXPECT_EQ(reader.readAndProcessFile(), 3) << chunk;
    EXPECT_EQ(reader.seen, "abcdefghi") << chunk;
    EXPECT_NE(reader.intermediateBuffer, nullptr);  // owned, freed by the destructor
  }
  MemorySource empty;
  GroupReader nothing(&empty);
  EXPECT_EQ(nothing.readAndProcessFile(), 0);
}

TEST(FileBuffer, OffsetsAndDiscard) {
  File_Buffer owned(8);
  ASSERT_NE(owned.buffer, nullptr);
  std::memcpy(owned.buffer, "abcdef", 6);
  owned.adjustBufferEnd(6);
  owned.adjustBufferStart(2);
  EXPECT_EQ(owned.spaceLeft(), 2u);
  EXPECT_EQ(owned.spaceUsed(), 4u);
  EXPECT_EQ(owned.startBufferLocation(), owned.buffer + 2);
  owned.discardInitialBytes(1);  // drops "ab" and "c"
  EXPECT_EQ(owned.startBufferOffset, 0u);
  EXPECT_EQ(owned.endBufferOffset, 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(owned.buffer), 3), "def");
  owned.discardInitialBytes(3);
  EXPECT_EQ(owned.endBufferOffset, 0u);

  unsigned char storage[8] = {'a', 'b', 'c', 'd', 'e', 'f', 0, 0};
  File_Buffer pinned(storage, sizeof storage, 6,
                     File_Buffer::EXTERNAL_STORAGE | File_Buffer::EXTERNAL_NO_MOVE);
  pinned.adjustBufferStart(2);
  pinned.discardInitialBytes(1);  // no data moves
  EXPECT_EQ(pinned.startBufferOffset, 3u);
  EXPECT_EQ(pinned.endBufferOffset, 6u);
  EXPECT_EQ(storage[0], 'a');
  pinned.discardInitialBytes(3);  // everything used: both offsets return to 0
  EXPECT_EQ(pinned.startBufferOffset, 0u);
  EXPECT_EQ(pinned.endBufferOffset, 0u);
  pinned.discardInitialBytes(0);  // start + bytes == 0: nothing happens
  EXPECT_EQ(pinned.endBufferOffset, 0u);
}

TEST(FileBuffer, AppendGrowsOwnedStorageOnly) {
  File_Buffer owned(4);
  const unsigned char data[] = "0123456789";
  EXPECT_EQ(owned.appendDataToBuffer(data, 3, 0), 3u);
  owned.adjustBufferStart(2);
  EXPECT_EQ(owned.appendDataToBuffer(data + 3, 7, 16), 7u);
  EXPECT_EQ(owned.spaceUsed(), 8u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(owned.startBufferLocation()), 8), "23456789");
  EXPECT_GE(owned.spaceLeft(), 16u);

  unsigned char storage[4];
  File_Buffer external(storage, sizeof storage, 0, File_Buffer::EXTERNAL_STORAGE);
  EXPECT_EQ(external.appendDataToBuffer(data, 10, 0), 4u);
  EXPECT_EQ(external.buffer, storage);
}

TEST(ReadFileOpen, StandardStreamNamesOpenNothing) {
  TempDir dir;
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  struct Case {
    const char* name;
    Read_And_Process_File::ReadModes mode;
    int fd;
  };
  const Case cases[] = {
      {"--stdin", Read_And_Process_File::READ_NORMAL, 0},
      {"--stdout", Read_And_Process_File::WRITE_TRUNCATE, 1},
      {"--stderr", Read_And_Process_File::WRITE_APPEND, 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Read_And_Process_File::openFile(c.name, c.mode), c.fd) << c.name;
    Read_And_Process_File named(c.name, c.mode);
    EXPECT_EQ(named.descriptor, c.fd) << c.name;
    named.descriptor = -1;  // keep the test's own streams open
    EXPECT_NE(::access(c.name, F_OK), 0) << c.name << " must not be created";
  }
  ASSERT_EQ(::chdir(cwd), 0);
}

TEST(ReadFileOpen, ModesAndFailures) {
  TempDir dir;
  const std::string existing = dir.write("existing.txt", "old content");
  const std::string missing = dir.file("missing.txt");
  using R = Read_And_Process_File;

  EXPECT_EQ(R::openFile(missing.c_str(), R::READ_NORMAL), -1);
  EXPECT_EQ(R::openFile(missing.c_str(), R::WRITE), -1);  // WRITE needs an existing file

  int fd = R::openFile(existing.c_str(), R::WRITE_TRUNCATE);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::write(fd, "new", 3), 3);
  EXPECT_EQ(R::closeFile(fd, R::WRITE_TRUNCATE), 0);
  EXPECT_EQ(readWholeFile(existing), "new");

  fd = R::openFile(existing.c_str(), R::WRITE_APPEND);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::write(fd, "+", 1), 1);
  R::closeFile(fd, R::WRITE_APPEND);
  EXPECT_EQ(readWholeFile(existing), "new+");

  const std::string created = dir.file("created.txt");
  const mode_t oldMask = ::umask(022);
  fd = R::openFile(created.c_str(), R::WRITE_APPEND);
  ::umask(oldMask);
  ASSERT_GE(fd, 0);
  R::closeFile(fd, R::WRITE_APPEND);
  struct stat st;
  ASSERT_EQ(::stat(created.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  fd = R::openFile(existing.c_str(), R::WRITE);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::write(fd, "N", 1), 1);  // overwrites in place, no truncation
  R::closeFile(fd, R::WRITE);
  EXPECT_EQ(readWholeFile(existing), "New+");

  EXPECT_EQ(R::closeFile(-1, R::READ_NORMAL), -1);

  for (const char* name : {static_cast<const char*>(nullptr), "", missing.c_str()}) {
    Read_And_Process_File reader(name);
    EXPECT_EQ(reader.descriptor, -1);
    EXPECT_EQ(reader.readAndProcessTextLines(false), -1);  // read on -1 fails at once
  }
}

// ---- file-type selection ----

int gzipRoutine(Read_And_Process_File*, unsigned char*, uint32_t) { return 0; }
int lz4Routine(Read_And_Process_File*, unsigned char*, uint32_t) { return 0; }
int plainRoutine(Read_And_Process_File* r, unsigned char* b, uint32_t l) {
  return Read_And_Process_File::defaultReadRoutine(r, b, l);
}

using Selector = Read_And_Process_File::FileTypeReaderSelector;
const Selector TYPE_TABLE[] = {
    {&gzipRoutine, "gzip", Read_And_Process_File::READ_ZLIB, 0x0003, {0x1f, 0x8b}},
    {&lz4Routine, "lz4", Read_And_Process_File::READ_LZ4, 0x000F, {0x04, 0x22, 0x4d, 0x18}},
    {&plainRoutine, "plain", Read_And_Process_File::READ_NORMAL, 0, {}},
    {nullptr, "", Read_And_Process_File::READ_GUESS, 0, {}},
};
const Selector STRICT_TABLE[] = {
    {&gzipRoutine, "gzip", Read_And_Process_File::READ_ZLIB, 0x8001, {0x1f, 0, 0, 0, 0, 0, 0, 0,
                                                                      0, 0, 0, 0, 0, 0, 0, 'Z'}},
    {nullptr, "", Read_And_Process_File::READ_GUESS, 0, {}},
};
const Selector EMPTY_TABLE[] = {{nullptr, "", Read_And_Process_File::READ_GUESS, 0, {}}};

TEST(ReadFileType, SelectsRowByLeadingBytes) {
  TempDir dir;
  const std::string gz = dir.write("a.gz", std::string("\x1f\x8b\x08\x00", 4) + std::string(20, 'g'));
  const std::string lz = dir.write("a.lz4", std::string("\x04\x22\x4d\x18", 4) + std::string(12, 'z'));
  const std::string text = dir.write("a.txt", "just some text, long enough\n");
  const std::string shortFile = dir.write("short", std::string("\x1f\x8b", 2) + "abc");
  const std::string strictHit = dir.write("s1", std::string("\x1f") + std::string(14, '.') + "Z");
  const std::string strictMiss = dir.write("s2", std::string("\x1f") + std::string(15, '.'));
  struct Case {
    std::string name;
    const Selector* table;
    const Selector* expected;
  };
  const Case cases[] = {
      {gz, TYPE_TABLE, &TYPE_TABLE[0]},
      {lz, TYPE_TABLE, &TYPE_TABLE[1]},  // exactly 16 bytes long
      {text, TYPE_TABLE, &TYPE_TABLE[2]},
      {shortFile, TYPE_TABLE, nullptr},  // fewer than 16 bytes
      {dir.file("missing"), TYPE_TABLE, nullptr},
      {text, EMPTY_TABLE, nullptr},
      {strictHit, STRICT_TABLE, &STRICT_TABLE[0]},
      {strictMiss, STRICT_TABLE, nullptr},
      {"--stdin", TYPE_TABLE, nullptr},  // never probed
      {"--stdout", TYPE_TABLE, nullptr},
      {"--stderr", TYPE_TABLE, nullptr},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Read_And_Process_File::findTypeOfFile(c.name.c_str(), c.table), c.expected) << c.name;
  }
  // The standard streams stay open after a probe.
  EXPECT_NE(::fcntl(0, F_GETFD), -1);
  EXPECT_NE(::fcntl(2, F_GETFD), -1);
}

TEST(ReadFileType, MatchFileHeaderReportsMatchingBits) {
  unsigned char data[16] = {0x1f, 0x00, 0x08};
  EXPECT_EQ(Read_And_Process_File::matchFileHeader(&TYPE_TABLE[0], data, 16), 0x1u);
  data[1] = 0x8b;
  EXPECT_EQ(Read_And_Process_File::matchFileHeader(&TYPE_TABLE[0], data, 16), 0x3u);
  EXPECT_EQ(Read_And_Process_File::matchFileHeader(&TYPE_TABLE[2], data, 16), 0u);
  data[15] = 'Z';
  EXPECT_EQ(Read_And_Process_File::matchFileHeader(&STRICT_TABLE[0], data, 16), 0x8001u);
}

TEST(ReadFileType, ConstructorsTakeRoutineAndModeFromSelector) {
  TempDir dir;
  const std::string gz = dir.write("b.gz", std::string("\x1f\x8b", 2) + std::string(30, 'x'));
  using R = Read_And_Process_File;
  R guessed(gz.c_str(), R::READ_GUESS, TYPE_TABLE);
  EXPECT_GE(guessed.descriptor, 0);
  EXPECT_EQ(guessed.readRoutine, &gzipRoutine);
  EXPECT_EQ(guessed.readMode, R::READ_ZLIB);

  R notGuessing(gz.c_str(), R::READ_NORMAL, TYPE_TABLE);
  EXPECT_EQ(notGuessing.readRoutine, &R::defaultReadRoutine);
  EXPECT_EQ(notGuessing.readMode, R::READ_NORMAL);

  R overFd(-1, R::READ_GUESS, &TYPE_TABLE[1]);
  EXPECT_EQ(overFd.readRoutine, &lz4Routine);
  R emptyTableFd(-1, R::READ_GUESS, EMPTY_TABLE);
  EXPECT_EQ(emptyTableFd.readRoutine, &R::defaultReadRoutine);
  R plainFd(-1, R::READ_NORMAL, nullptr);
  EXPECT_EQ(plainFd.readRoutine, &R::defaultReadRoutine);
}

// ---- path search ----

TEST(ReadFilePaths, SearchOrderAndListRules) {
  TempDir dir;
  const std::string d = dir.path();
  dir.write("b.csv", "x");
  dir.write("a", "x");
  dir.write("a.txt", "x");
  struct Case {
    const char* label;
    std::string roots;
    std::string names;
    std::string suffixes;
    std::string expected;  // empty: not found
  };
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
  };
  for (const Case& c : cases) {
    char path[512];
    const int rc = Read_And_Process_File::findFileInPathsWithSuffixes(
        path, sizeof path, c.roots.c_str(), c.names.c_str(), c.suffixes.c_str());
    if (c.expected.empty()) {
      EXPECT_EQ(rc, -1) << c.label;
    } else {
      EXPECT_EQ(rc, static_cast<int>(c.expected.size() + 1)) << c.label;
      EXPECT_EQ(std::string(path), c.expected) << c.label;
    }
  }
}

TEST(ReadFilePaths, CandidateThatDoesNotFitIsSkipped) {
  TempDir dir;
  const std::string d = dir.path();
  dir.write("longer_name.csv", "x");
  dir.write("s.csv", "x");
  const std::string shortHit = d + "/s.csv";
  // Room for the short candidate (and its terminator) but not the long one.
  char area[600];
  std::memset(area, '#', sizeof area);
  const uint_fast32_t room = static_cast<uint_fast32_t>(shortHit.size() + 1);
  const int rc = Read_And_Process_File::findFileInPathsWithSuffixes(area, room, d.c_str(),
                                                                    "longer_name:s", ".csv");
  EXPECT_EQ(rc, static_cast<int>(shortHit.size() + 1));
  EXPECT_EQ(std::string(area), shortHit);
  for (size_t i = room; i < sizeof area; ++i) ASSERT_EQ(area[i], '#') << "written past room at " << i;

  std::memset(area, '#', sizeof area);
  EXPECT_EQ(Read_And_Process_File::findFileInPathsWithSuffixes(area, room - 1, d.c_str(), "s", ".csv"), -1);
  for (size_t i = room - 1; i < sizeof area; ++i) ASSERT_EQ(area[i], '#');
  EXPECT_EQ(Read_And_Process_File::findFileInPathsWithSuffixes(area, 0, d.c_str(), "s", ".csv"), -1);
}

}  // namespace
