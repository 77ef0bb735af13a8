# Cross-building for another Debian architecture with Debian's own cross
# compilers (g++-<triple>) and the target's multiarch packages
# (libtirpc-dev:<arch> and so on, installed beside the host's), running the
# target's programs under qemu user emulation.  Each <arch>.cmake beside this
# file names its Debian architecture and includes it; scripts/cross.sh
# installs what they need and builds with them.

set(CMAKE_SYSTEM_NAME Linux)

# Debian architecture: GNU triple of the cross compiler, multiarch directory
# of its libraries, processor name, and qemu's name for it.
set(parcel_cross_table
  "arm64    aarch64-linux-gnu        aarch64-linux-gnu        aarch64 aarch64"
  "armel    arm-linux-gnueabi        arm-linux-gnueabi        arm     arm"
  "armhf    arm-linux-gnueabihf      arm-linux-gnueabihf      arm     arm"
  "i386     i686-linux-gnu           i386-linux-gnu           i686    i386"
  "mips64el mips64el-linux-gnuabi64  mips64el-linux-gnuabi64  mips64  mips64el"
  "ppc64el  powerpc64le-linux-gnu    powerpc64le-linux-gnu    ppc64le ppc64le"
  "s390x    s390x-linux-gnu          s390x-linux-gnu          s390x   s390x")
foreach(row IN LISTS parcel_cross_table)
  string(REGEX MATCHALL "[^ ]+" row "${row}")
  list(GET row 0 arch)
  if(arch STREQUAL PARCEL_DEBIAN_ARCH)
    list(GET row 1 parcel_cross_triple)
    list(GET row 2 CMAKE_LIBRARY_ARCHITECTURE)
    list(GET row 3 CMAKE_SYSTEM_PROCESSOR)
    list(GET row 4 parcel_cross_qemu)
  endif()
endforeach()
if(NOT parcel_cross_triple)
  message(FATAL_ERROR "no cross toolchain for the Debian architecture '${PARCEL_DEBIAN_ARCH}'")
endif()

set(CMAKE_C_COMPILER ${parcel_cross_triple}-gcc)
set(CMAKE_CXX_COMPILER ${parcel_cross_triple}-g++)

# Target programs run under qemu with the multiarch root as their root, so
# that the dynamic linker and libraries of /lib/<multiarch> are used (the
# cross toolchain's copy of libc under /usr/<triple> is only for linking).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${parcel_cross_qemu}-static -L /)

# Programs (python3, rpcgen, readelf) are the host's; libraries, headers and
# packages the target's, which multiarch keeps in /usr/lib/<multiarch>.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:/usr/share/pkgconfig")
