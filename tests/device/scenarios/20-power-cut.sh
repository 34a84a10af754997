#!/bin/sh
# Power cut while logging: 100 service-log lines a second and an app's
# capture at 50 lines a second, the power cut at a random instant 3-6 s in.
# On the next boot, on the card as the cut left it: the daemon answers and
# logs to a new boot file; the cut boot's log holds every line sent more
# than 1.2 s before the cut, with no hole; the capture lost only its last
# 1.2 s; no file on the card has a torn line; quor_logs calls the cut boot
# unclean. The numbered lines carry the uptime (ms) they were sent at.
# rig: boot=rc boot=systemd
logs=$CARD/QuorOS/logs
if [ "$QUOR_RIG_BOOT" = 1 ]; then
  plan 1
  quor_pump 'EV LAUNCH cap - - 4242'
  # DECLARE and EXIT of another app: the capture session stays cap's.
  quor_pump --rate 50 --count 1000000 \
    'DECLARE pump {n}/{ms} 00' 'EV EXIT pump exit 0 {n}' &
  a=$!
  quor_pump --rate 50 --count 1000000 'EV OUT cap 4242 {ts} {up} out {n} {ms}' &
  b=$!
  r=$(od -An -N2 -tu2 /dev/urandom | tr -d ' ')
  sleep "$(echo $((3000 + r % 3001)) | awk '{ printf "%.3f", $1 / 1000 }')"
  check "both pumps run" kill -0 $a $b
  note "cut at $(now) s, $((3000 + r % 3001)) ms in"
  power_cut
fi

plan 6
cut=$(sed -n 's/^cut at \([0-9.]*\) s.*/\1/p' /run/rig/boot1.notes |
  awk '{ printf "%d", $1 * 1000 }')
check "status answers after the cut" quor_ctl status
set -- $(ls "$logs"/ams_*.log)
cutlog=$1
shift $(($# - 1))
if [ "$cutlog" != "$1" ] && grep -q ' amsd registry scan: ' "$1"; then
  ok "logs to a new boot file: ${1#"$logs"/}"
else
  not_ok "boot files: $(ls "$logs")"
fi
if quor_logs --list-boots --json | grep -q '"index":-1,.*"clean":false'; then
  ok "quor_logs: the cut boot ended unclean"
else
  not_ok "quor_logs --list-boots: $(quor_logs --list-boots 2>&1)"
fi
if bad=$(torn "$logs"); then
  not_ok "torn lines in: $bad"
else
  ok "no torn line in any file on the card"
fi
# Lines numbered "n/ms" or "n ms" from field f on: "holes lost_ms count".
losses() { # file pattern field
  awk -v cut="$cut" -v f="$3" "/$2/"' {
      w = $f; sub(/^n=/, "", w); split(w, v, "/")
      n = v[1] + 0; at = (2 in v) ? v[2] : $(f + 1)
      if (!(n in seen)) { seen[n] = 1; c++ }
      if (n > max) { max = n; last = at }
    }
    END { print max - c, (c ? cut - last : cut), c + 0 }' "$1"
}
for what in "service log:$cutlog: amsd DECLARE pump n=:6" \
  "capture:$(ls "$logs"/cap/stdout_*_4242.log): out [0-9]+ [0-9]+\$:3"; do
  IFS=: read -r label file pattern field <<EOT
$what
EOT
  set -- $(losses "$file" "$pattern" "$field")
  note "$label $3 numbered lines kept, the last sent $2 ms before the cut"
  if [ "$1" = 0 ] && [ "$3" -gt 0 ] && [ "$2" -le 1220 ]; then
    ok "$label no hole, lost only the last $2 ms"
  else
    not_ok "$label $1 hole(s), the last line kept was sent $2 ms before the cut"
  fi
done
