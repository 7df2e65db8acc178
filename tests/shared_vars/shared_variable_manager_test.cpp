// The variable manager: deferred and immediate registration, values moving
// from the object into the segment, nodes, standalone texts, taking over
// another manager's list, and standard segment files read back from disk.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "base/region_image.hpp"
#include "test_support.hpp"
#include "utils/io/mapped_file.hpp"
#include "utils/logging/logging_api.hpp"
#include "utils/shared_vars/shared_variable.hpp"

namespace {

using SMV = SharedMemoryVariable;

// A fresh folder set as LOG_DIR for the test's lifetime.
struct LogDir {
  std::string path = narvelix_test::testDir();
  narvelix_test::EnvScope env{"LOG_DIR", path};
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    DIR* d = opendir(path.c_str());
    while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    if (d != nullptr) closedir(d);
    return names;
  }
};

TEST(SharedMemoryVariableManager, DeferredValuesMoveIntoTheSegment) {
  SharedMemoryVariableManager manager(false);
  SMV_StandaloneNumeric<unsigned long long> big("big", &manager, 1ULL << 40);
  SMV_StandaloneNumeric<int> small("small", &manager, -5);
  SMV_StandaloneNumeric<double> ratio("ratio", &manager, 0.5);
  SMV_StandaloneString<128u> label("label", &manager);
  label = "before";
  EXPECT_EQ(big.dataPointer, &big.initialCopy);
  EXPECT_EQ(manager.deferredCount(), 4u);
  EXPECT_FALSE(big.isRegistered());
  Storage seg(8192);
  manager.initializeSegment(seg.data(), seg.size(), "move");
  EXPECT_EQ(manager.deferredCount(), 0u);
  for (SMV* v : std::initializer_list<SMV*>{&big, &small, &ratio, &label}) {
    EXPECT_TRUE(v->isRegistered()) << v->getName();
    EXPECT_GE(reinterpret_cast<unsigned char*>(v->dataPointer), seg.data());
    EXPECT_LT(reinterpret_cast<unsigned char*>(v->dataPointer), seg.data() + seg.size());
  }
  EXPECT_EQ(static_cast<unsigned long long>(big), 1ULL << 40);
  EXPECT_EQ(static_cast<int>(small), -5);
  EXPECT_EQ(static_cast<double>(ratio), 0.5);
  EXPECT_STREQ(static_cast<const char*>(label), "before");
  EXPECT_EQ(label.dataPointer->usedLength, 7u);
  // Later writes go to the segment; the copies in the objects stay behind.
  big += 9;
  small -= 2;
  ratio = 1.25;
  label = "after";
  EXPECT_EQ(big--, (1ULL << 40) + 9);
  uint64_t viaAddress;  // the segment record may be only 4-aligned
  std::memcpy(&viaAddress, big.getAddress(), sizeof viaAddress);
  EXPECT_EQ(viaAddress, (1ULL << 40) + 8);
  EXPECT_EQ(static_cast<int>(small), -7);
  EXPECT_EQ(big.initialCopy.numericValue.u64, 1ULL << 40);
  char line[128];
  EXPECT_STREQ(label.dataPointer->formatAsText(line, sizeof line, 15, "", true), "label = text \"after\"");
}

TEST(SharedMemoryVariableManager, NodeFootprintAndImmediateRegistration) {
  Storage seg(4096);
  SharedMemoryVariableManager manager(false);
  manager.initializeSegment(seg.data(), seg.size(), "nodes");
  SharedMemoryVariableNode stats("io_stats", &manager);  // 8 + 64 + 9 = 81 -> 128, + 20
  SMV_StandaloneNumeric<unsigned> reads("reads", &stats, 3u);
  EXPECT_TRUE(stats.isRegistered());
  EXPECT_EQ(stats.dataPointer->allocatedLength, 148u);
  EXPECT_EQ(stats.getMinLength(), 8u);
  EXPECT_EQ(reads.getVariableManager(), &manager);
  EXPECT_EQ(static_cast<unsigned>(reads), 3u);
  EXPECT_EQ(reads.dataPointer->parentNodeOffset, manager.offsetInSegment(stats.dataPointer));
  char name[64];
  EXPECT_EQ(reads.getFullName(name, sizeof name), 9);
  EXPECT_STREQ(name, "/io_stats");
  // The records in registration order.
  std::vector<std::string> names;
  SharedBufferAllocRecord_32* cursor = nullptr;
  while (SharedMemoryVariable_Record* r = manager.iterateOver32BitSegment(&cursor)) names.push_back(r->varName);
  EXPECT_EQ(names, (std::vector<std::string>{"io_stats", "reads"}));
}

