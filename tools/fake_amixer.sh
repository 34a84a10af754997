#!/bin/sh
# Stand-in for the mixer tool, for quor_route's tests and the demo. Control
# 9's value lives in $FAKE_AMIXER_DIR/value and every call's arguments are
# appended to $FAKE_AMIXER_DIR/calls. A word in $FAKE_AMIXER_DIR/mode makes
# it misbehave:
#   silent      print nothing (a cset still takes effect)
#   ignore-set  a cset prints as usual but changes nothing
#   hang        write nothing and never end; the pid of the sleeping
#               grandchild is appended to $FAKE_AMIXER_DIR/hung
#   hang-once   hang on this call only
#   flood       pad the answer so its value line ends near byte 3800, then
#               write without end
#   flap        a cset also flips $FAKE_AMIXER_DIR/balance between 0 and 1,
#               so the balanced jack changes in every cycle that sets
dir=${FAKE_AMIXER_DIR:?}
echo "$*" >>"$dir/calls"
mode=$(cat "$dir/mode" 2>/dev/null)

case $mode in
hang-once | hang)
  [ "$mode" = hang-once ] && rm -f "$dir/mode"
  sleep 60 &
  echo $! >>"$dir/hung"
  wait
  exit 0
  ;;
esac

if [ "$1" = cset ] && [ "$mode" != ignore-set ]; then
  echo "$3" >"$dir/value"
fi
if [ "$1" = cset ] && [ "$mode" = flap ]; then
  # The daemon waits for this call, so it never sees half a file.
  flipped=1
  [ "$(cat "$dir/balance")" = 1 ] && flipped=0
  echo $flipped >"$dir/balance"
fi
[ "$mode" = silent ] && exit 0
[ "$mode" = flood ] && yes '  ; padding' | head -n 300

value=$(cat "$dir/value" 2>/dev/null)
cat <<EOF
numid=9,iface=MIXER,name='Output Port'
  ; type=ENUMERATED,access=rw------,values=1,items=4
  ; Item #0 'Speaker'
  ; Item #1 'Line Out'
  ; Item #2 'Headphone'
  ; Item #3 'Balanced Out'
  : values=${value:-0}
EOF
[ "$mode" = flood ] && exec yes
exit 0
