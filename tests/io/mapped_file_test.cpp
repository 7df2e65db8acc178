// Qualified file names, zero-filled and mapped files in every mode, symbolic
// link expansion (chains, relative and absolute targets, a loop, dot
// folding, limits) and the search along a path, in a fresh temporary folder.
#include "utils/io/mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_support.hpp"

using namespace narvelix_test;

namespace {

// A fresh folder of the running test, its name resolved through any links.
struct TempFolder {
  std::string path;
  TempFolder() {
    char resolved[4096];
    path = realpath(testDir().c_str(), resolved) != nullptr ? resolved : "";
  }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// The time, date, host and process pieces are checked where a shared-variable
// segment gets its file name.
TEST(QualifiedFileName, DirectoryPrefixOnlyWhenAskedAndGiven) {
  const std::pair<uint32_t, const char*> cases[] = {
      {0, "/var/log"}, {FILENAME_ADD_DIR_PREFIX, "/var/log"}, {FILENAME_ADD_DIR_PREFIX, ""}};
  for (const auto& [flags, dir] : cases) {
    char name[256];
    const int len = makeQualifiedFileName(name, sizeof name, "app", ".smv", dir, flags);
    EXPECT_EQ(len, static_cast<int>(std::strlen(name)));
    EXPECT_STREQ(name, flags != 0 && dir[0] != '\0' ? "/var/log/app.smv" : "app.smv");
  }
}

TEST(QualifiedFileName, CutNamesAreRefused) {
  const char* full = "/var/log/app.smv";
  const size_t fullLen = std::strlen(full);
  for (size_t size = 1; size <= fullLen + 2; ++size) {
    char name[32];
    std::memset(name, 'x', sizeof name);
    const int len = makeQualifiedFileName(name, size, "app", ".smv", "/var/log", FILENAME_ADD_DIR_PREFIX);
    if (size > fullLen) {
      EXPECT_EQ(len, static_cast<int>(fullLen)) << size;
      EXPECT_STREQ(name, full);
    } else {
      EXPECT_EQ(len, -1) << size;
      EXPECT_EQ(std::string(name), std::string(full, size - 1)) << size;
    }
    EXPECT_EQ(name[size], 'x') << "wrote past the buffer at size " << size;
  }
}

struct MapResult {
  int fd;
  unsigned char* segment;
  size_t len;
  std::string err;
};

MapResult mapFile(const std::string& name, size_t len, int mode) {
  MapResult r{};
  r.len = len;
  testing::internal::CaptureStderr();
  r.fd = createMappedFile(&r.segment, name.c_str(), &r.len, mode);
  r.err = testing::internal::GetCapturedStderr();
  return r;
}

void unmap(const MapResult& r) {
  if (r.segment != nullptr) ::munmap(r.segment, r.len);
  if (r.fd >= 0) ::close(r.fd);
}

TEST(MappedFile, EveryMode) {
  TempFolder dir;
  const std::string name = dir / "segment";
  const std::string hello = "hello, mapped world";
  struct Case {
    const char* label;
    bool exists;  // the file holds `hello` before the call
    size_t len;
    int mode;
    size_t mappedLen;
    std::string fileAfter;
  };
  const Case cases[] = {
      {"init zero-fills whole blocks", false, 5000, MAP_FILE_INIT, 8192, std::string(8192, '\0')},
      {"init wipes contents", true, 10, MAP_FILE_INIT, 4096, std::string(4096, '\0')},
      {"reset of the whole file", true, 0, MAP_FILE_RESET, 4096, std::string(4096, '\0')},
      {"extend keeps contents", true, 5000, MAP_FILE_READWRITE, 19 + 8192, hello + std::string(8192, '\0')},
      {"within the size", true, 5, MAP_FILE_READWRITE, 5, hello},
      {"whole file", true, 0, MAP_FILE_READWRITE, 19, hello},
      {"read-only shorter file", true, 100000, MAP_FILE_READONLY, 19, hello},
      {"read-only part", true, 7, MAP_FILE_READONLY, 7, hello},
  };
  for (const Case& c : cases) {
    ::unlink(name.c_str());
    if (c.exists) writeFile(name, hello);
    const MapResult r = mapFile(name, c.len, c.mode);
    ASSERT_GE(r.fd, 0) << c.label << ": " << r.err;
    ASSERT_NE(r.segment, nullptr) << c.label;
    EXPECT_EQ(r.err, "") << c.label;
    EXPECT_EQ(r.len, c.mappedLen) << c.label;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(r.segment), r.len), c.fileAfter.substr(0, r.len)) << c.label;
    EXPECT_EQ(readFile(name), c.fileAfter) << c.label;
    EXPECT_NE(::fcntl(r.fd, F_GETFD) & FD_CLOEXEC, 0) << c.label;
    if (c.mode & MAP_FILE_READWRITE) {
      r.segment[0] = 'J';  // shared: the file sees it
      EXPECT_EQ(readFile(name)[0], 'J') << c.label;
    }
    unmap(r);
  }
}

