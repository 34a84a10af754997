#!/bin/sh
# Mixer: quor_route with the real amixer on the kernel's dummy sound card
# sets control numid=9 as the jack switch files it is pointed at change.
# Under systemd it is the unit that runs it, pointed at the rig's switch
# files by a drop-in: DevicePolicy=closed must still let /bin/sh and amixer
# reach the sound card. The arm64 kernel has no snd-dummy: skipped there.
# rig: boot=rc boot=systemd
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
sw=/run/rig
echo 0 >$sw/headset
echo 0 >$sw/balance
if [ -d /run/systemd/system ]; then
  mkdir -p /run/systemd/system/quor-route.service.d
  printf '[Service]\nEnvironment=QUOR_HEADSET_SW=%s QUOR_BALANCE_SW=%s\n' \
    $sw/headset $sw/balance >/run/systemd/system/quor-route.service.d/rig.conf
  systemctl daemon-reload
  systemctl restart quor-route.service
  said() { journalctl -q -b -u quor-route.service | tail -n 5; }
else
  QUOR_HEADSET_SW=$sw/headset QUOR_BALANCE_SW=$sw/balance \
    quor_route --ms 100 2>/tmp/route.log &
  said() { tail -n 5 /tmp/route.log; }
fi
for step in "headset 1 2 headset in" "balance 1 3 balanced jack in too" \
  "balance 0 2 balanced jack out"; do
  set -- $step
  echo "$2" >$sw/$1
  shift 2
  want=$1
  shift
  if rig_wait 10 port_is "$want"; then
    ok "$*: numid=9 is $want (amixer cget)"
  else
    not_ok "$*: numid=9 is $(port), not $want; quor_route: $(said)"
  fi
done
