#!/bin/sh
# One command for the side-by-side benchmark: builds a Release tree (in
# $BUILD_DIR, default build/) and runs bench/amsd_compare in it.
set -eu
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target amsd_compare -j "${JOBS:-$(nproc)}" >/dev/null
exec "$build/bench/amsd_compare"
