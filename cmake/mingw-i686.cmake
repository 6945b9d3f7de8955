# Cross-building for Windows (i686) with MinGW-w64, posix-thread runtime.
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
