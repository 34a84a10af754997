# Sourced by run.sh: one boot of a guest under QEMU, its console and its
# monitor. Needs: qemu (array), kit, tty, pids, result, console_tail.

# KVM where /dev/kvm is there and a guest really runs on it: on a nested
# machine it may open and then never run a guest. The probe is the kernel
# alone, without an initramfs: it panics and QEMU ends (panic=-1,
# -no-reboot), in about a second on KVM.
pick_accel() {
  if [ -n "${QUOR_DEVICE_ACCEL:-}" ]; then
    echo "$QUOR_DEVICE_ACCEL"
    return
  fi
  if [ ! -w /dev/kvm ] || [ "$arch" != "$(uname -m)" ]; then
    echo tcg
    return
  fi
  local log=$work/kvm-probe.log
  timeout 15 "${qemu[@]}" -accel kvm -m 128 -smp 1 -nodefaults \
    -no-user-config -display none -no-reboot -kernel "$kit/vmlinuz" \
    -append "console=$tty panic=-1 rdinit=/none" -serial "file:$log" \
    2>/dev/null || true
  if grep -q 'Kernel panic' "$log" 2>/dev/null; then
    echo kvm
  else
    echo tcg
  fi
}

# Sets cargs: the QEMU arguments of the card on USB, a raw image. With
# write_log every write it takes is logged to card.wlog; with kbps it
# writes no faster than that, as a slow card.
card_args() { # boot dir, write_log (0/1), kbps (empty: no limit)
  local node="driver=raw,node-name=card,cache.no-flush=on,file.driver=file,file.filename=$1/card.img"
  if [ "$2" = 1 ]; then
    : >"$1/card.wlog"
    node="driver=blklogwrites,node-name=card,file.driver=raw,file.file.driver=file,file.file.filename=$1/card.img,log.driver=file,log.filename=$1/card.wlog,log-append=off"
  fi
  if [ -n "$3" ]; then
    cargs=(-object "throttle-group,id=slow,x-bps-write=$(($3 * 1024))"
      -blockdev "${node/node-name=card/node-name=media}"
      -blockdev "driver=throttle,node-name=card,throttle-group=slow,file=media")
  else
    cargs=(-blockdev "$node")
  fi
}

# Boots once with the given QEMU arguments after the common ones and acts on
# the guest's "@@rig:" console lines until it is gone. Sets boot_done (the
# scenario's exit status, or empty), boot_cut (1 after a power cut),
# boot_plan, boot_fsck, boot_started; the notes go to $dir/notes.
run_boot() { # boot dir, timeout, QEMU arguments...
  local dir=$1 timeout=$2
  shift 2
  boot_done= boot_cut= boot_plan= boot_fsck= boot_started=
  : >"$dir/notes"
  rm -f "$dir/mon.in" "$dir/mon.out"
  mkfifo "$dir/mon.in" "$dir/mon.out"
  local cmd=("${qemu[@]}" -accel "$accel" -smp 1 -nodefaults
    -no-user-config -display none -no-reboot -kernel "$kit/vmlinuz"
    -chardev "stdio,id=con,signal=off,logfile=$dir/console.log"
    -serial chardev:con
    -chardev "pipe,id=mon,path=$dir/mon" -mon chardev=mon,mode=readline
    -device qemu-xhci,id=xhci "$@"
    -device usb-storage,bus=xhci.0,drive=card,id=card0,removable=on)
  local t0=$SECONDS
  coproc GUEST { exec "${cmd[@]}" 2>"$dir/qemu.err"; }
  local qpid=$GUEST_PID con=${GUEST[0]} mon
  pids+=("$qpid")
  exec {mon}<>"$dir/mon.in"
  cat "$dir/mon.out" >"$dir/monitor.log" &
  pids+=($!)

  local deadline=$((SECONDS + timeout)) line partial= rc devno=0 quit_at=
  while :; do
    if IFS= read -r -t 1 -u "$con" line; then
      line=$partial$line
      partial=
    else
      rc=$?
      if [ $rc -gt 128 ]; then
        partial=$partial$line
        if [ -n "$quit_at" ] && [ $SECONDS -ge "$quit_at" ]; then
          kill -9 "$qpid" 2>/dev/null || true
        elif [ -z "$quit_at" ] && [ $SECONDS -ge $deadline ]; then
          result not_ok "guest timed out after $timeout s; killed"
          kill -9 "$qpid" 2>/dev/null || true
          quit_at=$SECONDS
        fi
        continue
      fi
      break # the guest is gone
    fi
    case $line in
    *@@rig:*) line=${line##*@@rig:} ;;
    *) continue ;;
    esac
    line=${line%$'\r'}
    local kind=${line%% *} text=
    [ "$kind" = "$line" ] || text=${line#* }
    case $kind in
    ok | not_ok | skip) result "$kind" "$text" ;;
    note)
      echo "# $name: $text"
      echo "$text" >>"$dir/notes"
      ;;
    plan) boot_plan=$text ;;
    start)
      boot_started=$SECONDS
      echo "# $name: booted in $((SECONDS - t0)) s"
      if [ $((SECONDS - t0)) -gt 60 ]; then
        echo "# $name: a slow boot:"
        console_tail "$dir"
      fi
      ;;
    pull) echo "device_del card$devno" >&"$mon" ;;
    insert)
      devno=$((devno + 1))
      echo "device_add usb-storage,bus=xhci.0,drive=card,id=card$devno,removable=on" >&"$mon"
      ;;
    power_cut)
      # As the battery would: nothing more runs in the guest.
      echo quit >&"$mon"
      boot_cut=1
      quit_at=$((SECONDS + 10))
      ;;
    fsck) boot_fsck=1 ;;
    done)
      boot_done=$text
      echo quit >&"$mon"
      quit_at=$((SECONDS + 10))
      ;;
    esac
  done
  wait "$qpid" 2>/dev/null || true
  exec {mon}>&-
  if [ -z "$boot_started" ] && [ -z "$quit_at" ]; then
    result not_ok "the guest ended before the scenario started"
    sed 's/^/# qemu: /' "$dir/qemu.err"
  fi
  if [ -n "$boot_done" ] && [ "$boot_done" != 0 ]; then
    result not_ok "the scenario exited with status $boot_done"
  fi
}
