# Sourced by run.sh: the install tree and the BusyBox guest's initramfs.
# Needs: top, here, arch, triplet, elf_machine, work, kit, die, say.

# What cmake --install puts into a DESTDIR, built for the arch.
build_tree() { # DESTDIR
  local build=${QUOR_DEVICE_BUILD:-}
  if [ -n "$build" ]; then
    cmake -S "$top" -B "$build" -DQUOR_INSTALL_STANDINS=ON \
      -DQUOR_INSTALL_SYSTEMD_UNITS=ON >/dev/null
  else
    build=$top/build-device-$arch
    if [ ! -f "$build/CMakeCache.txt" ]; then
      local tc=()
      if [ "$arch" != "$(uname -m)" ]; then
        tc=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchains/$triplet.cmake")
      fi
      cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_TESTING=OFF -DQUOR_BENCH=OFF -DQUOR_INSTALL_STANDINS=ON \
        -DQUOR_INSTALL_SYSTEMD_UNITS=ON \
        "${tc[@]}" >/dev/null
    fi
  fi
  if ! cmake --build "$build" -j "$(nproc)" >"$work/build.log" 2>&1; then
    cat "$work/build.log" >&2
    die "build in $build failed"
  fi
  DESTDIR=$1 cmake --install "$build" --prefix /usr --strip >/dev/null
  readelf -h "$1/usr/sbin/quor_amsd" | grep -q "Machine:.*$elf_machine" ||
    die "$build does not build for $arch"
}

# A newc archive of a tree, every file owned by root.
cpio_of() { # dir
  (cd "$1" && find . -mindepth 1 | cpio -o -H newc -R 0:0 --quiet)
}

# The rig's commands in the guest: one program under several names.
install_rig_commands() { # root
  local f
  mkdir -p "$1/rig/bin"
  install -m 644 "$here/guest/lib.sh" "$1/rig/"
  install -m 755 "$here/guest/rig" "$here/guest/automount" \
    "$here/guest/harness" "$1/rig/"
  for f in ok not_ok skip note check plan live now centis rig_wait card_pull \
    card_insert at_shutdown host_fsck power_cut cut_on_mount torn; do
    ln -sf ../rig "$1/rig/bin/$f"
  done
  echo "$arch" >"$1/rig/arch"
}

# The BusyBox guest's initramfs without the boot's own files: $work/base.cpio.
make_busybox_image() { # unpacked packages dir
  local root=$work/root x=$1 interp f
  mkdir -p "$root"
  cp -a "$work/install/." "$root/"
  rm -rf "$root/usr/lib/systemd" "$root/usr/lib/tmpfiles.d" "$root/usr/share/man"
  install_rig_commands "$root"
  mkdir -p "$root"/{bin,sbin,etc/init.d,lib/modules,usr/bin,usr/share} \
    "$root"/{proc,sys,tmp,run,dev} \
    "$root/lib/$triplet" "$root/usr/lib/$triplet"
  cp "$x/busybox-static/bin/busybox" "$root/bin/"
  cp -a "$x/libc6/lib/$triplet"/*.so* "$root/lib/$triplet/"
  cp -a "$x/libasound2/usr/lib/$triplet"/libasound.so.2* "$root/usr/lib/$triplet/"
  cp -a "$x/libasound2-data/usr/share/alsa" "$root/usr/share/"
  cp "$x/alsa-utils/usr/bin/amixer" "$root/usr/bin/"
  for f in "$root/usr/sbin/quor_amsd" "$root/usr/bin/amixer"; do
    interp=$(readelf -l "$f" | sed -n 's/.*interpreter: \(.*\)\]/\1/p')
    if [ ! -e "$root$interp" ] && [ ! -L "$root$interp" ]; then
      mkdir -p "$root$(dirname "$interp")"
      ln -s "/lib/$triplet/$(basename "$interp")" "$root$interp"
    fi
  done
  install_modules busybox "$root"
  printf 'root:x:0:0:root:/:/bin/sh\n' >"$root/etc/passwd"
  printf 'root:x:0:\n' >"$root/etc/group"

  local g=$here/guest
  install -m 755 "$g/init" "$root/init"
  install -m 755 "$g/rcS" "$g/rcK" "$g/S50launcher" "$root/etc/init.d/"
  install -m 644 "$g/mdev.conf" "$root/etc/"
  install -m 755 "$g/ready_probe" "$root/rig/"
  cpio_of "$root" >"$work/base.cpio"
  say "$arch: initramfs $(($(stat -c %s "$work/base.cpio") / 1024)) KiB"
}

# Sets qargs: the QEMU arguments of a BusyBox boot, the card's (cargs) last.
busybox_args() { # boot dir
  qargs=(-m 256 -initrd "$1/initrd" "${cargs[@]}"
    -append "console=$tty loglevel=3 panic=-1 rdinit=/init ${QUOR_DEVICE_APPEND:-}")
}
