# Shared by the toolchain files: Debian's cross compiler for QUOR_TRIPLET,
# whose libraries live under /usr/<triplet>. Libraries, headers and packages
# come only from there, so that nothing of the build machine's is picked up
# (GoogleTest is then built from its sources); programs come from the build
# machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${QUOR_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUOR_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${QUOR_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs the test programs through this, and they run the built daemons
# through it too; -L makes the dynamic loader and C library the target's.
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUOR_QEMU} -L /usr/${QUOR_TRIPLET})
