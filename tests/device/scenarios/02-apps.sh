#!/bin/sh
# Apps on the card: listed and resolved; one started through the launcher
# writes its capture file on the card; a crashing one reaches the crash
# listener.
plan 5
quor_ctl rescan >/dev/null
list=$(quor_ctl list)
if echo "$list" | grep -q '^APP hello Hello stop ' &&
  echo "$list" | grep -q '^APP crasher Crasher stop '; then
  ok "list shows both sample apps"
else
  not_ok "list: $list"
fi
chain=$(quor_ctl resolve hello main)
if [ "$chain" = "CHAIN hello main 2 hello.main;hello.view" ]; then
  ok "resolve hello main: $chain"
else
  not_ok "resolve hello main: $chain"
fi

capture_has() { # text
  grep -qs "$1" "$CARD"/QuorOS/logs/hello/stdout_*.log
}
check "start hello through the launcher" quor_ctl start hello/main
if rig_wait 20 capture_has "hello from the card: main"; then
  ok "hello's output is in its capture file on the card:" \
    "$(ls "$CARD"/QuorOS/logs/hello/ | head -n 1)"
else
  not_ok "no capture file with hello's output ($(ls -R "$CARD"/QuorOS/logs))"
fi

quor_ctl start crasher >/dev/null
if rig_wait 20 grep -q '^SVC crasher sig 11 ' /run/rig/crash_notices &&
  quor_ctl list | grep -q '^APP crasher Crasher stop 0 1 1 sig 11$'; then
  ok "the crash reached the crash listener: $(grep crasher /run/rig/crash_notices)"
else
  not_ok "crash: notices '$(cat /run/rig/crash_notices)', list" \
    "'$(quor_ctl list | grep crasher)'"
fi
