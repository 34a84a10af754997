#!/usr/bin/env bash
# Builds everything twice (warnings as errors; then ASan + UBSan) and runs
# all unit and end-to-end tests in both builds. Also checks formatting.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)

if command -v clang-format >/dev/null; then
  git ls-files -co --exclude-standard -- '*.cpp' '*.h' |
    xargs -r clang-format --dry-run --Werror
fi

run_suite() {
  local dir=$1 select=$2
  shift 2
  cmake -S . -B "$dir" -G Ninja -DQUOR_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  # The tests mostly wait on sockets and timers: run more than the cores.
  ctest --test-dir "$dir" -j $((jobs * 3)) --output-on-failure $select
}

run_suite build "" -DCMAKE_BUILD_TYPE=RelWithDebInfo
# Tests labelled long wait for the daemon's minute timers: one run will do.
run_suite build-san "-LE long" -DCMAKE_BUILD_TYPE=Debug -DQUOR_SANITIZE=ON
