# Cross-building for Debian armel: see debian-cross.cmake.
set(PARCEL_DEBIAN_ARCH armel)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
