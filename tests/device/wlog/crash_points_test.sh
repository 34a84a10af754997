#!/usr/bin/env bash
# crash_points.sh on a real FAT32 partition and write logs made from images
# of it: a new service-log file written data first, then its FAT entries and
# its directory entry, is whole at every point; the same with a cut last
# line is torn; a service-log file deleted goes back. Exit 77 (skipped)
# without dosfstools or mtools.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
for tool in mkfs.vfat fsck.vfat mcopy mshowfat; do
  command -v $tool >/dev/null || {
    echo "skipped: no $tool"
    exit 77
  }
done
tmp=$(mktemp -d "${TMPDIR:-/tmp}/crash-points-test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
export MTOOLS_SKIP_CHECK=1

le64() { # value: eight little-endian bytes
  local i
  for i in 0 1 2 3 4 5 6 7; do
    # shellcheck disable=SC2059 # the escape is the byte
    printf "\\x$(printf %02x $((($1 >> (8 * i)) & 255)))"
  done
}

# A write log of the card (the partition from sector 2048 on): a write to
# the partition table, then the changed sectors from each image to the next
# in runs of up to 8, lowest first, then a flush, as a guest's writeback
# and QEMU's close would leave it.
make_log() { # log, image...
  local log=$1 a b s run=() n=0
  shift
  : >"$log.entries"
  entry() { # sector, count, flags[, data file, its first sector]
    {
      le64 "$1"
      le64 "$2"
      le64 "$3"
      le64 0
      head -c 480 /dev/zero
      [ $# -lt 4 ] || dd if="$4" bs=512 skip="$5" count="$2" status=none
    } >>"$log.entries"
    n=$((n + 1))
  }
  flush_run() { # image
    [ ${#run[@]} -eq 0 ] || entry $((run[0] + 2048)) ${#run[@]} 0 "$1" "${run[0]}"
    run=()
  }
  entry 0 1 0 /dev/zero 0
  a=$1
  shift
  for b in "$@"; do
    for s in $(cmp -l "$a" "$b" | awk '{ print int(($1 - 1) / 512) }' |
      uniq); do
      if [ ${#run[@]} -gt 0 ] &&
        { [ "$s" -ne $((run[-1] + 1)) ] || [ ${#run[@]} -eq 8 ]; }; then
        flush_run "$b"
      fi
      run+=("$s")
    done
    flush_run "$b"
    a=$b
  done
  entry 0 0 1
  {
    le64 $((0x6a736677736872))
    le64 1
    le64 $n
    printf '\x00\x02\x00\x00'
    head -c 484 /dev/zero
    cat "$log.entries"
  } >"$log"
}

lines() { # first, count: service-log lines
  awk -v a="$1" -v n="$2" 'BEGIN {
    for (i = a; i < a + n; i++) {
      printf "%d %d amsd line %d of the pump\n", 1700000000 + i, i, i
    }
  }'
}

# The partition before the boot: one service-log file.
truncate -s 63M before.img
mkfs.vfat -F 32 -n QUORCARD before.img >/dev/null
mkdir -p tree/QuorOS/logs
lines 1 20 >tree/QuorOS/logs/ams_1.log
mcopy -s -Q -m -i before.img tree/* ::/

# data_first NAME FILE: NAME.img has FILE as a new service-log file,
# NAME.mid has its clusters only.
data_first() {
  cp before.img "$1.img"
  mcopy -i "$1.img" "$2" ::/QuorOS/logs/ams_2.log
  cp before.img "$1.mid"
  local bps spc rsv nfats fat_sectors first r a b
  field() { od -An -tu"$2" -j "$1" -N "$2" before.img | tr -d ' '; }
  bps=$(field 11 2) spc=$(field 13 1) rsv=$(field 14 2) nfats=$(field 16 1)
  fat_sectors=$(field 36 4)
  first=$(((rsv + nfats * fat_sectors) * bps / 512)) # cluster 2
  for r in $(mshowfat -i "$1.img" ::/QuorOS/logs/ams_2.log |
    grep -o '<[0-9-]*>' | tr -d '<>'); do
    a=${r%-*} b=${r#*-}
    dd if="$1.img" of="$1.mid" bs=512 conv=notrunc status=none \
      skip=$((first + (a - 2) * spc * bps / 512)) \
      seek=$((first + (a - 2) * spc * bps / 512)) \
      count=$(((b - a + 1) * spc * bps / 512))
  done
}
lines 21 60 >whole.log
data_first clean whole.log
make_log clean.log before.img clean.mid clean.img
head -c -7 whole.log >cut.log
data_first torn cut.log
make_log torn.log before.img torn.mid torn.img
cp before.img gone.img
mdel -i gone.img ::/QuorOS/logs/ams_1.log
make_log gone.log before.img gone.img

failed=0
expect() { # log, pattern of the first line
  local out
  out=$("$here/../crash_points.sh" before.img "$1" 2>&1) || true
  if [[ "$(head -n 1 <<<"$out")" =~ $2 ]]; then
    echo "passed: $1"
  else
    echo "FAILED: $1: not /$2/:"
    failed=1
  fi
  printf '%s\n' "$out" | sed 's/^/  /'
}
expect clean.log '^ok crash points: [1-9][0-9]* checked, 0 with a torn line, 0 losing an earlier line$'
expect torn.log '^not_ok crash points: [0-9]+ checked, [1-9][0-9]* with a torn line, 0 losing'
expect gone.log '^not_ok crash points: [0-9]+ checked, [0-9]+ with a torn line, [1-9][0-9]* losing'
exit $failed
