# 64-bit ARM: cmake -S . -B build-arm64 --toolchain cmake/toolchains/arm64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(cross_prefix aarch64-linux-gnu)
set(multiarch aarch64-linux-gnu)
set(qemu qemu-aarch64)
set(one_cpu ON)
include(${CMAKE_CURRENT_LIST_DIR}/debian_cross.cmake)
