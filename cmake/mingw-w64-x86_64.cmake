# The 64-bit twin: the same sources for x86-64 Windows, run under 64-bit Wine. Not shipped.
set(MINGW_ARCH x86_64)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")
