# Shared by the toolchain files beside it, which set cross_prefix (that of Debian's cross
# compiler, g++-<cross_prefix>), multiarch (where libx264-dev:ARCH puts its files), qemu (the
# qemu-user emulator) and one_cpu, then include this.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${cross_prefix}-g++)
# The target's libraries, not the build machine's: pkg-config finds libx264-dev:ARCH, and
# find_package the target's GoogleTest (libgtest-dev:ARCH).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${multiarch}/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_LIBRARY_ARCHITECTURE ${multiarch})
# CTest runs the tests, and the tests the program, under qemu-user. With the target's own C
# library (libc6:ARCH, which libx264-dev:ARCH brings), as on a board: not the older build under
# /usr/<cross_prefix> (qemu's -L), whose loader meets libc6:ARCH's libraries through the loader
# cache, and a forked child then hangs or crashes. Cached, so that scripts read it from the build
# and a user may give another. Absolute paths: the tests start it with execve.
# one_cpu: libx264 then encodes on one thread, as its threaded encode hangs or crashes under
# qemu-user for ARM.
set(pin_to_one_cpu "")
if(one_cpu)
  set(pin_to_one_cpu /usr/bin/taskset -c 0)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${pin_to_one_cpu} /usr/bin/${qemu} CACHE STRING
    "Runs the target's programs on the build machine")
