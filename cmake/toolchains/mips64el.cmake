# Cross-building for Debian mips64el: see debian-cross.cmake.
set(PARCEL_DEBIAN_ARCH mips64el)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
