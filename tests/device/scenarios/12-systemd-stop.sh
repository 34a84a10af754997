#!/bin/sh
# systemctl stop of both: the card log ends with the shutdown line, neither
# unit is failed, nothing of ours is left running. Prints the stop time.
# rig: boot=systemd
plan 3
t0=$(now)
systemctl stop quor-amsd.service quor-route.service
t1=$(now)
note "systemctl stop of both: $(echo "$t0 $t1" | awk '{ printf "%.2f", $2 - $1 }') s"
states=$(systemctl is-active quor-amsd.service quor-route.service | tr '\n' ' ')
if [ "$states" = "inactive inactive " ]; then
  ok "both units inactive, not failed"
else
  not_ok "units: $states"
fi
if live quor_amsd quor_route >/dev/null; then
  not_ok "still running: $(live quor_amsd quor_route)"
else
  ok "nothing of ours left running"
fi
last=$(tail -n 1 "$CARD"/QuorOS/logs/ams_*.log)
case $last in
*" amsd shutdown") ok "the card log ends with the shutdown line" ;;
*) not_ok "the card log ends with: $last" ;;
esac
