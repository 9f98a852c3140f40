# What `cmake --install` puts in place, all of it below CMAKE_INSTALL_PREFIX:
# the shared library with its version links, the public headers, zevactl and
# zevasim with their man pages, the CMake package (zeva232::zeva232), the
# pkg-config file, and example configuration under the documentation
# directory. The settings prefix (/etc/zeva232) is the administrator's and is
# never written here.
if(WIN32)
  # The Windows package has its own layout; cpack makes a ZIP of it.
  include("${CMAKE_CURRENT_LIST_DIR}/ZevaWindowsPackage.cmake")
  return()
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZEVA_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/zeva232")

install(TARGETS zeva232 EXPORT zeva232Targets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  INCLUDES DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
install(FILES
  "${PROJECT_SOURCE_DIR}/include/zeva232.h"
  "${PROJECT_SOURCE_DIR}/include/zeva232_posix.h"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")

install(EXPORT zeva232Targets NAMESPACE zeva232:: DESTINATION "${ZEVA_CMAKE_DIR}")
configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/zeva232Config.cmake.in"
  "${PROJECT_BINARY_DIR}/zeva232Config.cmake" INSTALL_DESTINATION "${ZEVA_CMAKE_DIR}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/zeva232ConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}" COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/zeva232Config.cmake" "${PROJECT_BINARY_DIR}/zeva232ConfigVersion.cmake"
  DESTINATION "${ZEVA_CMAKE_DIR}")

# The .pc file carries absolute paths, so it is written for the prefix that
# is actually installed to, which may differ from the configured one.
install(CODE "
  set(ZEVA_PC_TEMPLATE \"${CMAKE_CURRENT_LIST_DIR}/zeva232.pc.in\")
  set(ZEVA_PC_WORK \"${PROJECT_BINARY_DIR}/pkgconfig/zeva232.pc\")
  set(ZEVA_PC_VERSION \"${PROJECT_VERSION}\")
  set(ZEVA_PC_LIBDIR_REL \"${CMAKE_INSTALL_LIBDIR}\")
  set(ZEVA_PC_INCLUDEDIR_REL \"${CMAKE_INSTALL_INCLUDEDIR}\")
  include(\"${CMAKE_CURRENT_LIST_DIR}/WritePkgConfig.cmake\")")

if(TARGET zevactl AND TARGET zevasim)
  # zevactl finds the library next to it, wherever the prefix is moved.
  file(RELATIVE_PATH libFromBin "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${CMAKE_INSTALL_LIBDIR}")
  set_target_properties(zevactl PROPERTIES INSTALL_RPATH "$ORIGIN/${libFromBin}")
  install(TARGETS zevactl zevasim RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
  include("${CMAKE_CURRENT_LIST_DIR}/ZevaManPages.cmake")
endif()

install(FILES
  "${PROJECT_SOURCE_DIR}/docs/examples/system.reg"
  "${PROJECT_SOURCE_DIR}/docs/examples/Orlindo.inf"
  "${PROJECT_SOURCE_DIR}/docs/examples/demo-bus.json"
  "${PROJECT_SOURCE_DIR}/docs/examples/identify.c"
  DESTINATION "${CMAKE_INSTALL_DOCDIR}/examples")
