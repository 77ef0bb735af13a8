# Cross-building for Debian s390x: see debian-cross.cmake.
set(PARCEL_DEBIAN_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
