# The Windows package (cpack, in a win64 or win32 build directory): one ZIP
# per bitness, zeva232-<version>-win64.zip or -win32.zip, laid out as
#   bin/      zeva232.dll, zevactl.exe (where the tools are built)
#   lib/      zeva232.lib (import library for MSVC), libzeva232.dll.a (for
#             mingw), zeva232.def (the exports as this bitness names them)
#   include/  zeva232.h
#   examples/ identify.c, blink.hex
#   README.txt
# zeva232.lib is made by llvm-dlltool from the same module definition as the
# mingw import library: on i686 it carries the __stdcall names the header
# declares (_OpenCOM@4), each importing the plain exported name.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(ZEVA_WIN_BITS win64)
  set(ZEVA_DLLTOOL_MACHINE i386:x86-64)
  set(ZEVA_WIN_DEF ${PROJECT_SOURCE_DIR}/api/zeva232.def)
else()
  set(ZEVA_WIN_BITS win32)
  set(ZEVA_DLLTOOL_MACHINE i386)
  set(ZEVA_WIN_DEF ${CMAKE_BINARY_DIR}/zeva232_stdcall.def)
endif()

find_program(ZEVA_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
if(ZEVA_LLVM_DLLTOOL)
  set(ZEVA_MSVC_IMPLIB ${CMAKE_BINARY_DIR}/zeva232.lib)
  # -k: the imported name is the plain one (the decoration only names the
  # symbols a client refers to).
  add_custom_command(OUTPUT ${ZEVA_MSVC_IMPLIB}
    COMMAND ${ZEVA_LLVM_DLLTOOL} -m ${ZEVA_DLLTOOL_MACHINE} -D zeva232.dll -d ${ZEVA_WIN_DEF} -k
            -l ${ZEVA_MSVC_IMPLIB}
    DEPENDS zeva232 ${PROJECT_SOURCE_DIR}/api/zeva232.def
    COMMENT "zeva232.lib, the import library for MSVC"
    VERBATIM)
  add_custom_target(zeva232_msvc_implib ALL DEPENDS ${ZEVA_MSVC_IMPLIB})
  install(FILES ${ZEVA_MSVC_IMPLIB} DESTINATION lib)
else()
  message(WARNING "llvm-dlltool not found (Debian package llvm): the package has no zeva232.lib")
endif()

install(TARGETS zeva232 RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(FILES ${ZEVA_WIN_DEF} DESTINATION lib RENAME zeva232.def)
install(FILES ${PROJECT_SOURCE_DIR}/include/zeva232.h DESTINATION include)
if(TARGET zevactl)
  install(TARGETS zevactl RUNTIME DESTINATION bin)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows/identify.c ${PROJECT_SOURCE_DIR}/examples/blink.hex
  DESTINATION examples)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt DESTINATION .)

set(CPACK_PACKAGE_NAME "zeva232")
set(CPACK_PACKAGE_VENDOR "zeva232")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host-side driver for the ZEVA field bus: zeva232.dll with its import libraries")
set(CPACK_GENERATOR "ZIP")
set(CPACK_PACKAGE_FILE_NAME "zeva232-${PROJECT_VERSION}-${ZEVA_WIN_BITS}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
