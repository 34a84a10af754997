#!/usr/bin/env bash
# Runs every fuzz target for a bounded time (FUZZ_SECONDS each, 38 by
# default) on a scratch copy of its seed corpus, in a clang build with ASan,
# UBSan and libFuzzer; fails on any finding. Installs nothing: it needs
# clang and libclang-rt-14-dev, which .ci/run installs.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${FUZZ_SECONDS:-38}
build=build-fuzz
targets=(dispatch manifest event_lines launcher_reply framing line_reader)

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOR_WERROR=ON -DQUOR_FUZZ=ON \
  -DBUILD_TESTING=OFF -DQUOR_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

# The targets make scratch files for every input: keep them in memory when
# /dev/shm can take them. The repository is never written.
base=/dev/shm
[ -d "$base" ] && [ -w "$base" ] || base=${TMPDIR:-/tmp}
work=$(mktemp -d "$base/quor_fuzz.XXXXXX")
export TMPDIR=$work

failed=()
for t in "${targets[@]}"; do
  mkdir -p "$work/$t/corpus" "$work/$t/findings"
  cp fuzz/corpus/"$t"/* "$work/$t/corpus/"
  echo "fuzz_$t: ${secs} s"
  if "$build/fuzz/fuzz_$t" -max_total_time="$secs" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/$t/findings/" "$work/$t/corpus" \
    >"$work/$t/log" 2>&1; then
    grep -E '^Done|number_of_executed_units|average_exec_per_sec' \
      "$work/$t/log" || true
  else
    failed+=("$t")
    tail -n 40 "$work/$t/log"
    echo "fuzz_$t FAILED; the input that broke it:"
    ls -l "$work/$t/findings/"
    echo "Replay it with $build/fuzz/fuzz_$t <file>, fix the fault, and add" \
      "the file under fuzz/regressions/$t/ so that the tests replay it."
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]} (inputs and logs kept in $work)"
  exit 1
fi
rm -rf "$work"
echo "fuzzing: no findings in ${#targets[@]} targets"
