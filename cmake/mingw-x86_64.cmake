# Cross-building for Windows (x86_64) with MinGW-w64, posix-thread runtime.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
