#!/bin/sh
# Mixer: quor_route with the real amixer on the kernel's dummy sound card
# sets control numid=9 as the jack switch files it is pointed at change.
# The arm64 kernel has no snd-dummy: skipped there.
if ! grep -qs Dummy /proc/asound/cards; then
  skip "no dummy sound card in the $QUOR_RIG_ARCH kernel (snd-dummy): mixer runs on x86_64 only"
  exit 0
fi
plan 3
port() {
  amixer cget numid=9 | sed -n 's/^ *: values=\([-0-9]*\).*/\1/p'
}
port_is() { # value
  [ "$(port)" = "$1" ]
}
echo 0 >/tmp/headset
echo 0 >/tmp/balance
QUOR_HEADSET_SW=/tmp/headset QUOR_BALANCE_SW=/tmp/balance \
  quor_route --ms 100 2>/tmp/route.log &
route=$!
echo 1 >/tmp/headset
if rig_wait 10 port_is 2; then
  ok "headset in: numid=9 is 2 (amixer cget)"
else
  not_ok "headset in: numid=9 is $(port), not 2"
fi
echo 1 >/tmp/balance
if rig_wait 10 port_is 3; then
  ok "balanced jack in too: numid=9 is 3"
else
  not_ok "balanced jack in: numid=9 is $(port), not 3"
fi
echo 0 >/tmp/balance
if rig_wait 10 port_is 2; then
  ok "balanced jack out: back to 2"
else
  not_ok "balanced jack out: numid=9 is $(port), not 2"
fi
kill "$route"
grep 'routed ok' /tmp/route.log | sed 's/^/route: /'
