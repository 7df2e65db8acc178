// Variables created and destroyed on several threads at once, while the
// manager gets its segment: every surviving variable ends up registered
// exactly once, and destroyed ones never reach the segment.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "utils/shared_vars/shared_variable.hpp"

namespace {

TEST(SharedMemoryVariableThreads, ConcurrentRegistrationWhileTheSegmentArrives) {
  constexpr int THREADS = 4;
  constexpr int PER_THREAD = 200;
  std::vector<uint64_t> words((1 << 20) / 8, 0);
  SharedMemoryVariableManager manager(false);
  std::vector<std::string> names;
  for (int t = 0; t < THREADS; ++t) {
    for (int i = 0; i < PER_THREAD; ++i) names.push_back("v" + std::to_string(t) + "_" + std::to_string(i));
  }
  std::vector<std::vector<std::unique_ptr<SMV_StandaloneNumeric<unsigned>>>> kept(THREADS);
  std::atomic<int> started{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      started.fetch_add(1);
      for (int i = 0; i < PER_THREAD; ++i) {
        const std::string& name = names[static_cast<size_t>(t * PER_THREAD + i)];
        auto v = std::make_unique<SMV_StandaloneNumeric<unsigned>>(name.c_str(), &manager, static_cast<unsigned>(i));
        if (i % 3 == 0) continue;  // destroyed at once: leaves the deferred list (or stays in the segment)
        kept[static_cast<size_t>(t)].push_back(std::move(v));
      }
    });
  }
  while (started.load() < THREADS) std::this_thread::yield();
  manager.initializeSegment(words.data(), words.size() * 8, "threads");
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(manager.deferredCount(), 0u);
  std::set<std::string> inSegment;
  SharedBufferAllocRecord_32* cursor = nullptr;
  while (SharedMemoryVariable_Record* r = manager.iterateOver32BitSegment(&cursor)) {
    EXPECT_TRUE(inSegment.insert(r->varName).second) << r->varName << " registered twice";
  }
  for (const auto& list : kept) {
    for (const auto& v : list) {
      EXPECT_TRUE(v->isRegistered()) << v->getName();
      EXPECT_EQ(inSegment.count(v->getName()), 1u) << v->getName();
    }
  }
  EXPECT_LE(inSegment.size(), names.size());
}

}  // namespace
