#!/bin/sh
# quor_route run by its own unit, under DevicePolicy=closed, sets numid=9
# with the real amixer on the dummy sound card. Its switch files are the
# rig's, set by a drop-in. x86_64 only, as the kernel's snd-dummy.
# rig: boot=systemd
if ! grep -qs Dummy /proc/asound/cards; then
  skip "no dummy sound card in the $QUOR_RIG_ARCH kernel (snd-dummy)"
  exit 0
fi
plan 3
port() {
  amixer cget numid=9 | sed -n 's/^ *: values=\([-0-9]*\).*/\1/p'
}
port_is() { # value
  [ "$(port)" = "$1" ]
}
echo 0 >/run/rig/headset
echo 0 >/run/rig/balance
mkdir -p /run/systemd/system/quor-route.service.d
cat >/run/systemd/system/quor-route.service.d/rig.conf <<'CONF'
[Service]
Environment=QUOR_HEADSET_SW=/run/rig/headset QUOR_BALANCE_SW=/run/rig/balance
CONF
systemctl daemon-reload
systemctl restart quor-route.service
echo 1 >/run/rig/headset
if rig_wait 10 port_is 2; then
  ok "headset in: numid=9 is 2 (amixer cget)"
else
  not_ok "headset in: numid=9 is $(port), not 2;" \
    "$(journalctl -q -b -u quor-route.service | tail -n 5)"
fi
echo 1 >/run/rig/balance
if rig_wait 10 port_is 3; then
  ok "balanced jack in too: numid=9 is 3"
else
  not_ok "balanced jack in: numid=9 is $(port), not 3"
fi
echo 0 >/run/rig/balance
if rig_wait 10 port_is 2; then
  ok "balanced jack out: back to 2"
else
  not_ok "balanced jack out: numid=9 is $(port), not 2"
fi
