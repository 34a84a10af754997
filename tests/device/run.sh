#!/usr/bin/env bash
# Boots the install tree on an emulated device and runs scenarios in it:
# Debian's kernel under QEMU with a FAT32 card on USB that the monitor pulls
# and puts back, and as init either BusyBox (an initramfs) or systemd (a
# Debian root disk, for scenarios that say "# rig: boot=systemd").
#   tests/device/run.sh [--arch x86_64|aarch64] [--scenario FILE]...
# Without --scenario it runs tests/device/scenarios/*.sh, the BusyBox ones
# first. Each scenario gets a fresh card and a fresh boot (two after a power
# cut). Prints each result line, then "N passed, N failed" last; exits 0
# only when all passed and none is missing. tests/device/README.md
# describes the guests.
#
# Environment: QUOR_DEVICE_BUILD, a configured build tree for the arch to use
# instead of build-device-<arch> (it is reconfigured to install the
# stand-ins); QUOR_DEVICE_CACHE, where downloaded packages, the unpacked
# kernel and the systemd root stay between runs (default
# /var/cache/quor-device); QUOR_DEVICE_KEEP=1 keeps the scratch directory;
# QUOR_DEVICE_APPEND adds to the kernel's command line (e.g. loglevel=7);
# QUOR_DEVICE_ACCEL=tcg or kvm instead of the probe.
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
  apt-get flock cpio sfdisk; do
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

for f in kit images systemd card boot results fsck power scenario; do
  # shellcheck source=/dev/null
  . "$here/host/$f.sh"
done

mkdir -p "$work/install" "$work/pkgs"
build_tree "$work/install"
(
  flock 9
  fetch_kit "$work/pkgs"
  echo "$kit" >"$work/kit"
) 9>"$cache/.lock"
kit=$(cat "$work/kit")
say "$arch: kernel $(basename "$kit" | sed 's/^kit-//; s/-[0-9]*$//')," \
  "$(wc -l <"$kit/modules/order.busybox") module(s)" \
  "(systemd guest: $(wc -l <"$kit/modules/order.systemd"))"
make_busybox_image "$work/pkgs"
accel=$(pick_accel)
say "$arch: accelerator $accel"

# Every BusyBox boot first, then the systemd ones.
first=() later=()
for s in "${scenarios[@]}"; do
  for b in $(boots_of "$s"); do
    if [ "$b" = systemd ]; then
      later+=("$s $b")
    else
      first+=("$s $b")
    fi
  done
done
sd_root= sd_why=
if [ ${#later[@]} -gt 0 ]; then
  make_systemd_image
fi
i=0
for s in "${first[@]}" "${later[@]}"; do
  i=$((i + 1))
  run_scenario "${s% *}" "$i" "${s##* }"
done
summary
