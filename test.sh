#!/usr/bin/env bash
# Builds everything twice (warnings as errors; then ASan + UBSan) and runs
# all unit and end-to-end tests in both builds. Also checks formatting. The
# last line sums up what ran and passed.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)

format="format not checked (no clang-format)"
if command -v clang-format >/dev/null; then
  git ls-files -co --exclude-standard -- '*.cpp' '*.h' |
    xargs -r clang-format --dry-run --Werror
  format="format clean"
fi

summary=()
run_suite() {
  local dir=$1 what=$2
  shift 2
  cmake -S . -B "$dir" -G Ninja -DQUOR_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  # The tests mostly wait on sockets and timers: run more than the cores.
  # The load tests (label "long") run once, below, not in both builds.
  ctest --test-dir "$dir" -j $((jobs * 3)) --output-on-failure -LE long |
    tee "$dir/ctest.log"
  summary+=("$what: $(sed -n 's/^100% tests passed, 0 tests failed out of //p' \
    "$dir/ctest.log") tests passed")
}

run_suite build "warnings as errors" -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The load tests, once and alone: they keep the cores busy.
ctest --test-dir build -j 3 --output-on-failure -L long | tee build/ctest-long.log
long=$(sed -n 's/^100% tests passed, 0 tests failed out of //p' \
  build/ctest-long.log)
# One test fewer: the check for linked-in exception support needs a build
# without sanitizers.
run_suite build-san "ASan + UBSan" -DCMAKE_BUILD_TYPE=Debug -DQUOR_SANITIZE=ON

echo "test.sh: 2 builds (${summary[0]}; ${summary[1]}), $long load tests" \
  "passed once, $format"
