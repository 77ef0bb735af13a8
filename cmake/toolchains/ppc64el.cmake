# Cross-building for Debian ppc64el: see debian-cross.cmake.
set(PARCEL_DEBIAN_ARCH ppc64el)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
