# Sourced by run.sh: the check of every crash point of a boot whose card
# writes were logged ("# rig: write_log").

check_crash_points() { # boot dir
  local line
  while IFS= read -r line; do
    case $line in
    ok\ * | not_ok\ *) result "${line%% *}" "${line#* }" ;;
    note\ *) echo "# $name: ${line#note }" ;;
    esac
  done < <("$here/crash_points.sh" "$1/before.img" "$1/card.wlog" 2>&1 ||
    echo "not_ok crash points: the check failed")
}
