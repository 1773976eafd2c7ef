# 32-bit x86: cmake -S . -B build-i386 --toolchain cmake/toolchains/i386.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(cross_prefix i686-linux-gnu)
set(multiarch i386-linux-gnu)
set(qemu qemu-i386)
set(one_cpu OFF)
include(${CMAKE_CURRENT_LIST_DIR}/debian_cross.cmake)
