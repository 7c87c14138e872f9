# Toolchain for the Windows build: Debian's mingw-w64 (x86-64, posix threads), run under wine64.
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The test programs run through scripts/wine-run with the prefix <build>/wine (ORV_WINEPREFIX,
# which a -D or the environment may set to another directory).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_orv_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_orv_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_orv_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_orv_mingw}-windres)

# Everything is linked statically: libstdc++, libgcc and winpthread end up inside the
# executable or DLL, which then imports only Windows' own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -static)

set(CMAKE_FIND_ROOT_PATH /usr/${_orv_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The toolchain file is read again in every try_compile project, whose CMAKE_BINARY_DIR is a
# scratch directory: the prefix chosen by the top-level configure is handed on to them.
if(NOT ORV_WINEPREFIX)
  if(DEFINED ENV{ORV_WINEPREFIX} AND NOT "$ENV{ORV_WINEPREFIX}" STREQUAL "")
    set(ORV_WINEPREFIX "$ENV{ORV_WINEPREFIX}")
  else()
    set(ORV_WINEPREFIX "${CMAKE_BINARY_DIR}/wine")
  endif()
endif()
set(ORV_WINEPREFIX "${ORV_WINEPREFIX}" CACHE PATH "The wine prefix the Windows test programs run in")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORV_WINEPREFIX)

get_filename_component(_orv_wine_run "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env "ORV_WINEPREFIX=${ORV_WINEPREFIX}" "${_orv_wine_run}")
