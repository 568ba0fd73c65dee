# Cross build for the appliance: 32-bit ARMv5 (armel) Linux.
# Debian's cross compiler g++-arm-linux-gnueabi; the target's libraries
# (OpenSSL, GoogleTest, libiptc) come from Debian's armel packages installed
# through multiarch, so they lie in /usr/lib/arm-linux-gnueabi beside the
# host's. net-snmp, whose development package is not multiarch, and the
# libraries it needs are unpacked by "scripts/install-deps armel" into a
# sysroot of their own: build/armel-sysroot, or ARMEL_SYSROOT from the
# environment. Programs built here run on this machine under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabi)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)

# Only the target's folders for libraries, headers and package files; the
# host's programs (cmake, msgfmt, openssl) stay usable.
if(DEFINED ENV{ARMEL_SYSROOT})
  set(ARMEL_SYSROOT "$ENV{ARMEL_SYSROOT}")
else()
  set(ARMEL_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/armel-sysroot")
endif()
get_filename_component(ARMEL_SYSROOT "${ARMEL_SYSROOT}" ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi "${ARMEL_SYSROOT}")
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

# The sysroot's libraries: the linker follows the net-snmp libraries'
# own dependencies (Perl, libwrap, ...) there, and the programs of the
# build tree carry the folders as DT_RPATH (not RUNPATH, which would not
# reach those indirect dependencies), so they start under plain qemu-arm.
# Nothing is installed from a cross build: on the appliance the libraries
# lie in the standard folders.
set(_armel_libdirs "${ARMEL_SYSROOT}/usr/lib/arm-linux-gnueabi" "${ARMEL_SYSROOT}/lib/arm-linux-gnueabi")
string(JOIN ":" _armel_libpath ${_armel_libdirs})
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_armel_libpath} -Wl,--disable-new-dtags")
set(CMAKE_BUILD_RPATH ${_armel_libdirs})
