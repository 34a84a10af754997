#!/usr/bin/env bash
# What a power cut can leave on the card, at every point where it can
# strike: replays a boot's write log onto a copy of the card's partition as
# it was before the boot and checks the copy after each write, and before
# and after each flush. Read with fsck.vfat -n and mtools, never mounted.
#   tests/device/crash_points.sh PART_IMAGE WRITE_LOG [MAX_POINTS]
# PART_IMAGE: the FAT32 partition alone, as it was before the boot. WRITE_LOG:
# the blklogwrites log of the whole card, whose partition starts at 1 MiB.
# MAX_POINTS: with more points, check the last half of them and an even
# sample before. At each point: every QuorOS/logs/ams_*.log holds whole
# "<ts> <up> amsd <text>" lines only (no NUL byte, no cut last line); each
# whole line at one point is in the same file at every later one, and no
# such file vanishes; and what fsck.vfat -n reports, sorted into kinds.
# Prints for the rig "ok|not_ok crash points: N checked, T with a torn line,
# L losing an earlier line", then notes (the first bad points, the fsck
# kinds, the points in the log). Exit status: 0 ok, 1 not_ok, 2 nothing
# checked. WLOG_REPLAY names a built wlog_replay; else one is built with g++.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
self=$here/$(basename "$0")
export LC_ALL=C MTOOLS_SKIP_CHECK=1

part_offset=1048576 # bytes of the card before the partition
logs_glob='::/QuorOS/logs/ams_*.log'
max_notes=5

# shellcheck source=host/fsck.sh
. "$here/host/fsck.sh"

# FILE.lines gets the file's whole lines, sorted; FILE.torn the first thing
# torn in it, or nothing.
read_lines() { # file
  local f=$1
  # NUL bytes become \377, which no line of ours holds. The newline added
  # ends the last record, which is empty unless the last line was cut.
  { tr '\0' '\377' <"$f" && echo; } | awk -v torn="$f.torn" '
    function shown(s) {
      gsub(/[^ -~]/, "?", s)
      return "\"" substr(s, 1, 48) "\""
    }
    function bad(why) {
      if (first == "") {
        first = why
      }
    }
    NR > 1 {
      if (index(held, "\377")) {
        bad("a NUL byte in line " NR - 1)
      } else if (held !~ /^[0-9]+ [0-9]+ amsd /) {
        bad("line " NR - 1 " is not <ts> <up> amsd <text>: " shown(held))
      } else {
        print held
      }
    }
    { held = $0 }
    END {
      if (index(held, "\377")) {
        bad("NUL bytes in its last line, which is cut")
      } else if (held != "") {
        bad("its last line is cut: " shown(held))
      }
      printf "%s", (first == "" ? "" : first "\n") >torn
    }' | sort -u >"$f.lines"
}

