#!/usr/bin/env bash
# Installs what the build needs from Debian packages, only when it is missing:
# cmake, g++, GoogleTest, Google Benchmark; clang for the fuzz targets with
# --fuzz; the 32-bit ARM cross compiler, GoogleTest for armhf and qemu-user
# with --arm.
set -euo pipefail
need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
update=0
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
for opt in "$@"; do
  case "$opt" in
    --fuzz)
      command -v clang++ >/dev/null 2>&1 || need+=(clang)
      ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
        || need+=(libclang-rt-dev)
      ;;
    --arm)
      command -v arm-linux-gnueabihf-g++ >/dev/null 2>&1 || need+=(g++-arm-linux-gnueabihf)
      command -v qemu-arm >/dev/null 2>&1 || need+=(qemu-user)
      if [ ! -f /usr/lib/arm-linux-gnueabihf/libgtest.a ]; then
        need+=(libgtest-dev:armhf)
        if ! dpkg --print-foreign-architectures | grep -qx armhf; then
          $SUDO dpkg --add-architecture armhf
          update=1  # the armhf package lists are not there yet
        fi
      fi
      ;;
    *) echo "install-deps.sh: unknown option $opt (use --fuzz or --arm)" >&2; exit 2 ;;
  esac
done
if [ ${#need[@]} -gt 0 ] || [ $update -eq 1 ]; then
  echo "installing: ${need[*]}"
  $SUDO apt-get update -qq
  [ ${#need[@]} -eq 0 ] ||
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-remove "${need[@]}"
fi
