#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer, AddressSanitizer and UBSan and
# runs each one for a given number of seconds.
#
#   fuzz/run.sh [--parallel] [--only NAME] [SECONDS]     (default 60 s per target)
#
# Each target starts from its committed seeds in fuzz/corpus/<name>/ (read
# only) and keeps the inputs it finds in a scratch folder, build-fuzz/corpus/<name>/.
# Crashes, leaks and timeouts go to fuzz/findings/<name>/. With --parallel the
# targets run at the same time under nice -n 10 (one process each); otherwise
# one after another. Exit status: 0 when no target found anything.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
seconds=60
parallel=0
only=""
while [ $# -gt 0 ]; do
  case "$1" in
    --parallel) parallel=1 ;;
    --only) only="$2"; shift ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) seconds="$1" ;;
  esac
  shift
done

"$root/scripts/install-deps.sh" --fuzz
build="$root/build-fuzz"
mkdir -p "$build"
if [ ! -f "$build/CMakeCache.txt" ]; then
  CXX=clang++ CC=clang cmake -S "$root" -B "$build" -DUTILS_BUILD_FUZZ=ON -DUTILS_SANITIZE=ON \
    -DUTILS_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build/configure.log" 2>&1 \
    || { cat "$build/configure.log"; exit 1; }
fi

targets=()
for src in "$here"/fuzz_*.cpp; do
  name="$(basename "$src" .cpp)"
  [ -z "$only" ] || [ "$name" = "fuzz_$only" ] || [ "$name" = "$only" ] || continue
  targets+=("$name")
done
cmake --build "$build" -j2 --target "${targets[@]}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

run_one() {
  local name="$1" corpus="${1#fuzz_}"
  local scratch="$build/corpus/$corpus" findings="$here/findings/$corpus"
  local log="$build/$name.log"
  mkdir -p "$scratch" "$findings"
  local dict=() maxlen=256 growth=100
  # The CSV dictionary fits the targets whose input is CSV text. Lines longer
  # than the reader's 65535-byte limit are covered by the tests; short inputs
  # run faster and reach more paths here.
  case "$corpus" in
    convert|csv_split) dict=("-dict=$here/csv.dict"); maxlen=8192 ;;
    # A metadata image needs room for a header, a few descriptions and records.
    metadata_reader) maxlen=4096 ;;
    # A few binary log records of a few values each.
    logcat) maxlen=4096 ;;
  esac
  # The conversion runs slowly (files in and out): let its inputs grow to a
  # few rows sooner.
  case "$corpus" in
    convert) growth=10 ;;
  esac
  local seeds=()
  [ -d "$here/corpus/$corpus" ] && seeds=("$here/corpus/$corpus")
  echo "== $name: ${seconds}s, log $log"
  local rc=0
  nice -n 10 "$build/fuzz/$name" "$scratch" "${seeds[@]}" "${dict[@]}" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$maxlen" -len_control="$growth" \
    -artifact_prefix="$findings/" -print_final_stats=1 >"$log" 2>&1 || rc=$?
  local runs
  runs="$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}' | tail -1)"
  local speed
  speed="$(grep -E '^stat::average_exec_per_sec' "$log" | awk '{print $2}' | tail -1)"
  local found
  found="$(find "$findings" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)"
  echo "== $name: exit $rc, runs ${runs:-?}, exec/s ${speed:-?}, corpus $(ls "$scratch" | wc -l), findings $found"
  return "$rc"
}

status=0
if [ "$parallel" -eq 1 ]; then
  pids=()
  for t in "${targets[@]}"; do
    run_one "$t" &
    pids+=($!)
  done
  for p in "${pids[@]}"; do wait "$p" || status=1; done
else
  for t in "${targets[@]}"; do run_one "$t" || status=1; done
fi
exit "$status"
