#!/bin/sh
# Orderly shutdown: poweroff stops both daemons through rcK and S60quor,
# the card log ends with the shutdown line, the card is unmounted; then the
# host checks the card image with fsck.vfat -n.
if [ "${1:-}" = after-stop ]; then
  # Run by rcK after the init scripts' stop, the card still mounted.
  status=$(awk '$1 == "S60quor" { print $2 }' /run/rig/stop_status)
  if [ "$status" = 0 ]; then
    ok "S60quor stop: exit 0"
  else
    not_ok "S60quor stop: exit ${status:-missing}"
  fi
  if live quor_amsd quor_route >/dev/null; then
    not_ok "still running: $(live quor_amsd quor_route)"
  else
    ok "both daemons stopped"
  fi
  last=$(tail -n 1 "$CARD"/QuorOS/logs/ams_*.log)
  case $last in
  *" amsd shutdown") ok "the card log ends with the shutdown line" ;;
  *) not_ok "the card log ends with: $last" ;;
  esac
  exit 0
fi
plan 4
host_fsck
at_shutdown "CARD=$CARD sh $0 after-stop"
quor_ctl status >/dev/null
poweroff
# init ends this script on its way down.
sleep 60
