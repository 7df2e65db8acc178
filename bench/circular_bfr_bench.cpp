// Block allocation: an uncontended pool allocate + return against malloc +
// free of the same size, and four threads sharing one pool against four
// threads sharing a mutex-guarded free list of the same blocks. Each iteration
// takes one block, touches its first byte and gives it back.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "utils/base/circular_bfr.hpp"

namespace {

constexpr size_t BLOCK = 256;
constexpr size_t BLOCKS = 64;
constexpr size_t REGION = 84 + BLOCKS * (BLOCK + 20);

std::vector<uint64_t> poolStorage(REGION / 8 + 1, 0);
CircularBufferManager pool(poolStorage.data(), REGION, BLOCK, "bench");

void PoolAllocateReturn(benchmark::State& state) {
  for (auto _ : state) {
    SharedBufferAllocRecord* rec = pool.allocateBlock(BLOCK);
    unsigned char* block = pool.blockAddress(rec);
    block[0] = 1;
    benchmark::DoNotOptimize(block);
    pool.returnBlock(rec);
  }
}
BENCHMARK(PoolAllocateReturn);
BENCHMARK(PoolAllocateReturn)->Threads(4)->UseRealTime();

void MallocFree(benchmark::State& state) {
  for (auto _ : state) {
    auto* block = static_cast<unsigned char*>(std::malloc(BLOCK));
    block[0] = 1;
    benchmark::DoNotOptimize(block);
    std::free(block);
  }
}
BENCHMARK(MallocFree);

// The baseline for shared use: the same blocks on a stack behind a mutex.
struct MutexFreeList {
  std::mutex lock;
  std::vector<unsigned char*> free;
  std::vector<unsigned char> storage = std::vector<unsigned char>(BLOCKS * BLOCK);
  MutexFreeList() {
    for (size_t i = 0; i < BLOCKS; ++i) free.push_back(storage.data() + i * BLOCK);
  }
  unsigned char* take() {
    std::lock_guard<std::mutex> guard(lock);
    unsigned char* block = free.back();
    free.pop_back();
    return block;
  }
  void give(unsigned char* block) {
    std::lock_guard<std::mutex> guard(lock);
    free.push_back(block);
  }
};
MutexFreeList mutexList;

void MutexFreeListTakeGive(benchmark::State& state) {
  for (auto _ : state) {
    unsigned char* block = mutexList.take();
    block[0] = 1;
    benchmark::DoNotOptimize(block);
    mutexList.give(block);
  }
}
BENCHMARK(MutexFreeListTakeGive);
BENCHMARK(MutexFreeListTakeGive)->Threads(4)->UseRealTime();

}  // namespace
