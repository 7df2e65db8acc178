#!/usr/bin/env bash
# Log benchmarks beside their peers, in one run: installs fmt and spdlog from
# the distribution (never needed to build or test narvelix), builds the peer
# program, then runs it, the enabled-statement benchmarks and the
# writer-thread load program.
# Usage: bench/logging_peers.sh [build-dir]   (a build with
# -DUTILS_BUILD_BENCH=ON; default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
apt-get update -qq
apt-cache policy libfmt-dev libspdlog-dev
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libfmt-dev libspdlog-dev >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
g++ -std=c++20 -O2 -DSPDLOG_FMT_EXTERNAL -o "$work/log_peers" bench/tools/log_peers.cpp -lspdlog -lfmt -pthread
echo "== peers"
"$work/log_peers" "$work"
echo "== narvelix"
"$build/bench/logging_bench" --benchmark_filter='EnabledThreeNumbers|BareWritevToDevNull' --benchmark_min_time=1
"$build/bench/log_writer_load" "$work"