TEST(SharedMemoryVariableManager, RegistrationResults) {
  SharedMemoryVariableManager lonely(false);
  SharedMemoryVariableManager other(false);
  SMV_StandaloneNumeric<int> a("a", static_cast<SharedMemoryVariableManager*>(nullptr), 1);
  EXPECT_FALSE(lonely.registerVariable(&a));  // no segment: deferred
  EXPECT_EQ(a.getVariableManager(), &lonely);
  EXPECT_EQ(lonely.deferredCount(), 1u);
  EXPECT_EQ(other.takeDeferredRegistrations(&lonely), 1);  // no list, no segment: taken over
  EXPECT_EQ(a.getVariableManager(), &other);
  EXPECT_EQ(lonely.deferredCount(), 0u);
  EXPECT_EQ(other.takeDeferredRegistrations(&lonely), 0);  // nothing left
  SMV_StandaloneNumeric<int> b("b", &lonely, 2);
  EXPECT_EQ(other.takeDeferredRegistrations(&lonely), 1);  // appended to other's list
  EXPECT_EQ(other.deferredCount(), 2u);
  Storage seg(4096);
  SharedMemoryVariableManager withSegment(false);
  withSegment.initializeSegment(seg.data(), seg.size(), "r");
  EXPECT_EQ(withSegment.takeDeferredRegistrations(&other), 2);  // allocated at once
  EXPECT_TRUE(a.isRegistered() && b.isRegistered());
  EXPECT_EQ(static_cast<int>(b), 2);
  SMV_StandaloneNumeric<int> c("c", static_cast<SharedMemoryVariableManager*>(nullptr), 3);
  EXPECT_TRUE(withSegment.registerVariable(&c));
  EXPECT_EQ(static_cast<int>(c), 3);
}

TEST(SharedMemoryVariableManager, DestroyedDeferredVariablesLeaveTheList) {
  SharedMemoryVariableManager manager(false);
  SMV_StandaloneNumeric<int> kept("kept", &manager, 1);
  {
    auto gone = std::make_unique<SMV_StandaloneNumeric<int>>("gone", &manager, 2);
    EXPECT_EQ(manager.deferredCount(), 2u);
  }
  EXPECT_EQ(manager.deferredCount(), 1u);
  Storage seg(4096);
  manager.initializeSegment(seg.data(), seg.size(), "d");  // must not touch the destroyed one
  EXPECT_TRUE(kept.isRegistered());
}

TEST(SharedMemoryVariableManager, FullSegmentLeavesValuesInTheirObjects) {
  Storage seg(512);  // room for two numeric variables (148 bytes each)
  SharedMemoryVariableManager manager(false);
  manager.initializeSegment(seg.data(), seg.size(), "full");
  SMV_StandaloneNumeric<int> first("first", &manager, 1);
  SMV_StandaloneNumeric<int> second("second", &manager, 2);
  testing::internal::CaptureStderr();
  SMV_StandaloneNumeric<int> third("third", &manager, 3);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("out of free blocks"), std::string::npos) << err;
  EXPECT_TRUE(second.isRegistered());
  EXPECT_FALSE(third.isRegistered());
  EXPECT_EQ(third.dataPointer, &third.initialCopy);
  third += 4;
  EXPECT_EQ(static_cast<int>(third), 7);
}

TEST(SharedMemoryVariableManager, TextsKeepTheirTerminator) {
  SharedMemoryVariableManager manager(false);
  SMV_StandaloneString<128u> label("label", &manager);  // own space: 192 - 52 - 6 = 134 bytes
  const std::string longText(300, 'z');
  label = longText.c_str();
  EXPECT_EQ(std::string(label), std::string(133, 'z'));
  EXPECT_EQ(label.dataPointer->usedLength, 134u);
  Storage seg(4096);
  manager.initializeSegment(seg.data(), seg.size(), "t");  // 128 + 64 + 6 -> 256, + 20: 276 - 52 - 6 = 218
  EXPECT_EQ(std::string(label), std::string(133, 'z'));
  label = longText.c_str();
  EXPECT_EQ(std::string(label), std::string(217, 'z'));
  EXPECT_EQ(label.dataPointer->usedLength, 218u);
  label = nullptr;
  EXPECT_STREQ(label, "");
  // A name too long for the object's own space leaves no room for text.
  const std::string longName(400, 'n');
  SharedMemoryVariableManager none(false);
  SMV_StandaloneString<128u> cramped(longName.c_str(), &none);
  cramped = "text";
  EXPECT_STREQ(cramped, "");
}

