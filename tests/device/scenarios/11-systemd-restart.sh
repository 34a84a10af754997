#!/bin/sh
# Restart=on-failure: quor_amsd killed with SIGKILL comes back, answers
# "status", and its stale socket is replaced.
# rig: boot=systemd
plan 3
sock=/usr/data/quor_ams.sock
old=$(systemctl show -P MainPID quor-amsd.service)
inode=$(stat -c %i "$sock")
kill -9 "$old"
killed=$(now)
answers() {
  new=$(systemctl show -P MainPID quor-amsd.service) &&
    [ "$new" != 0 ] && [ "$new" != "$old" ] && quor_ctl --timeout 1 status
}
if rig_wait 20 answers; then
  back=$(now)
  ok "status answers again, new pid $new"
  note "kill -9 -> status answers again: $(echo "$killed $back" | awk '{ printf "%.2f", $2 - $1 }') s" \
    "(RestartSec=$(systemctl show -P RestartUSec quor-amsd.service))"
else
  not_ok "no answer within 20 s of the kill: $(systemctl is-active quor-amsd.service)"
fi
restarts=$(systemctl show -P NRestarts quor-amsd.service)
if [ "$restarts" = 1 ] && systemctl -q is-active quor-amsd.service; then
  ok "systemd restarted it once; the unit is active"
else
  not_ok "NRestarts=$restarts, $(systemctl is-active quor-amsd.service)"
fi
if [ "$(stat -c %i "$sock")" != "$inode" ]; then
  ok "the stale socket was replaced"
else
  not_ok "the socket is still the killed daemon's"
fi
