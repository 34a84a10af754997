#!/usr/bin/env bash
# CI stage: the scenarios of tests/device on an emulated device, x86_64 and
# aarch64 side by side (one core each); on x86_64 the BusyBox guest's
# scenarios, then the systemd guest's. Installs what the rig needs; the
# kernel and the guest's packages are downloaded into the rig's cache
# (QUOR_DEVICE_CACHE, default /var/cache/quor-device), never installed.
#   .ci/device.sh [x86_64 build tree] [aarch64 build tree]
# The trees default to the ones the earlier stages built (build,
# build-aarch64-linux-gnu); they are reconfigured to install the stand-ins.
set -euo pipefail
cd "$(dirname "$0")/.."
x86_tree=${1:-build}
arm_tree=${2:-build-aarch64-linux-gnu}

export DEBIAN_FRONTEND=noninteractive
apt_get() {
  apt-get -o DPkg::Lock::Timeout=600 "$@"
}
# The aarch64 guest's packages (kernel, BusyBox, C library, amixer) are
# arm64 ones.
update=
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  dpkg --add-architecture arm64
  update=1
fi
pkgs=(qemu-system-x86 qemu-system-arm busybox-static dosfstools mtools fdisk
  cpio mmdebstrap e2fsprogs)
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ -n "$update" ] || [ ${#missing[@]} -gt 0 ] ||
  ! apt-cache policy linux-image-arm64:arm64 | grep -q 'Candidate: [0-9]'; then
  apt_get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
run_arch() { # arch tree
  local start=$SECONDS rc=0
  QUOR_DEVICE_BUILD=$2 tests/device/run.sh --arch "$1" >"$logs/$1" 2>&1 || rc=$?
  echo "# $1: $((SECONDS - start)) s" >>"$logs/$1"
  return $rc
}
run_arch x86_64 "$x86_tree" &
x86=$!
run_arch aarch64 "$arm_tree" &
arm=$!
rc=0
wait $x86 || rc=1
wait $arm || rc=1
passed=0 failed=0
for a in x86_64 aarch64; do
  echo "=== device: $a"
  cat "$logs/$a"
  set -- $(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$logs/$a")
  passed=$((passed + ${1:-0}))
  failed=$((failed + ${2:-1}))
done
echo "device: x86_64 and aarch64"
echo "$passed passed, $failed failed"
exit $rc