# DIR/cur gets the service-log files of DIR/part.img with their lines. A
# file that DIR/prev holds unchanged takes its readings and is named in
# DIR/cur/same.
snapshot() { # dir
  local dir=$1 f name keep=()
  mkdir "$dir/cur"
  : >"$dir/cur/same"
  # No file at all is a finding too, so its failure is not one.
  mcopy -n -i "$dir/part.img" "$logs_glob" "$dir/cur/" </dev/null \
    >/dev/null 2>&1 || true
  for f in "$dir/cur"/*.log; do
    [ -e "$f" ] || break
    name=${f##*/}
    if [ -f "$dir/prev/$name" ] && cmp -s "$f" "$dir/prev/$name"; then
      keep+=("$dir/prev/$name.lines" "$dir/prev/$name.torn")
      echo "$name" >>"$dir/cur/same"
    else
      read_lines "$f"
    fi
  done
  [ ${#keep[@]} -eq 0 ] || mv -t "$dir/cur" "${keep[@]}"
}

# One crash point, run by wlog_replay: appends "<point> <entry> <kind>
# <torn 0|1> <lost 0|1>" to DIR/results, this point's fsck kinds to
# DIR/kinds, and notes on the first bad points to DIR/notes. A failure here
# is the check's own: exit 125 stops the replay.
check_point() { # dir
  local dir=$1 f name why torn=0 lost=0 n first notes same
  local at="point $WLOG_POINT (entry $WLOG_ENTRY, $WLOG_KIND)"
  trap 'echo "crash_points.sh: $at: the check failed at line $LINENO" >&2
    exit 125' ERR
  mapfile -t notes <"$dir/notes"
  note() {
    if [ ${#notes[@]} -lt $max_notes ]; then
      notes+=("note $at: $*")
      echo "note $at: $*" >>"$dir/notes"
    fi
  }
  fsck_kinds "$dir/part.img" >>"$dir/kinds"
  snapshot "$dir"
  for f in "$dir/cur"/*.log; do
    [ -e "$f" ] || break
    why=
    read -r why <"$f.torn" || true
    if [ -n "$why" ]; then
      torn=1
      note "${f##*/}: $why"
    fi
  done
  same=$'\n'$(<"$dir/cur/same")$'\n'
  for f in "$dir/prev"/*.log; do
    [ -e "$f" ] || break
    name=${f##*/}
    if [ ! -f "$dir/cur/$name" ]; then
      lost=1
      note "$name vanished"
    elif [[ $same != *$'\n'$name$'\n'* ]]; then
      comm -23 "$f.lines" "$dir/cur/$name.lines" >"$dir/gone"
      if [ -s "$dir/gone" ]; then
        lost=1
        n=$(wc -l <"$dir/gone")
        read -r first <"$dir/gone"
        note "$name lost $n line(s), the first: \"${first:0:48}\""
      fi
    fi
  done
  rm -rf "$dir/prev"
  mv "$dir/cur" "$dir/prev"
  echo "$WLOG_POINT $WLOG_ENTRY $WLOG_KIND $torn $lost" >>"$dir/results"
}

if [ "${1:-}" = --point ]; then
  set -E # the ERR trap reaches into the functions
  check_point "${2:?}"
  exit 0
fi

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  echo "usage: $0 PART_IMAGE WRITE_LOG [MAX_POINTS]" >&2
  exit 2
fi
part=$1 log=$2 max=${3:-}
for tool in fsck.vfat mcopy comm; do
  command -v $tool >/dev/null || {
    echo "crash_points.sh: $tool is missing (dosfstools, mtools)" >&2
    exit 2
  }
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/crash-points.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
replay=${WLOG_REPLAY:-}
if [ -z "$replay" ]; then
  replay=$tmp/wlog_replay
  g++ -O2 -std=c++20 -o "$replay" "$here"/wlog/{wlog_replay,points,wlog}.cpp
fi
cp --sparse=always "$part" "$tmp/part.img"
: >"$tmp/results"
: >"$tmp/kinds"
: >"$tmp/notes"
# The card as it was before the boot is where "going back" starts from.
mkdir "$tmp/prev"
snapshot "$tmp"
rm -r "$tmp/prev"
mv "$tmp/cur" "$tmp/prev"

start=$(date +%s%N)
rc=0
"$replay" "$log" "$tmp/part.img" --offset $part_offset \
  --run "$(printf '%q ' bash "$self" --point "$tmp")" \
  ${max:+--max-points "$max"} >"$tmp/replay.out" 2>"$tmp/replay.err" || rc=$?
ms=$((($(date +%s%N) - start) / 1000000))
if [ $rc -ne 0 ]; then
  echo "not_ok crash points: the replay failed: $(tail -n 1 "$tmp/replay.err")"
  exit 2
fi
# What the replay said besides: a log with bytes past its last entry.
sed 's/^/note /' "$tmp/replay.err"

checked=$(wc -l <"$tmp/results")
read -r torn lost < <(awk '{ t += $4; l += $5 } END { print t + 0, l + 0 }' \
  "$tmp/results")
counts="$checked checked, $torn with a torn line, $lost losing an earlier line"
if [ "$torn" -eq 0 ] && [ "$lost" -eq 0 ]; then
  echo "ok crash points: $counts"
else
  echo "not_ok crash points: $counts"
  cat "$tmp/notes"
fi
echo "note fsck kinds: $(kinds_summary "$tmp/kinds")"
echo "note $(tail -n 1 "$tmp/replay.out"), $ms ms" \
  "($((ms / (checked > 0 ? checked : 1))) ms a point)"
[ "$torn" -eq 0 ] && [ "$lost" -eq 0 ]