TEST(SharedMemoryVariableManager, StandardSegmentFileIsNamedAndFilled) {
  LogDir dir;
  SharedMemoryVariableManager manager(false);
  SharedMemoryVariableNode node("tool", &manager);
  SMV_StandaloneNumeric<unsigned> count("count", &node, 42u);
  size_t len = 5000;
  unsigned char* seg = manager.createAndAttachStandardSegment("/usr/bin/tool", &len);
  ASSERT_NE(seg, nullptr);
  EXPECT_EQ(len, 8192u);
  const std::vector<std::string> files = dir.files();
  ASSERT_EQ(files.size(), 1u);
  char host[128] = {};
  gethostname(host, sizeof host - 1);
  std::string shortHost(host);
  shortHost = shortHost.substr(0, shortHost.find('.'));
  EXPECT_TRUE(std::regex_match(files[0], std::regex("tool-[0-9]{8}_[0-9]{6}-" + shortHost + "-" +
                                                    std::to_string(getpid()) + "\\.smv")))
      << files[0];
  EXPECT_EQ(std::memcmp(seg, "SHMVAR01", 8), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(seg) + 9), "tool:" + std::to_string(getpid()));
  EXPECT_TRUE(count.isRegistered());
  count = 43u;
  // A second segment replaces the first with a message; the first stays
  // mapped for the variables registered there. (The child-process test reads
  // a value back from the file.)
  size_t len2 = 4096;
  testing::internal::CaptureStderr();
  unsigned char* seg2 = manager.createAndAttachStandardSegment("tool2", &len2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Existing segment was already allocated; replacing with component tool2\n");
  ASSERT_NE(seg2, nullptr);
  EXPECT_EQ(static_cast<unsigned>(count), 43u);
}

TEST(SharedMemoryVariableManager, ShortOrMissingSegmentFilesGiveNull) {
  LogDir dir;
  const std::string shortFile = dir.path + "/short.smv";
  std::FILE* f = std::fopen(shortFile.c_str(), "w");
  std::fputs("SHM", f);
  std::fclose(f);
  size_t len = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(SharedMemoryVariableManager::createSegment(shortFile.c_str(), &len, MAP_FILE_READONLY, "SHMVAR01"),
            nullptr);
  EXPECT_EQ(SharedMemoryVariableManager::createSegment((dir.path + "/none.smv").c_str(), &len, MAP_FILE_READONLY,
                                                       "SHMVAR01"),
            nullptr);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("does not have correct magic number, wanted=\"SHMVAR01\" got=\"SHM\""), std::string::npos) << err;
}

// Start-up variables are valid before any static constructor runs and wait on
// the default manager's deferred list, nodes before their children.
TEST(SharedMemoryVariableManager, StartupMasksWaitOnTheDefaultManager) {
  EXPECT_EQ(app_logLevelMask.dataPointer, &app_logLevelMask.initialCopy);
  EXPECT_EQ(app_logLevelMask.getVariableManager(), &DEFAULT_sharedMemoryVariableManager);
  EXPECT_FALSE(DEFAULT_sharedMemoryVariableManager.initialized());
  EXPECT_GE(DEFAULT_sharedMemoryVariableManager.deferredCount(), 5u);
  char name[64];
  app_logLevelMask.getFullName(name, sizeof name);
  EXPECT_STREQ(name, "/app");
  EXPECT_EQ(io_logLevelMask.getType(), SMV::SMV_TYPE_UINT32);
}

}  // namespace

// A child process maps the segment file and watches a value the parent
// keeps raising.
TEST(SharedMemoryVariableManager, ChildProcessReadsValuesTheParentWrites) {
  LogDir dir;
  SharedMemoryVariableManager manager(false);
  SMV_StandaloneNumeric<unsigned> progress("progress", &manager, 0u);
  size_t len = 4096;
  ASSERT_NE(manager.createAndAttachStandardSegment("child", &len), nullptr);
  const std::string path = dir.path + "/" + dir.files().at(0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    size_t mapped = 0;
    unsigned char* seg =
        SharedMemoryVariableManager::createSegment(path.c_str(), &mapped, MAP_FILE_READONLY, SMV_MAGIC_NUMBER);
    if (seg == nullptr) _exit(2);
    SharedMemoryVariableManager reader(false);
    reader.attachExistingSegment(seg, mapped);
    SharedBufferAllocRecord_32* cursor = nullptr;
    SharedMemoryVariable_Record* r = reader.iterateOver32BitSegment(&cursor);
    if (r == nullptr || std::strcmp(r->varName, "progress") != 0) _exit(3);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    unsigned last = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      const unsigned v = __atomic_load_n(&r->numericValue.u32, __ATOMIC_RELAXED);
      if (v < last) _exit(4);  // values only grow
      last = v;
      if (v == 100) _exit(0);
      usleep(100);
    }
    _exit(5);
  }
  for (unsigned i = 1; i <= 100; ++i) {
    progress = i;
    usleep(200);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
