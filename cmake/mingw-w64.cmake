# Cross-builds for Windows with mingw-w64 and runs what it builds under the Wine that fits it. Included
# by the toolchain file of each image: MINGW_ARCH is i686 (the shipped 32-bit program) or x86_64 (its
# 64-bit twin, built from the same sources only to run the Wine tests where 32-bit code cannot run).
set(CMAKE_SYSTEM_NAME Windows)

# The -posix variants: GoogleTest needs std::mutex, which the win32 thread model lacks.
set(CMAKE_C_COMPILER ${MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_ARCH}-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Chooses the Wine for the image, and skips its tests where the machine cannot run that image.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/under-wine.sh;${MINGW_ARCH}")
