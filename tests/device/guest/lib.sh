# Loaded into every scenario's shell (and at_shutdown's) before it runs, so
# that rig_wait can poll the scenario's own shell functions too. The other
# commands are programs in /rig/bin.

# Uptime in centiseconds.
_rig_centis() {
  read -r _rig_up _ </proc/uptime
  _rig_c=${_rig_up#*.}
  echo $((${_rig_up%.*} * 100 + 1$_rig_c - 100))
}

# rig_wait SECONDS COMMAND [ARG...]: runs COMMAND every 0.05 s until it
# succeeds; status 1 once SECONDS have passed without.
rig_wait() {
  _rig_limit=$(($(_rig_centis) + $1 * 100))
  shift
  until "$@" >/dev/null 2>&1; do
    [ "$(_rig_centis)" -lt "$_rig_limit" ] || return 1
    sleep 0.05
  done
}