TEST(MappedFile, FailuresAreReportedWithANullSegment) {
  TempFolder dir;
  const std::string missing = dir / "missing";
  const std::string empty = dir / "empty";
  writeFile(empty, "");
  struct Case {
    std::string name;
    size_t len;
    int mode;
    std::string err;
  };
  const Case cases[] = {
      {missing, 100, MAP_FILE_READONLY, "createMappedFile: can't open cache segment \"" + missing + "\"\n"},
      {missing, 0, MAP_FILE_READWRITE, "createMappedFile: can't open cache segment \"" + missing + "\"\n"},
      {empty, 0, MAP_FILE_READONLY, "Can not map cache segment \"" + empty + "\" for 0 bytes\n"},
      {dir.path, 4096, MAP_FILE_INIT, "createMappedFile: can't open cache segment \"" + dir.path + "\"\n"},
  };
  for (const Case& c : cases) {
    MapResult r = mapFile(c.name, c.len, c.mode);
    EXPECT_EQ(r.fd, -1) << c.name;
    EXPECT_EQ(r.segment, nullptr) << c.name;
    EXPECT_EQ(r.err, c.err);
  }
  // A zero-fill that falls short maps nothing: /dev/full refuses every write.
  MapResult r = mapFile("/dev/full", 4096, MAP_FILE_INIT);
  EXPECT_EQ(r.fd, -1);
  EXPECT_EQ(r.segment, nullptr);
  EXPECT_EQ(r.err,
            "Could not initialize mapped file \"/dev/full\", only wrote 0 of 4096bytes\n"
            "Can not map cache segment \"/dev/full\" for 0 bytes\n");
}

class Links : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path.empty());
    base = dir.path;
    ASSERT_EQ(mkdir((base + "/real").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((base + "/real/sub").c_str(), 0755), 0);
    writeFile(base + "/real/sub/file", "x");
    link(base + "/real", "abs");
    link("real", "rel");
    link("rel", "c2");
    link("c2", "c1");
    link("l2", "l1");
    link("l1", "l2");
    link("./real/../real/sub", "dotted");
    link("sub/..", "real/up");
    link(std::string(2100, 'x'), "long");
  }
  void link(const std::string& target, const std::string& name) {
    ASSERT_EQ(symlink(target.c_str(), (base + "/" + name).c_str()), 0) << name;
  }
  static std::string expand(const std::string& path, bool mustExist = true, size_t bfrLen = 4096) {
    char out[4096];
    const int n = expand_symlinks(out, bfrLen, path.data(), path.size(), mustExist);
    return n < 0 ? "<fail>" : std::string(out, static_cast<size_t>(n));
  }
  TempFolder dir;
  std::string base;
};

