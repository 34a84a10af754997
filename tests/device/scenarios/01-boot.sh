#!/bin/sh
# Boot: init starts both daemons through S60quor, "status" answers, and the
# service log is on the card from the start. Then S60quor itself: stop
# waits in 0.1 s steps (whole-second steps took 2 s or more for the two
# daemons); start fails, with a message, when a daemon cannot start; stop
# fails when a daemon is still running 5 s after SIGTERM.
plan 9
s60=/etc/init.d/S60quor
secs() { # from to
  echo "$1 $2" | awk '{ printf "%.2f", $2 - $1 }'
}
check "quor_amsd and quor_route run" pidof quor_amsd quor_route
check "quor_ctl status answers" quor_ctl status
log=$(ls "$CARD"/QuorOS/logs/ams_*.log 2>/dev/null | head -n 1)
# S60quor's daemons have no console: the start-up line's log=card shows as
# the card log holding the start-up scan, with no /tmp buffer beside it.
if [ -n "$log" ] && grep -q ' amsd registry scan: ' "$log" &&
  [ ! -e /tmp/quor_ams.log ]; then
  ok "the log is on the card from the start (log=card): ${log#"$CARD"/}"
else
  not_ok "no card log from the start (log=/tmp/quor_ams.log)"
fi
check "S60quor status says both run" $s60 status
ready=$(cat /run/rig/ready_at)
note "init -> first status answer: $(secs "$(cat /run/rig/init_at)" "$ready") s" \
  "(S60quor start -> first answer:" \
  "$(secs "$(awk '$2 == "S60quor" { print $1 }' /run/rig/started_at)" "$ready") s)"

t0=$(now)
$s60 stop
rc=$?
t1=$(now)
if [ $rc -eq 0 ] && ! live quor_amsd quor_route >/dev/null &&
  [ "$(secs "$t0" "$t1" | tr -d .)" -lt 100 ]; then
  ok "stop: exit 0, both ended, in $(secs "$t0" "$t1") s"
else
  not_ok "stop: exit $rc in $(secs "$t0" "$t1") s; running: $(live quor_amsd quor_route)"
fi
check "start again: exit 0, both run" sh -c "$s60 start && $s60 status"

# quor_route stopped (SIGSTOP) holds SIGTERM until it goes on.
kill -STOP "$(pidof quor_route)"
t0=$(now)
out=$($s60 stop 2>&1)
rc=$?
t1=$(now)
kill -CONT "$(pidof quor_route)"
if [ $rc -ne 0 ] && echo "$out" | grep -q 'quor_route .* still runs 5 s after SIGTERM'; then
  ok "stop of a daemon that does not end: exit $rc after $(secs "$t0" "$t1") s: $out"
else
  not_ok "stop of a daemon that does not end: exit $rc, '$out'"
fi

# A socket path that holds a plain file: quor_amsd refuses it and ends.
: >/tmp/not-a-socket
mkdir -p /etc/default
echo 'QUOR_AMSD_ARGS="--sock /tmp/not-a-socket"' >/etc/default/quor
rig_wait 10 sh -c '! pidof quor_route'
out=$($s60 start 2>&1)
rc=$?
if [ $rc -ne 0 ] && echo "$out" | grep -q 'quor_amsd'; then
  ok "start of a daemon that cannot run: exit $rc: $out"
else
  not_ok "start of a daemon that cannot run: exit $rc, '$out'"
fi
rm /etc/default/quor
check "status tells it: quor_amsd stopped" sh -c "$s60 status | grep -qx 'quor_amsd stopped'"
