# Sourced by run.sh: one scenario, from its "# rig:" lines to its results.
# Needs: work, here, top, the other host files.

# The boots a scenario asks for, one word each: rc (BusyBox with S60quor,
# the default), inittab (BusyBox with the shipped inittab lines), systemd.
# A scenario with several runs once in each.
boots_of() { # scenario
  local b
  b=$(sed -n 's/^# rig: //p' "$1" | tr ' ' '\n' | sed -n 's/^boot=//p')
  echo "${b:-rc}"
}

# One scenario: a fresh card, a boot, and a second boot on the same card
# after a power cut.
run_scenario() { # file, index, boot
  local file=$1 dir=$work/boot-$2 boot=$3 timeout=240 wlog=0 kbps= opt
  local failed0=$failed plan=0 n=1
  name=$(basename "$file" .sh)
  if [ "$(boots_of "$file" | wc -l)" -gt 1 ]; then
    name=$name@$boot
  fi
  n_results=0
  for opt in $(sed -n 's/^# rig: //p' "$file"); do
    case $opt in
    timeout=*) timeout=${opt#timeout=} ;;
    write_log) wlog=1 ;;
    card_kbps=*) kbps=${opt#card_kbps=} ;;
    esac
  done
  if [ "$boot" = systemd ] && [ -z "$sd_root" ]; then
    result skip "no systemd guest for $arch: $sd_why"
    return
  fi
  mkdir -p "$dir"
  make_card "$file" "$dir"
  if [ $wlog = 1 ]; then
    card_partition "$dir/card.img" "$dir/before.img"
  fi
  while :; do
    boot_files "$file" "$dir" "$boot" "$n"
    card_args "$dir" "$wlog" "$kbps"
    if [ "$boot" = systemd ]; then
      systemd_args "$dir"
    else
      busybox_args "$dir"
    fi
    run_boot "$dir" "$timeout" "${qargs[@]}"
    plan=$((plan + ${boot_plan:-0}))
    [ -n "$boot_cut" ] && [ $n = 1 ] || break
    cp "$dir/notes" "$dir/boot1.notes"
    fsck_after_cut "$dir"
    wlog=0 n=2
    echo "# $name: power cut; booting again on the same card"
  done
  if [ -n "$boot_fsck" ]; then
    fsck_card "$dir"
  fi
  if [ -f "$dir/before.img" ]; then
    check_crash_points "$dir"
  fi
  results_missing "$([ $plan -gt 0 ] && echo $plan)"
  if [ $failed -gt "$failed0" ]; then
    console_tail "$dir"
  fi
  echo "# $name: $((SECONDS - ${boot_t0:-$SECONDS})) s in all"
}

# The boot's own files: the scenario, which boot this is and the first
# boot's notes, in an archive after the flavor's initramfs.
boot_files() { # scenario, boot dir, boot, boot number
  local x=$2/extra
  rm -rf "$x"
  mkdir -p "$x/rig" "$x/run/rig" "$x/etc/init.d"
  cp "$1" "$x/rig/scenario.sh"
  echo "$4" >"$x/run/rig/boot"
  if [ "$4" = 1 ]; then
    boot_t0=$SECONDS
  else
    cp "$2/boot1.notes" "$x/run/rig/boot1.notes"
  fi
  case $3 in
  systemd) cat "$work/sd-initrd.cpio" ;;
  inittab)
    cp "$here/guest/inittab" "$x/etc/inittab"
    grep -v '^#' "$top/packaging/busybox/inittab" >>"$x/etc/inittab"
    cat "$work/base.cpio"
    ;;
  *)
    cp "$here/guest/inittab" "$x/etc/inittab"
    install -m 755 "$top/packaging/busybox/S60quor" "$x/etc/init.d/"
    cat "$work/base.cpio"
    ;;
  esac >"$2/initrd"
  cpio_of "$x" >>"$2/initrd"
}
