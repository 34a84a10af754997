#!/usr/bin/env bash
# The whole system on a demo card in a scratch directory, with the sample
# apps of examples/: quor_amsd with the stand-in launcher and crash
# listener, driven by quor_ctl as a client would; then quor_route following
# jack changes with the stand-in mixer tool.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD

cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_TESTING=OFF -DQUOR_BENCH=OFF >/dev/null
cmake --build build-demo -j "$(nproc)" >/dev/null
bin=$root/build-demo

work=$(mktemp -d /tmp/quor-demo.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Headings in bold only on a terminal: a log file gets no escape codes.
if [ -t 1 ]; then
  say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
else
  say() { printf '\n== %s\n' "$*"; }
fi
# The reply, and the exit status when it is not 0 (1: an "ERR" reply).
ctl() {
  printf '$ quor_ctl %s\n' "$*"
  local rc=0
  "$bin/tools/quor_ctl" --sock "$work/ams.sock" "$@" >"$work/ctl.out" || rc=$?
  sed 's/^/  /' "$work/ctl.out"
  [ "$rc" -eq 0 ] || echo "  (exit status $rc)"
}
# Polls a command until its output holds the text (at most 10 s).
wait_for() {
  local text=$1
  shift
  for _ in $(seq 100); do
    "$@" 2>/dev/null | grep -q -- "$text" && return 0
    sleep 0.1
  done
  echo "timed out waiting for: $text" >&2
  return 1
}
# Polls a file until the text stands in it count times (at most 10 s).
wait_count() {
  local text=$1 count=$2 file=$3
  for _ in $(seq 100); do
    [ "$(grep -c -- "$text" "$file" 2>/dev/null)" -ge "$count" ] && return 0
    sleep 0.1
  done
  echo "timed out waiting for: $text" >&2
  return 1
}
say "The sample apps, as quor_amsd will read them"
(cd "$root/examples" && "$bin/tools/quor_manifest" clock viewer crashy)

say "A demo card in $work"
mkdir -p "$work/card/QuorOS" "$work/apps"
cp -R "$root/examples/clock" "$root/examples/viewer" "$root/examples/crashy" \
  "$work/apps/"
find "$work/apps" -type f | sed "s|$work/||" | sort

say "Starting the crash listener, quor_amsd and the launcher"
export PATH="$bin/tools:$PATH"
"$bin/tools/quor_crash_listener" --sock "$work/crash.sock" >"$work/crash.out" &
pids+=($!)
"$bin/amsd/daemon/quor_amsd" --sock "$work/ams.sock" --ipc-sock "$work/ipc.sock" \
  --apps "$work/apps" --card "$work/card" --crash-sock "$work/crash.sock" \
  2>"$work/amsd.err" &
amsd=$!
pids+=($amsd)
wait_for "up:" cat "$work/amsd.err"
"$bin/tools/quor_launcher" --ipc-sock "$work/ipc.sock" --sock "$work/ams.sock" \
  --apps "$work/apps" 2>"$work/launcher.err" &
pids+=($!)
wait_for ipc.sock ls "$work"
cat "$work/amsd.err"

say "The registry and route resolution"
ctl list
ctl resolve clock main
ctl resolve viewer anything

say "Start an app: the launcher runs it, its output lands on the card"
ctl start clock/Main
wait_for "APP clock Clock stop 0 1" "$bin/tools/quor_ctl" --sock "$work/ams.sock" list
ctl history clock
for f in "$work"/card/QuorOS/logs/clock/stdout_*.log; do
  echo "${f#"$work"/}:"
  sed 's/^/  /' "$f"
done

# The steps below stand a second apart: the service log counts whole
# seconds, and the timeline at the end shows them apart.
sleep 1
say "A running app, then kill"
ctl start viewer
wait_for "RUN viewer" "$bin/tools/quor_ctl" --sock "$work/ams.sock" status
ctl status
ctl start viewer
sleep 1
ctl kill viewer
wait_for "viewer Photo Viewer stop" "$bin/tools/quor_ctl" --sock "$work/ams.sock" list
ctl list

sleep 1
say "A crash: recorded, and a notice to the crash listener"
ctl start crashy
wait_for "SVC crashy" cat "$work/crash.out"
echo "the crash listener printed:"
sed 's/^/  /' "$work/crash.out"
ctl history crashy

sleep 1
say "A picker request: the handler app is started and answers"
ctl picker share
wait_for "PICK 1 share viewer 0" "$bin/tools/quor_ctl" --sock "$work/ams.sock" picker-status
ctl picker-status
ctl picker nothing

say "The service log on the card"
sed 's/^/  /' "$work"/card/QuorOS/logs/ams_*.log

say "Shutdown"
kill "$amsd"
wait "$amsd" || true
tail -1 "$work/amsd.err"

say "quor_route: jacks and the output port (stand-in mixer tool)"
mkdir -p "$work/route"
echo 0 >"$work/route/headset"
echo 0 >"$work/route/balance"
echo 1 >"$work/route/value"
FAKE_AMIXER_DIR="$work/route" QUOR_AMIXER="$root/tools/fake_amixer.sh" \
  QUOR_HEADSET_SW="$work/route/headset" QUOR_BALANCE_SW="$work/route/balance" \
  "$bin/route/quor_route" --ms 200 2>"$work/route.err" &
route=$!
pids+=($route)
wait_for "no jack" cat "$work/route.err"
echo 1 >"$work/route/headset"
wait_for "routed ok: numid=9 -> 2" cat "$work/route.err"
echo 1 >"$work/route/balance"
wait_for "routed ok: numid=9 -> 3" cat "$work/route.err"
echo 0 >"$work/route/balance"
wait_count "routed ok: numid=9 -> 2" 2 "$work/route.err"
kill "$route"
wait "$route" || true
sed 's/^/  /' "$work/route.err"
echo "mixer tool calls:"
sed 's/^/  /' "$work/route/calls"

say "The card read like a journal: quor_logs"
logs() {
  printf '$ quor_logs %s\n' "$*"
  "$bin/tools/quor_logs" --card "$work/card" "$@" | sed 's/^/  /'
}
logs --list-boots
logs --app clock
# Kept after the demo: the scratch directory goes, the build tree stays.
"$bin/tools/quor_logs" --card "$work/card" --timeline "$bin/demo-timeline.svg"
echo "the boot as a picture: build-demo/demo-timeline.svg"
