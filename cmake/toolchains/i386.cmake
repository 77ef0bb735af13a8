# Cross-building for Debian i386: see debian-cross.cmake.
set(PARCEL_DEBIAN_ARCH i386)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
