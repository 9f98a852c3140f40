# Toolchain for the i686 DLL (preset win32).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZEVA_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
