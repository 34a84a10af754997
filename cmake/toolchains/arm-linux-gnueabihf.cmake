# Cross build for 32-bit Arm (hard float) with Debian's
# g++-arm-linux-gnueabihf; the tests run under qemu-user (Debian's
# qemu-user) with the target's library root.
#   cmake -S . -B build-armhf -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
set(QUOR_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(QUOR_QEMU /usr/bin/qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
