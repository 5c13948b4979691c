# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads
# variant). Not the shipped program, which is 32-bit: the same sources built
# for a Windows that this machine runs, under wine64, so that the Windows
# code is run and not only compiled.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingw_triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${mingw_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_triplet}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# wine64 runs 64-bit programs alone; Debian keeps it out of the PATH
# (/usr/lib/wine/wine64), where "wine" picks the 32-bit loader when both are
# installed.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(SPRAYL_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine /opt/wine-stable/bin
               NO_CMAKE_FIND_ROOT_PATH)
  if(SPRAYL_WINE64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${SPRAYL_WINE64})
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR wine64)
  endif()
endif()
