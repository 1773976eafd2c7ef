# 32-bit ARM, hard float: cmake -S . -B build-armhf --toolchain cmake/toolchains/armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(cross_prefix arm-linux-gnueabihf)
set(multiarch arm-linux-gnueabihf)
set(qemu qemu-arm)
set(one_cpu ON)
include(${CMAKE_CURRENT_LIST_DIR}/debian_cross.cmake)