TEST_F(Links, ExpandsChainsAndTargetsWithinLimits) {
  const std::string file = base + "/real/sub/file";
  const std::string viaLink = base + "/abs/sub/file";
  std::string deep;
  for (int i = 0; i < 256; ++i) deep += "/a";
  struct Case {
    std::string path;
    std::string expected;  // "<fail>": refused
    bool mustExist = true;
    size_t room = 4096;
  };
  const Case cases[] = {
      {file, file},
      {viaLink, file},
      {base + "/rel/sub", base + "/real/sub"},
      {base + "/c1/sub/file", file},
      {base + "/dotted/file", file},
      {base + "/real/up/sub", base + "/real/sub"},
      {base + "/abs/./sub/../sub/file", file},
      {base + "/real/sub/", base + "/real/sub/"},
      {"/", "/"},
      {"", ""},
      {base + "/l1/x", "<fail>"},                // a loop
      {base + "/long", "<fail>", false},         // fills the work area
      {base + "/nothing/here", "<fail>"},        // must exist
      {base + "/nothing/here", base + "/nothing/here", false},
      {base + "/abs/sub/nope", base + "/real/sub/nope", false},
      {file, file, true, file.size() + 1},
      {file, "<fail>", true, file.size()},
      {viaLink, "<fail>", true, viaLink.size() + 1},  // the target is longer than the link
      {deep, deep, false},
      {deep + "/a", "<fail>", false},
  };
  for (const Case& c : cases) EXPECT_EQ(expand(c.path, c.mustExist, c.room), c.expected) << c.path;
}

TEST_F(Links, RelativePathsStartAtTheWorkingFolder) {
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(base.c_str()), 0);
  const std::string viaFirst = expand("rel/sub");
  const std::string chained = expand("c1/sub/file");
  const std::string upFirst = expand("real/../..");
  ASSERT_EQ(chdir(saved), 0);
  EXPECT_EQ(viaFirst, "real/sub");
  EXPECT_EQ(chained, "real/sub/file");
  // ".." never folds away the first element.
  EXPECT_EQ(upFirst, "real/../..");
}

TEST(FindFileInPath, SearchOrderSuffixesAndRoom) {
  TempFolder dir;
  ASSERT_EQ(mkdir((dir / "d1").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "d2").c_str(), 0755), 0);
  for (const char* name : {"d1/g", "d2/f.conf", "d2/g.conf", "top"}) writeFile(dir / name, "");
  const std::string d1 = dir / "d1";
  const std::string d2 = dir / "d2";
  const std::string top = dir / "top";
  const size_t fits = d1.size() + 3;  // d1 + "/g" + NUL, shorter than d2's candidate
  struct Case {
    std::string file;
    std::string searchPath;
    const char* suffix;
    std::string found;  // empty: none
    size_t room = 512;
  };
  const Case cases[] = {
      {"f", d1 + ":" + d2, ".conf", d2 + "/f.conf"},
      {"g", d1 + ":" + d2, ".conf", d2 + "/g.conf"},
      {"g", d1 + ":" + d2, ":.conf", d1 + "/g"},
      {"g", d2 + ":" + d1, ".txt:.conf", d2 + "/g.conf"},
      {"f", d1 + "::::" + d2 + "/", ".conf", d2 + "/f.conf"},
      {"f.conf", "::" + d2 + ":", nullptr, d2 + "/f.conf"},
      {"g", d1, "", d1 + "/g"},
      {"g", d1, nullptr, d1 + "/g"},
      {"f", d1 + ":" + d2, "", ""},
      {"g", "", "", ""},
      {"g", "", ":", ""},
      {top, ":", nullptr, top},  // a leading ':' tries the bare name
      // A candidate longer than the room is not tried; the next one is.
      {"g", d2 + ":" + d1, ".conf:", "", fits},
      {"g", d2 + ":" + d1, ":.conf", d1 + "/g", fits},
      // The name and its terminator must fit.
      {"g", d1, nullptr, "", d1.size() + 2},
  };
  for (const Case& c : cases) {
    char result[600];
    std::memset(result, 'x', sizeof result);
    const int len = findFileInPath(result, c.room, c.file.c_str(), c.searchPath.c_str(), c.suffix);
    EXPECT_EQ(len, c.found.empty() ? -1 : static_cast<int>(c.found.size())) << c.file << " in " << c.searchPath;
    if (!c.found.empty()) {
      EXPECT_EQ(std::string(result), c.found);
    }
    EXPECT_EQ(result[c.room], 'x') << "written past the room";
  }
}

}  // namespace
