# zevactl(1) and zevasim(1), written in scdoc markup next to the programs'
# option tables and turned into compressed troff at build time. The test
# below runs each program's --help (and each command's) and fails when an
# option it accepts is missing from its page.
find_program(ZEVA_SCDOC scdoc)
find_program(ZEVA_GZIP gzip)
if(NOT ZEVA_SCDOC OR NOT ZEVA_GZIP)
  message(FATAL_ERROR "The man pages need scdoc and gzip (Debian: apt-get install scdoc gzip; "
                      "scripts/ensure-packages installs every package the build needs)")
endif()

set(ZEVA_MAN_PAGES)
foreach(program zevactl zevasim)
  set(source "${PROJECT_SOURCE_DIR}/docs/man/${program}.1.scd")
  set(page "${PROJECT_BINARY_DIR}/man/${program}.1")
  # Two steps, so that a failing scdoc fails the build instead of leaving an
  # empty page behind a pipe.
  add_custom_command(OUTPUT "${page}" "${page}.gz"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${PROJECT_BINARY_DIR}/man"
    COMMAND sh -c "\"$1\" < \"$2\" > \"$3\"" sh "${ZEVA_SCDOC}" "${source}" "${page}"
    COMMAND sh -c "\"$1\" -9nc \"$2\" > \"$2.gz\"" sh "${ZEVA_GZIP}" "${page}"
    DEPENDS "${source}"
    COMMENT "Man page ${program}(1)"
    VERBATIM)
  list(APPEND ZEVA_MAN_PAGES "${page}.gz")
endforeach()
add_custom_target(man_pages ALL DEPENDS ${ZEVA_MAN_PAGES})
install(FILES ${ZEVA_MAN_PAGES} DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
