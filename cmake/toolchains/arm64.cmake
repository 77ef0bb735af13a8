# Cross-building for Debian arm64: see debian-cross.cmake.
set(PARCEL_DEBIAN_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
