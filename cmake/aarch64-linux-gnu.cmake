# Cross builds for aarch64 Linux with Debian's GNU cross toolchain. Programs
# that the build or ctest runs (the test binary, to list and run its tests)
# go through qemu's user-mode emulation, with the cross toolchain's C and C++
# runtime libraries in place of the host's.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
