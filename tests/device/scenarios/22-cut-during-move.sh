#!/bin/sh
# A cut while the /tmp buffer moves onto the card: the card pulled while
# 100 lines a second go to the log, a burst fills the buffer, the card put
# back and the power cut 0.1-2 s after the mount. The card is slow (128
# KiB/s), so the move's sync of about 140 KB is then under way, and every
# write the card takes is logged: the host checks each crash point of the
# move too. On the next boot: no torn line on the card, and no line on it
# twice but those sent in the last second before the pull or the cut.
# rig: boot=rc card_kbps=128 write_log timeout=300
logs=$CARD/QuorOS/logs
if [ "$QUOR_RIG_BOOT" = 1 ]; then
  plan 0
  quor_pump 'EV LAUNCH burst - - 4241' 'EV EXIT burst exit 0 0'
  quor_pump --rate 50 --count 1000000 \
    'DECLARE pump {n}/{ms} 00' 'EV EXIT pump exit 0 {n}' &
  sleep 2
  pull=$(card_pull)
  note "pull at $pull s"
  quor_pump --count 2500 'EV EXIT burst exit 0 {n}'
  sleep 1
  r=$(od -An -N2 -tu2 /dev/urandom | tr -d ' ')
  cut_on_mount $((100 + r % 1901))
  card_insert
  sleep 10
  not_ok "no power cut"
  exit 1
fi

plan 3
ms() { # seconds -> ms
  echo "$1" | awk '{ printf "%d", $1 * 1000 }'
}
pull=$(ms "$(sed -n 's/^pull at \([0-9.]*\) s$/\1/p' /run/rig/boot1.notes)")
cut=$(ms "$(sed -n 's/^cut at \([0-9.]*\) s, .*/\1/p' /run/rig/boot1.notes)")
cutlog=$(ls "$logs"/ams_*.log | head -n 1)
if bad=$(torn "$logs"); then
  not_ok "torn lines in: $bad"
else
  ok "no torn line on the card"
fi
# Lines on the card twice: pump lines by their send time, burst lines
# (sent while the card was away: never twice).
set -- $(awk -v pull="$pull" -v cut="$cut" '
  / amsd DECLARE pump n=/ { if (seen[$6]++) { split($6, v, "/"); t = v[2]
      if ((t > pull - 1000 && t <= pull) || t > cut - 1000) late++; else early++ } }
  / amsd EXIT burst exit=0 / && $7 != "dur=0" { b++; if (bseen[$0]++) early++ }
  END { print early + 0, late + 0, b + 0 }' "$cutlog")
note "cut $((cut - pull)) ms after the pull; $3 of 2500 burst lines on the card;" \
  "$2 line(s) twice from the last second before the pull or the cut"
if [ "$1" = 0 ]; then
  ok "no line twice but from the last second before the pull or the cut"
else
  not_ok "$1 line(s) on the card twice, sent earlier"
fi
