# Cross build for the appliance: 32-bit ARMv5 (armel) Linux.
# Debian's cross compiler g++-arm-linux-gnueabi; the target's libraries
# (OpenSSL, GoogleTest) come from Debian's armel packages installed through
# multiarch, so they lie in /usr/lib/arm-linux-gnueabi beside the host's.
# Programs built here run on this machine under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabi)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)

# Only the target's folders for libraries, headers and package files; the
# host's programs (cmake, msgfmt, openssl) stay usable.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# ctest (and the test discovery at build time) runs the target's programs
# through the user-mode emulator. They load the target's C library of the
# multiarch packages (libc6:armel, /lib/ld-linux.so.3), the same one that
# libssl:armel was built against: with "-L /usr/arm-linux-gnueabi" the cross
# toolchain's copy of the C library would mix with the multiarch libraries
# that the host's loader cache lists, and every new thread crashes.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)

# pkg-config (used by FindOpenSSL) must see the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabi/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
