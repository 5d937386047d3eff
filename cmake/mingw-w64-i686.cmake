# The shipped program: 32-bit x86 Windows, run under 32-bit Wine.
set(MINGW_ARCH i686)
set(CMAKE_SYSTEM_PROCESSOR x86)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")
