#!/usr/bin/env bash
# CI stage: the install tree, the manual pages, the init files and the
# scripts.
#   .ci/packaging.sh <build dir>
# Installs the build into a scratch DESTDIR and checks that it holds the
# five programs and the six manual pages and nothing else; mandoc -T lint
# on the pages, which must say nothing at warning level; systemd-analyze
# verify on the units (their ExecStart pointed into that tree) and the
# tmpfiles.d entry applied to a scratch root; sh -n / bash -n on every
# shell script.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

dest=$scratch/dest
DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null
installed=$(cd "$dest" && find . -type f | sort | tr '\n' ' ')
want="./usr/bin/quor_ctl ./usr/bin/quor_logs ./usr/bin/quor_manifest \
./usr/sbin/quor_amsd ./usr/sbin/quor_route \
./usr/share/man/man1/quor_ctl.1 ./usr/share/man/man1/quor_logs.1 \
./usr/share/man/man1/quor_manifest.1 ./usr/share/man/man5/app.json.5 \
./usr/share/man/man8/quor_amsd.8 ./usr/share/man/man8/quor_route.8 "
if [ "$installed" != "$want" ]; then
  echo "install: got '$installed', want '$want'" >&2
  exit 1
fi

# Warnings and errors only: its style notes include references to pages
# that are not in this machine's index.
lint=$(mandoc -T lint -W warning docs/man/*.[158] 2>&1) || true
if [ -n "$lint" ]; then
  echo "$lint" >&2
  exit 1
fi

mkdir "$scratch/units"
for unit in packaging/systemd/*.service; do
  sed "s|^ExecStart=/|ExecStart=$dest/|" "$unit" >"$scratch/units/${unit##*/}"
done
# verify exits 0 on unknown keys and bad values: any word from it fails.
out=$(systemd-analyze verify "$scratch"/units/*.service 2>&1)
if [ -n "$out" ]; then
  echo "$out" >&2
  exit 1
fi
systemd-tmpfiles --create --root="$scratch/root" "$PWD/packaging/systemd/quor.conf"
test -d "$scratch/root/usr/data"

for f in $(git ls-files -co --exclude-standard); do
  case $(head -n1 "$f") in
  '#!/bin/sh'*) sh -n "$f" ;;
  '#!/usr/bin/env bash'* | '#!/bin/bash'*) bash -n "$f" ;;
  *) continue ;;
  esac
  echo "syntax ok: $f"
done
echo "packaging: install tree, manual pages, units, tmpfiles entry and scripts ok"
