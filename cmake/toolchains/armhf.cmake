# Cross-building for Debian armhf: see debian-cross.cmake.
set(PARCEL_DEBIAN_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
