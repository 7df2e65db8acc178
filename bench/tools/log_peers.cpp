// Peer figures for the log benchmarks, built only by bench/logging_peers.sh
// against the distribution's fmt and spdlog: the same line (three numbers,
// about 20 characters, date and time) formatted into memory with
// fmt::format_to, written through spdlog's synchronous file sink to
// /dev/null, and through spdlog's async logger (blocking overflow policy):
// caller latency p50/p99 and 4 threads x 1,000,000 lines into one file.
#include <fmt/chrono.h>
#include <fmt/format.h>
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

uint64_t nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

template <typename F>
double nsPerCall(uint32_t n, F&& f) {
  const uint64_t start = nowNs();
  for (uint32_t i = 0; i < n; ++i) f(i);
  return static_cast<double>(nowNs() - start) / n;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp";
  constexpr uint32_t N = 1000000;
  fmt::memory_buffer out;
  const double fmtNs = nsPerCall(N, [&](uint32_t i) {
    out.clear();
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&t, &local);
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() % 1000000;
    fmt::format_to(std::back_inserter(out), "{:%Y/%m/%d %H:%M:%S}.{:06d} ERROR rows {} of {} in {} parts done\n",
                   local, us, i, 1000000u, static_cast<int>(i & 7));
  });
  std::printf("fmt::format_to with date and time: %.0f ns/line\n", fmtNs);

  auto sync = spdlog::basic_logger_mt("sync", "/dev/null");
  const double syncNs = nsPerCall(N, [&](uint32_t i) {
    sync->error("rows {} of {} in {} parts done", i, 1000000u, static_cast<int>(i & 7));
  });
  std::printf("spdlog synchronous file sink to /dev/null: %.0f ns/line\n", syncNs);

  spdlog::init_thread_pool(8192, 1);
  {
    auto async = spdlog::create_async<spdlog::sinks::basic_file_sink_mt>("async", dir + "/spdlog_latency.log", true);
    constexpr uint32_t LAT = 200000;
    std::vector<uint32_t> latency(LAT);
    for (uint32_t i = 0; i < LAT; ++i) {
      const uint64_t start = nowNs();
      async->error("rows {} of {} in {} parts done", i, 1000000u, static_cast<int>(i & 7));
      latency[i] = static_cast<uint32_t>(nowNs() - start);
    }
    async->flush();
    std::sort(latency.begin(), latency.end());
    std::printf("spdlog async caller latency: p50 %u ns, p99 %u ns, max %u ns\n", latency[LAT / 2],
                latency[LAT * 99 / 100], latency.back());
    spdlog::drop("async");
  }
  {
    auto async = spdlog::create_async<spdlog::sinks::basic_file_sink_mt>("load", dir + "/spdlog_load.log", true);
    const uint64_t start = nowNs();
    std::vector<std::thread> loggers;
    for (int t = 0; t < 4; ++t) {
      loggers.emplace_back([&async, t]() {
        for (uint32_t i = 0; i < N; ++i) async->error("t{} i{} of {}", t, i, 1000000u);
      });
    }
    for (std::thread& th : loggers) th.join();
    async.reset();
    spdlog::shutdown();
    const double seconds = static_cast<double>(nowNs() - start) / 1e9;
    std::printf("spdlog async 4 threads x %u lines: %.2f s, %.0f lines/s\n", N, seconds, 4.0 * N / seconds);
  }
  std::remove((dir + "/spdlog_latency.log").c_str());
  std::remove((dir + "/spdlog_load.log").c_str());
  return 0;
}
