# Cross build for 32-bit ARM (Debian armhf):
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
# On the armhf libraries of the multiarch installation (libc6:armhf): on the cross toolchain's
# own copy of the C library (-L /usr/arm-linux-gnueabihf) a program crashes as it starts a thread.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi) # notes on an ABI change of GCC 7.1 that concerns no caller here
