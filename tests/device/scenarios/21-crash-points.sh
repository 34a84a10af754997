#!/bin/sh
# Every crash point: the load of the power-cut scenario for about 5 s, with
# every write to the card logged. After the boot the host replays the
# writes one by one onto the card as it was and checks it at each point:
# no torn service-log line, no line that was there going missing later.
# rig: write_log timeout=300
plan 2
quor_pump 'EV LAUNCH cap - - 4242'
quor_pump --rate 50 --count 250 \
  'DECLARE pump {n}/{ms} 00' 'EV EXIT pump exit 0 {n}' &
quor_pump --rate 50 --count 250 'EV OUT cap 4242 {ts} {up} out {n} {ms}' &
wait
check "the load ran for 5 s" grep -q ' amsd DECLARE pump n=250/' \
  "$CARD"/QuorOS/logs/ams_*.log
# The scenario's end quits QEMU at once, as a cut would.
