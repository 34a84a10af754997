#!/bin/sh
# The shipped units under systemd: both services active after boot, with
# Type=notify readiness reached (not a time-out); status answers; the log is
# on the card. Prints boot -> both active and start -> READY=1.
# rig: boot=systemd
plan 4
prop() { # unit property
  systemctl show -P "$2" "$1"
}
secs() { # microseconds
  echo "$1" | awk '{ printf "%.2f", $1 / 1000000 }'
}
check "both services active" test "$(systemctl is-active quor-amsd.service quor-route.service)" = "active
active"
ready=yes
for u in quor-amsd quor-route; do
  # A notify service that timed out is failed, not active; one that came
  # up only on its n-th try has restarts.
  [ "$(prop $u Type)" = notify ] && [ "$(prop $u Result)" = success ] &&
    [ "$(prop $u NRestarts)" = 0 ] && [ "$(prop $u ActiveEnterTimestampMonotonic)" -gt 0 ] ||
    ready="$u: Type=$(prop $u Type) Result=$(prop $u Result) NRestarts=$(prop $u NRestarts)"
done
if [ "$ready" = yes ]; then
  ok "readiness reached through READY=1 for both, first try"
else
  not_ok "readiness: $ready"
fi
check "quor_ctl status answers" quor_ctl status
log=$(ls "$CARD"/QuorOS/logs/ams_*.log 2>/dev/null | head -n 1)
if [ -n "$log" ] && grep -q ' amsd registry scan: ' "$log"; then
  ok "the log is on the card: ${log#"$CARD"/}"
else
  not_ok "no card log: $(ls -R "$CARD"/QuorOS)"
fi
a=$(prop quor-amsd ActiveEnterTimestampMonotonic)
r=$(prop quor-route ActiveEnterTimestampMonotonic)
[ "$r" -gt "$a" ] && a=$r
note "boot -> both services active: $(secs "$a") s" \
  "(systemd start -> active: $(secs $((a - $(systemctl show -P UserspaceTimestampMonotonic)))) s);" \
  "start of quor-amsd.service -> READY=1:" \
  "$(secs $(($(prop quor-amsd ActiveEnterTimestampMonotonic) - $(prop quor-amsd ExecMainStartTimestampMonotonic)))) s"
