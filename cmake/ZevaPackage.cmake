# cpack -G DEB (in the build directory): one package with the library, the
# tools, the headers, the CMake and pkg-config files, the man pages and the
# examples, installed below /usr. Its run-time dependencies are computed by
# dpkg-shlibdeps from what the binaries link against.
if(WIN32)
  return()  # the ZIP of cmake/ZevaWindowsPackage.cmake
endif()
set(CPACK_PACKAGE_NAME "zeva232")
set(CPACK_PACKAGE_VENDOR "zeva232")
set(CPACK_PACKAGE_CONTACT "zeva232 developers <zeva232@localhost>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host-side driver for the ZEVA field bus, with zevactl and zevasim")
set(CPACK_PACKAGE_DESCRIPTION [=[zeva232 drives ZEVA devices on an RS-485 line behind a serial adapter:
it configures the link, identifies devices and maps the bus, assigns bus
addresses and downloads programs. The package holds the shared library with
its C headers, CMake package and pkg-config file, the command-line client
zevactl and the bus simulator zevasim.]=])
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_GENERATOR "DEB")
# The build keeps its debugging information; the package does not.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file, so that packages built against the library depend on this
# one, and ldconfig at install and removal.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
include(CPack)
