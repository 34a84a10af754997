#!/usr/bin/env bash
# Boots the install tree on an emulated device and runs scenarios in it:
# Debian's kernel under QEMU, a BusyBox initramfs with BusyBox init as PID 1,
# a FAT32 card on USB that the monitor pulls and puts back.
#   tests/device/run.sh [--arch x86_64|aarch64] [--scenario FILE]...
# Without --scenario it runs tests/device/scenarios/*.sh. Each scenario gets
# a fresh card and a fresh boot. Prints each result line, then
# "N passed, N failed" last; exits 0 only when all passed and none is
# missing. tests/device/README.md describes the guest.
#
# Environment: QUOR_DEVICE_BUILD, a configured build tree for the arch to use
# instead of build-device-<arch> (it is reconfigured to install the
# stand-ins); QUOR_DEVICE_CACHE, where downloaded packages and the unpacked
# kernel stay between runs (default /var/cache/quor-device);
# QUOR_DEVICE_KEEP=1 keeps the scratch directory; QUOR_DEVICE_APPEND adds
# to the kernel's command line (e.g. loglevel=7); QUOR_DEVICE_ACCEL=tcg or
# kvm instead of the probe (KVM is used only where a guest runs on it).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)

arch=x86_64
scenarios=()
while [ $# -gt 0 ]; do
  case $1 in
  --arch)
    arch=${2:?--arch needs x86_64 or aarch64}
    shift 2
    ;;
  --scenario)
    f=${2:?--scenario needs a file}
    [ -f "$f" ] || {
      echo "run.sh: no scenario file $f" >&2
      exit 2
    }
    scenarios+=("$(cd "$(dirname "$f")" && pwd)/$(basename "$f")")
    shift 2
    ;;
  *)
    echo "usage: $0 [--arch x86_64|aarch64] [--scenario FILE]..." >&2
    exit 2
    ;;
  esac
