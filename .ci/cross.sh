#!/usr/bin/env bash
# CI stage: cross build for one target with Debian's cross compiler, then
# the tests under qemu-user.
#   .ci/cross.sh <triplet> [ctest options]
# e.g. .ci/cross.sh aarch64-linux-gnu; .ci/cross.sh arm-linux-gnueabihf -L unit
set -euo pipefail
cd "$(dirname "$0")/.."
triplet=$1
shift
dir=build-$triplet
jobs=$(nproc)

cmake -S . -B "$dir" -G Ninja -DQUOR_WERROR=ON -DQUOR_BENCH=OFF \
  -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$triplet.cmake" >/dev/null
cmake --build "$dir" -j "$jobs"
# As in test.sh: the tests mostly wait, so more jobs than cores.
ctest --test-dir "$dir" -j $((jobs * 3)) --output-on-failure "$@"
