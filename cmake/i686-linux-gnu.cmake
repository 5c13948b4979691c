# Cross build for 32-bit x86 Linux with Debian's cross compiler
# (g++-i686-linux-gnu): a size_t of 32 bits against offsets past 4 GiB.
# Programs built here run on this machine under qemu-user, with the target's
# libraries from /usr/i686-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(cross_triplet i686-linux-gnu)
set(CMAKE_C_COMPILER ${cross_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${cross_triplet}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${cross_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 -L /usr/${cross_triplet})
endif()

# Linked statically: qemu-i386 hangs here when a dynamically linked program
# starts a thread (a statically linked one runs), and the check reads ahead
# with threads.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
