# Debian packages, made by CPack's DEB generator (scripts/package.sh runs it
# on a build configured for /usr):
#
#   libparcel<major>  the five shared libraries with their SONAME links
#   libparcel-dev     the headers, the unversioned links, parcel.pc and the
#                     CMake package; depends on libparcel<major> of its version
#   parcel-tools      the parcel tool and its manual page
#
# The package name of the libraries follows the SONAME's major version, so a
# release that breaks the ABI installs beside the one before.  Run-time
# dependencies come from dpkg-shlibdeps; libparcel<major> ships a shlibs file
# so that packages built against it get theirs the same way.

# The install components the packages are made of.
set(PARCEL_DEB_libs libparcel${PROJECT_VERSION_MAJOR})
set(PARCEL_DEB_dev libparcel-dev)
set(PARCEL_DEB_tools parcel-tools)

set(CPACK_PACKAGE_CONTACT "parcel maintainers <maintainers@parcel.example.org>")

# Debian's changelog of this version, compressed as its policy asks; dated
# SOURCE_DATE_EPOCH when that is set, so that packages can be rebuilt alike.
string(TIMESTAMP parcel_release_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
execute_process(COMMAND gzip -9n -c ${PROJECT_BINARY_DIR}/packaging/changelog
  OUTPUT_FILE ${PROJECT_BINARY_DIR}/packaging/changelog.gz COMMAND_ERROR_IS_FATAL ANY)

# Every package carries the copyright file and the changelog in its
# documentation directory.  Plain installations (cmake --install) leave them
# out.
foreach(component libs dev tools)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PARCEL_DEB_${component}}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${PARCEL_DEB_${component}})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME parcel)
set(CPACK_PACKAGE_VENDOR "parcel maintainers")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PROJECT_HOMEPAGE_URL}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL libs dev)
if(TARGET parcel_tool)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The libraries' package runs ldconfig through dpkg's trigger.  (CPack adds
# postinst and postrm scripts calling it as well; docs/releasing.md.)
set(CPACK_DEBIAN_LIBS_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps finds the libraries the tool links against in the build
# tree; its dependency on their package is the component dependency below.
foreach(library parcel fieldcodec heapkit taskbase hostshim)
  get_target_property(library_dir ${library} BINARY_DIR)
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${library_dir})
endforeach()
# A component's DEPENDS become "package (= version)".
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_LIBS_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# What compiling against the headers needs: <rpc/xdr.h>, and pkg-config, with
# which both parcel.pc and the CMake package find libtirpc.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libtirpc-dev, pkgconf | pkg-config")

# Each package's description: its summary line, what parcel is, what the
# package holds.
set(parcel_about "parcel encodes the thirty message types of a distributed load-testing
system (scenario control, virtual-user status, load goals, debugger events)
as XDR bytes (RFC 4506) and decodes them: into records on the default heap or
on goheap arenas, or, for seventeen messages, into plain C structures.
")

include(CPack)
cpack_add_component(libs
  DESCRIPTION "XDR encoding of load-testing messages - shared libraries
${parcel_about}
This package holds libparcel and the field codec, goheap arena, message
allocator and string copy libraries that it links against.")
cpack_add_component(dev DEPENDS libs
  DESCRIPTION "XDR encoding of load-testing messages - development files
${parcel_about}
This package holds the C and C++ headers, parcel.pc for pkg-config and the
CMake package for find_package(parcel).")
cpack_add_component(tools DEPENDS libs
  DESCRIPTION "XDR encoding of load-testing messages - command-line tool
${parcel_about}
This package holds parcel, which lists the types and encodes, decodes and
measures any of them from the command line.")
