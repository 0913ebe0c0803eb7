# Cross build of the 32-bit Windows library with mingw-w64's i686 compiler
# (POSIX threads flavour, which std::mutex needs on this compiler generation).
#   cmake -S . -B build-win-x86 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(BRIVANT_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${BRIVANT_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BRIVANT_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${BRIVANT_MINGW_PREFIX}-windres)
# Makes the import library that maps the decorated __stdcall names callers
# use onto the DLL's undecorated exports.
set(CMAKE_DLLTOOL ${BRIVANT_MINGW_PREFIX}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${BRIVANT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
