# Cross build for 32-bit ARM Linux (hard float) with Debian's cross compiler;
# programs built here run under qemu-arm (tests through ctest, and the tools
# the tests start through the same command). GoogleTest comes from the
# multiarch armhf package (libgtest-dev:armhf); scripts/install-deps.sh --arm
# installs all of it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