done
if [ ${#scenarios[@]} -eq 0 ]; then
  scenarios=("$here"/scenarios/*.sh)
fi

case $arch in
x86_64)
  debarch=amd64 triplet=x86_64-linux-gnu tty=ttyS0 elf_machine=X86-64
  qemu=(qemu-system-x86_64 -M pc)
  ;;
aarch64)
  debarch=arm64 triplet=aarch64-linux-gnu tty=ttyAMA0 elf_machine=AArch64
  qemu=(qemu-system-aarch64 -M virt -cpu cortex-a57)
  ;;
*)
  echo "run.sh: unknown arch $arch (x86_64 or aarch64)" >&2
  exit 2
  ;;
esac

say() { echo "# $*"; }
die() {
  echo "run.sh: $*" >&2
  exit 1
}

for tool in "${qemu[0]}" busybox mkfs.vfat fsck.vfat mcopy readelf dpkg-deb \
  apt-get flock; do
  command -v "$tool" >/dev/null ||
    die "$tool is missing (.ci/device.sh lists the packages)"
done

cache=${QUOR_DEVICE_CACHE:-/var/cache/quor-device}
mkdir -p "$cache" 2>/dev/null || cache=$HOME/.cache/quor-device
mkdir -p "$cache"
work=$(mktemp -d "${TMPDIR:-/tmp}/quor-device.XXXXXX")
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do
    kill "$p" 2>/dev/null || true
  done
  if [ "${QUOR_DEVICE_KEEP:-}" = 1 ]; then
    say "kept $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

# --- Packages: Debian's, downloaded once into the cache, never installed.

# The .deb of a package's candidate version for this arch, downloaded unless
# the cache has it already.
deb_of() { # package
  local pkg=$1 want ver= f
  # Packages for all architectures have no ":arch" candidate.
  for want in "$pkg:$debarch" "$pkg"; do
    ver=$(apt-cache policy "$want" 2>/dev/null | awk '/Candidate:/ { print $2 }')
    [ -z "$ver" ] || [ "$ver" = "(none)" ] || break
  done
  if [ -z "$ver" ] || [ "$ver" = "(none)" ]; then
    die "no package $pkg:$debarch (arm64: dpkg --add-architecture arm64;" \
      "apt-get update)"
  fi
  ver=${ver//:/%3a}
  for f in "$cache/${pkg}_${ver}_$debarch.deb" "$cache/${pkg}_${ver}_all.deb"; do
    if [ -f "$f" ]; then
      echo "$f"
      return
    fi
  done
  (cd "$cache" && apt-get -o DPkg::Lock::Timeout=600 -qq download "$want" 2>&1 |
    grep -v unsandboxed >&2) || true
  for f in "$cache/${pkg}_${ver}_$debarch.deb" "$cache/${pkg}_${ver}_all.deb"; do
    if [ -f "$f" ]; then
      echo "$f"
      return
    fi
  done
  die "download of $want failed"
}

# The kernel that linux-image-<arch> depends on today.
kernel_package() {
  apt-cache depends "linux-image-$debarch:$debarch" 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[^: ]*\).*/\1/p' | head -n 1
}

# Drivers the image loads, in this order: FAT with its code pages before the
# USB disk (else the card may be found before it can be mounted), and the
# dummy sound card where the kernel has it. Options follow the name.
wanted_modules=(vfat nls_cp437 nls_ascii nls_iso8859_1 nls_utf8 snd_dummy
  sd_mod usb_storage xhci_pci)
declare -A module_args=([usb_storage]="delay_use=0")

# From the kernel package: the kernel and the wanted modules with what they
# depend on, in load order ("order": file, then options). Kept in the cache.
make_kit() { # kernel deb, kit dir
  local deb=$1 kit=$2 tmp=$2.tmp m f
  rm -rf "$tmp"
  mkdir -p "$tmp/x" "$tmp/modules"
  dpkg -x "$deb" "$tmp/x"
  cp "$tmp/x"/boot/vmlinuz-* "$tmp/vmlinuz"
  declare -A path=() done=()
  while IFS= read -r f; do
    m=${f##*/}
    m=${m%%.ko*}
    path[${m//-/_}]=$f
  done < <(find "$tmp/x/lib/modules" -name '*.ko*')
  add_module() { # name
    local name=${1//-/_} dep deps
    [ -z "${done[$name]:-}" ] || return 0
    done[$name]=1
    f=${path[$name]:-}
    [ -n "$f" ] || die "module $name not in $(basename "$deb")"
    case $f in
    *.xz) xz -dc "$f" >"$tmp/modules/$name.ko" ;;
    *.zst) zstd -qdc "$f" >"$tmp/modules/$name.ko" ;;
    *) cp "$f" "$tmp/modules/$name.ko" ;;
    esac
    deps=$(tr '\0' '\n' <"$tmp/modules/$name.ko" | sed -n 's/^depends=//p')
    for dep in ${deps//,/ }; do
      add_module "$dep"
    done
    echo "$name.ko ${module_args[$name]:-}" >>"$tmp/modules/order"
  }
  for m in "${wanted_modules[@]}"; do
    if [ -n "${path[$m]:-}" ]; then
      add_module "$m"
    elif [ "$m" != snd_dummy ]; then
      die "module $m not in $(basename "$deb")"
    fi
  done
  rm -rf "$tmp/x" "$kit"
  mv "$tmp" "$kit"
}

unpack() { # package, dir
  local deb
  deb=$(deb_of "$1")
  dpkg -x "$deb" "$2"
}

# --- The install tree.

build_tree() {
  local build=${QUOR_DEVICE_BUILD:-}
  if [ -n "$build" ]; then
    cmake -S "$top" -B "$build" -DQUOR_INSTALL_STANDINS=ON >/dev/null
  else
    build=$top/build-device-$arch
    if [ ! -f "$build/CMakeCache.txt" ]; then
      local tc=()
      if [ "$arch" != "$(uname -m)" ]; then
        tc=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchains/$triplet.cmake")
      fi
      cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_TESTING=OFF -DQUOR_BENCH=OFF -DQUOR_INSTALL_STANDINS=ON \
        "${tc[@]}" >/dev/null
    fi
  fi
  if ! cmake --build "$build" -j "$(nproc)" >"$work/build.log" 2>&1; then
    cat "$work/build.log" >&2
    die "build in $build failed"
  fi
  DESTDIR=$work/root cmake --install "$build" --prefix /usr --strip >/dev/null
  readelf -h "$work/root/usr/sbin/quor_amsd" | grep -q "Machine:.*$elf_machine" ||
    die "$build does not build for $arch"
}

# --- The initramfs.

# A newc archive entry of a node the tree cannot hold without root: fields in
# hex, the name padded to 4 bytes, no data.
cpio_entry() { # name mode(octal) rdevmajor rdevminor
  local name=$1 len=$((${#1} + 1)) pad
  printf '070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X' \
    0 $((8#$2)) 0 0 1 0 0 0 0 "$3" "$4" "$len" 0
  printf '%s\0' "$name"
  pad=$(((4 - (110 + len) % 4) % 4))
  head -c "$pad" /dev/zero
}

make_base_image() {
  local root=$work/root x=$work/pkgs k interp f
  build_tree
  mkdir -p "$x"
  (
    flock 9
    kpkg=$(kernel_package)
    [ -n "$kpkg" ] || die "linux-image-$debarch has no kernel dependency"
    kdeb=$(deb_of "$kpkg")
    k=$cache/kit-$(basename "$kdeb" .deb)-$(echo "${wanted_modules[*]}" |
      cksum | cut -d ' ' -f 1)
    [ -f "$k/modules/order" ] || make_kit "$kdeb" "$k"
    echo "$k" >"$work/kit"
    for p in busybox-static libc6 libasound2 libasound2-data alsa-utils; do
      unpack "$p" "$x/$p"
    done
  ) 9>"$cache/.lock"
  kit=$(cat "$work/kit")
  say "$arch: kernel $(basename "$kit" | sed 's/^kit-//; s/-[0-9]*$//')," \
    "$(wc -l <"$kit/modules/order") module(s)"

  mkdir -p "$root"/{bin,sbin,etc/init.d,lib/modules,usr/bin,usr/share,rig/bin} \
    "$root"/{proc,sys,tmp,run} \
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
  cp "$kit"/modules/*.ko "$kit/modules/order" "$root/lib/modules/"
  printf 'root:x:0:0:root:/:/bin/sh\n' >"$root/etc/passwd"
  printf 'root:x:0:\n' >"$root/etc/group"

  local g=$here/guest
  install -m 755 "$g/init" "$root/init"
  install -m 755 "$g/rcS" "$g/rcK" "$g/S50launcher" "$root/etc/init.d/"
  install -m 644 "$g/mdev.conf" "$root/etc/"
  install -m 644 "$g/lib.sh" "$root/rig/"
  install -m 755 "$g/rig" "$g/automount" "$g/harness" "$g/ready_probe" \
    "$root/rig/"
  for f in ok not_ok skip note check plan live now centis rig_wait card_pull \
    card_insert at_shutdown host_fsck; do
    ln -s ../rig "$root/rig/bin/$f"
  done
  echo "$arch" >"$root/rig/arch"

  (cd "$root" && find . | sed 's|^\./||' | grep -v '^\.$' |
    busybox cpio -o -H newc -R 0:0 2>/dev/null) >"$work/base.cpio"
  {
    cpio_entry dev 040755 0 0
    cpio_entry dev/console 020600 5 1
    cpio_entry TRAILER!!! 0 0 0
  } >"$work/nodes.cpio"
  say "$arch: initramfs $(($(stat -c %s "$work/base.cpio") / 1024)) KiB"
}

# --- A card: MBR, one FAT32 partition from 1 MiB on.

le32() { # value: four little-endian bytes as printf escapes
  printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) \
    $((($1 >> 16) & 255)) $((($1 >> 24) & 255))
}

card_mib=64
make_card() { # scenario, boot dir
  local tree=$2/card-tree part=$2/part.img img=$2/card.img
  local sectors=$(((card_mib - 1) * 2048))
  mkdir -p "$tree/QuorOS"
  if [ -d "${1%.sh}.card" ]; then
    cp -r "${1%.sh}.card/." "$tree/"
  fi
  truncate -s "$((card_mib - 1))M" "$part"
  mkfs.vfat -F 32 -n QUORCARD "$part" >/dev/null
  mcopy -s -Q -m -i "$part" "$tree"/* ::/
  truncate -s "${card_mib}M" "$img"
  # shellcheck disable=SC2059 # the escapes are the bytes
  printf "\\x00\\xfe\\xff\\xff\\x0c\\xfe\\xff\\xff$(le32 2048)$(le32 "$sectors")" |
    dd of="$img" bs=1 seek=446 conv=notrunc status=none
  printf '\x55\xaa' | dd of="$img" bs=1 seek=510 conv=notrunc status=none
  dd if="$part" of="$img" bs=1M seek=1 conv=notrunc,sparse status=none
  rm -f "$part"
}

fsck_card() { # boot dir: the result line
  local out
  dd if="$1/card.img" of="$1/part.img" bs=1M skip=1 status=none
  if out=$(fsck.vfat -n "$1/part.img" 2>&1); then
    result ok "card image: fsck.vfat -n finds nothing to mend"
  else
    result not_ok "card image: fsck.vfat -n: $(echo "$out" | sed -n '2,4p' | tr '\n' ' ')"
  fi
}

# --- Results.

passed=0 failed=0 skipped=0
name=
n_results=0
result() { # kind text
  case $1 in
  ok)
    passed=$((passed + 1))
    echo "ok $name: $2"
    ;;
  not_ok)
    failed=$((failed + 1))
    echo "not ok $name: $2"
    ;;
  skip)
    skipped=$((skipped + 1))
    echo "skip $name: $2"
    ;;
  esac
  n_results=$((n_results + 1))
}

console_tail() { # boot dir
  local lines
  lines=$(tr -d '\r' <"$1/console.log" | grep -v -e '^$' -e '@@rig:' |
    tail -n 40 || true)
  if [ -n "$lines" ]; then
    printf '%s\n' "$lines" | sed 's/^/# console: /'
  else
    say "console: empty"
  fi
}

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

# --- One boot.

run_scenario() { # file, index
  local file=$1 dir=$work/boot-$2 boot=rc timeout=240 opt failed0=$failed
  name=$(basename "$file" .sh)
  n_results=0
  for opt in $(sed -n 's/^# rig: //p' "$file"); do
    case $opt in
    boot=inittab) boot=inittab ;;
    timeout=*) timeout=${opt#timeout=} ;;
    esac
  done
  mkdir -p "$dir/extra/etc/init.d" "$dir/extra/rig"
  cp "$here/guest/inittab" "$dir/extra/etc/inittab"
  if [ "$boot" = inittab ]; then
    grep -v '^#' "$top/packaging/busybox/inittab" >>"$dir/extra/etc/inittab"
  else
    install -m 755 "$top/packaging/busybox/S60quor" "$dir/extra/etc/init.d/"
  fi
  cp "$file" "$dir/extra/rig/scenario.sh"
  (cd "$dir/extra" && find . | sed 's|^\./||' | grep -v '^\.$' |
    busybox cpio -o -H newc -R 0:0 2>/dev/null) >"$dir/extra.cpio"
  cat "$work/base.cpio" "$work/nodes.cpio" "$dir/extra.cpio" >"$dir/initrd"
  make_card "$file" "$dir"

  mkfifo "$dir/mon.in" "$dir/mon.out"
  local cmd=("${qemu[@]}" -accel "$accel" -m 256 -smp 1 -nodefaults
    -no-user-config -display none -no-reboot
    -kernel "$kit/vmlinuz" -initrd "$dir/initrd"
    -append "console=$tty loglevel=3 panic=-1 rdinit=/init ${QUOR_DEVICE_APPEND:-}"
    -chardev "stdio,id=con,signal=off,logfile=$dir/console.log"
    -serial chardev:con
    -chardev "pipe,id=mon,path=$dir/mon" -mon chardev=mon,mode=readline
    -device qemu-xhci,id=xhci
    -blockdev "driver=raw,node-name=card,cache.no-flush=on,file.driver=file,file.filename=$dir/card.img"
    -device usb-storage,bus=xhci.0,drive=card,id=card0,removable=on)
  local t0=$SECONDS
  coproc GUEST { exec "${cmd[@]}" 2>"$dir/qemu.err"; }
  local qpid=$GUEST_PID con=${GUEST[0]}
  pids+=("$qpid")
  local mon
  exec {mon}<>"$dir/mon.in"
  cat "$dir/mon.out" >"$dir/monitor.log" &
  pids+=($!)

  local deadline=$((SECONDS + timeout)) line partial= rc devno=0 plan=
  local done_status= fsck= started= quit_at=
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
        elif [ $SECONDS -ge $deadline ]; then
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
    note) echo "# $name: $text" ;;
    plan) plan=$text ;;
    start)
      started=$SECONDS
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
    fsck) fsck=1 ;;
    done)
      done_status=$text
      echo quit >&"$mon"
      quit_at=$((SECONDS + 10))
      ;;
    esac
  done
  wait "$qpid" 2>/dev/null || true
  exec {mon}>&-

  if [ -z "$started" ] && [ -z "$quit_at" ]; then
    result not_ok "the guest ended before the scenario started"
    sed 's/^/# qemu: /' "$dir/qemu.err"
  fi
  if [ -n "$done_status" ] && [ "$done_status" != 0 ]; then
    result not_ok "the scenario exited with status $done_status"
  fi
  if [ -n "$fsck" ]; then
    fsck_card "$dir"
  fi
  if [ -n "$plan" ] && [ "$n_results" -lt "$plan" ]; then
    local k=$n_results
    while [ "$k" -lt "$plan" ]; do
      result not_ok "result missing ($n_results of $plan)"
      k=$((k + 1))
    done
  fi
  if [ "$n_results" -eq 0 ]; then
    result not_ok "no result"
  fi
  if [ $failed -gt "$failed0" ]; then
    console_tail "$dir"
  fi
  echo "# $name: $((SECONDS - t0)) s in all"
}

make_base_image
accel=$(pick_accel)
say "$arch: accelerator $accel"
i=0
for s in "${scenarios[@]}"; do
  i=$((i + 1))
  run_scenario "$s" "$i"
done
if [ $skipped -gt 0 ]; then
  say "$skipped skipped"
fi
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
