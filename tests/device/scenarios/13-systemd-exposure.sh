#!/bin/sh
# The units' sandbox as systemd itself rates it on the device: overall
# exposure at most 2.0 for each.
# rig: boot=systemd
plan 2
for u in quor-amsd.service quor-route.service; do
  level=$(systemd-analyze security --no-pager "$u" 2>&1 |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
  if [ -n "$level" ] && echo "$level" | awk '{ exit !($1 <= 2.0) }'; then
    ok "$u: exposure $level"
  else
    not_ok "$u: exposure '${level:-none}' (at most 2.0)"
  fi
done
