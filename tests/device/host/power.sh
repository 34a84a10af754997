# Sourced by run.sh: what a power cut left on the card. Needs: name,
# result, card_partition, fsck_kinds (fsck.sh).

# The finding kinds of fsck.vfat -n on the card as the cut left it: a note.
fsck_after_cut() { # boot dir
  card_partition "$1/card.img" "$1/cut.img"
  echo "# $name: the card after the cut, fsck.vfat -n: $(fsck_kinds "$1/cut.img" |
    paste -sd ';' | sed 's/;/, /g')"
  rm -f "$1/cut.img"
}

# Every crash point of a boot whose card writes were logged ("# rig:
# write_log"): one result, and notes.
check_crash_points() { # boot dir
  local line
  while IFS= read -r line; do
    case $line in
    ok\ * | not_ok\ *) result "${line%% *}" "${line#* }" ;;
    note\ *) echo "# $name: ${line#note }" ;;
    esac
  done < <("$here/crash_points.sh" "$1/before.img" "$1/card.wlog" 1000 2>&1 ||
    true)
}
