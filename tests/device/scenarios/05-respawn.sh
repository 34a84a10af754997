#!/bin/sh
# Respawn: booted with the shipped inittab lines; quor_amsd killed with
# SIGKILL is started again by init, answers "status", and its stale socket
# is replaced.
# rig: boot=inittab
plan 3
sock=/usr/data/quor_ams.sock
check "status answers (started by init)" quor_ctl status
old=$(pidof quor_amsd)
inode=$(stat -c %i "$sock")
kill -9 "$old"
killed=$(now)
answers() {
  new=$(pidof quor_amsd) && [ "$new" != "$old" ] &&
    quor_ctl --timeout 1 status
}
if rig_wait 20 answers; then
  back=$(now)
  ok "status answers again, new pid $(pidof quor_amsd)"
  note "kill -9 -> status answers again: $(echo "$killed $back" | awk '{ printf "%.2f", $2 - $1 }') s"
else
  not_ok "no answer within 20 s of the kill"
fi
if [ "$(stat -c %i "$sock")" != "$inode" ]; then
  ok "the stale socket was replaced"
else
  not_ok "the socket is still the killed daemon's"
fi
