# Runs at install time: writes zeva232.pc for the prefix being installed to
# (cmake --install --prefix, or the package's /usr), so that the paths in it
# are the real ones, and installs it below DESTDIR like every other file.
#
# Set by the caller: ZEVA_PC_TEMPLATE, ZEVA_PC_WORK (a file in the build
# tree), ZEVA_PC_VERSION, ZEVA_PC_LIBDIR_REL, ZEVA_PC_INCLUDEDIR_REL.
function(zeva_full_path out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

set(ZEVA_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
zeva_full_path(ZEVA_PC_LIBDIR "${ZEVA_PC_LIBDIR_REL}")
zeva_full_path(ZEVA_PC_INCLUDEDIR "${ZEVA_PC_INCLUDEDIR_REL}")
configure_file("${ZEVA_PC_TEMPLATE}" "${ZEVA_PC_WORK}" @ONLY)
file(INSTALL "${ZEVA_PC_WORK}" DESTINATION "${ZEVA_PC_LIBDIR}/pkgconfig")
