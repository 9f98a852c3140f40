# Cross-compiling the Win32 DLL with mingw-w64 (Debian: apt-get install mingw-w64),
# shared by the toolchain files of both targets, which set
# CMAKE_SYSTEM_PROCESSOR and ZEVA_MINGW_TRIPLET first.
# The posix thread model is the one whose libstdc++ has std::mutex and
# std::thread; everything is linked statically, so the DLL and the programs
# need only the system's own DLLs.
set(CMAKE_SYSTEM_NAME Windows)

find_program(CMAKE_C_COMPILER NAMES ${ZEVA_MINGW_TRIPLET}-gcc-posix ${ZEVA_MINGW_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${ZEVA_MINGW_TRIPLET}-g++-posix ${ZEVA_MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${ZEVA_MINGW_TRIPLET}-windres windres REQUIRED)

# Headers and libraries come from the mingw-w64 sysroot only: the host's C
# headers must never reach the cross build.
set(CMAKE_FIND_ROOT_PATH /usr/${ZEVA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# The project's own sources are built against the lean system header without
# its min/max macros (platform/win32/windows_api.h asks for the same).
# zeva232.h leaves these switches to its includers: tests/win32 builds its
# header client without them.
set(CMAKE_C_FLAGS_INIT "-DWIN32_LEAN_AND_MEAN -DNOMINMAX")
set(CMAKE_CXX_FLAGS_INIT "-DWIN32_LEAN_AND_MEAN -DNOMINMAX")
