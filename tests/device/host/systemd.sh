# Sourced by run.sh: the systemd guest. A Debian root disk made by
# mmdebstrap from this machine's own apt sources (cached, keyed by the
# package list and the sources), our install tree on it with both units
# enabled as a firmware build would, and a small initramfs of our own that
# loads the drivers and switches to it. x86_64 only: a foreign root would
# need its packages' maintainer scripts run under emulation.
# Needs: arch, cache, work, here, kit, tty, say, cpio_of, install_rig_commands.

sd_packages=(systemd systemd-sysv udev kmod alsa-utils)

# The host's apt sources for its own release: the guest is built from the
# same mirrors the machine uses, whatever they are.
host_sources() {
  local codename f
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    grep -E "^deb [^#]* $codename(-[a-z]+)? " "$f" || true
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v RS= -v ORS='\n\n' -v c="$codename" \
      '$0 ~ "\nSuites:[^\n]*[ ]" c "([ -]|\n|$)" && !/\nEnabled: *no/' "$f"
  done
}

# Sets sd_root (the root disk image) or sd_why (why there is none).
make_systemd_image() {
  if [ "$arch" != x86_64 ]; then
    sd_why="the systemd guest is built for x86_64 only"
    return
  fi
  local p
  for p in mmdebstrap mke2fs systemctl; do
    command -v "$p" >/dev/null || die "$p is missing (.ci/device.sh lists the packages)"
  done
  [ "$(id -u)" = 0 ] || die "the systemd guest's root is built as root"
  local src=$work/sources key tar t0=$SECONDS root=$work/sdroot
  host_sources >"$src"
  [ -s "$src" ] || die "no apt sources for this release in /etc/apt"
  key=$( (echo "${sd_packages[*]}" && cat "$src") | cksum | cut -d ' ' -f 1)
  tar=$cache/sdroot-$debarch-$key.tar
  (
    flock 9
    if [ ! -f "$tar" ]; then
      mmdebstrap --quiet --format=tar --variant=minbase --include="$(IFS=,; echo "${sd_packages[*]}")" \
        --dpkgopt='path-exclude=/usr/share/doc/*' \
        --dpkgopt='path-exclude=/usr/share/man/*' \
        --dpkgopt='path-exclude=/usr/share/locale/*' \
        "$(. /etc/os-release && echo "$VERSION_CODENAME")" "$tar.tmp" "$src" ||
        die "mmdebstrap failed"
      mv "$tar.tmp" "$tar"
    fi
  ) 9>"$cache/.lock"
  mkdir -p "$root"
  tar -xpf "$tar" -C "$root"
  cp -a "$work/install/." "$root/"
  install_rig_commands "$root"
  local g=$here/guest u
  install -m 755 "$g/harness" "$root/rig/"
  install -m 644 "$g"/systemd/*.service "$root/etc/systemd/system/"
  install -m 644 "$g/systemd/90-rig-card.rules" "$root/etc/udev/rules.d/"
  ln -sf /usr/share/systemd/tmp.mount "$root/etc/systemd/system/tmp.mount"
  systemctl --root="$root" --quiet enable quor-amsd.service quor-route.service \
    rig-launcher.service rig-crash-listener.service rig-bootstamp.service \
    rig-harness.service rig-shutdown.service tmp.mount
  # Nothing that asks, waits for the network or wakes up on its own.
  for u in serial-getty@ttyS0.service getty@tty1.service \
    systemd-firstboot.service apt-daily.timer apt-daily-upgrade.timer \
    dpkg-db-backup.timer e2scrub_all.timer fstrim.timer; do
    ln -sf /dev/null "$root/etc/systemd/system/$u"
  done
  tr -d - </proc/sys/kernel/random/uuid >"$root/etc/machine-id"
  echo quor >"$root/etc/hostname"
  sd_root=$work/sdroot.img
  mke2fs -q -t ext4 -L root -d "$root" "$sd_root" 1G >/dev/null
  rm -rf "$root"

  # The initramfs: BusyBox, the drivers, our init.
  local i=$work/sd-initrd
  mkdir -p "$i"/{bin,sbin,usr/bin,usr/sbin,lib/modules,rig}
  cp "$work/pkgs/busybox-static/bin/busybox" "$i/bin/"
  install_modules systemd "$i"
  install -m 755 "$g/systemd/init" "$i/init"
  cpio_of "$i" >"$work/sd-initrd.cpio"
  say "$arch: systemd root $(du -sm --apparent-size "$sd_root" | cut -f 1) MiB" \
    "($(du -sm "$sd_root" | cut -f 1) MiB used), made in $((SECONDS - t0)) s"
}

# Sets qargs: the QEMU arguments of a systemd boot, the card's (cargs)
# among them. The root disk is shared by every boot and never written: each
# boot's writes are thrown away.
systemd_args() { # boot dir
  qargs=(-m 512 -initrd "$1/initrd"
    -drive "if=none,id=root,format=raw,file=$sd_root,snapshot=on"
    -device virtio-blk-pci,drive=root "${cargs[@]}"
    -append "console=$tty loglevel=3 panic=-1 rdinit=/init systemd.show_status=0 fsck.mode=skip ${QUOR_DEVICE_APPEND:-}")
}
