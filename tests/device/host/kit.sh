# Sourced by run.sh: Debian's packages, downloaded once into the cache and
# never installed, and the kernel with the modules the guests load.
# Needs: arch, debarch, cache, die.

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
  local try
  for try in cached download; do
    for f in "$cache/${pkg}_${ver}_$debarch.deb" "$cache/${pkg}_${ver}_all.deb"; do
      if [ -f "$f" ]; then
        echo "$f"
        return
      fi
    done
    [ $try = cached ] || break
    (cd "$cache" && apt-get -o DPkg::Lock::Timeout=600 -qq download "$want" 2>&1 |
      grep -v unsandboxed >&2) || true
  done
  die "download of $want failed"
}

unpack() { # package, dir
  dpkg -x "$(deb_of "$1")" "$2"
}

# The kernel that linux-image-<arch> depends on today.
kernel_package() {
  apt-cache depends "linux-image-$debarch:$debarch" 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[^: ]*\).*/\1/p' | head -n 1
}

# Drivers the guests load, in this order: FAT with its code pages before the
# USB disk (else the card may be found before it can be mounted), and the
# dummy sound card where the kernel has it. The systemd guest adds its root
# disk: virtio, and ext4 with the checksum it asks the crypto layer for.
# Options follow the name.
busybox_modules=(vfat nls_cp437 nls_ascii nls_iso8859_1 nls_utf8 snd_dummy
  sd_mod usb_storage xhci_pci)
systemd_modules=("${busybox_modules[@]}" crc32c_generic ext4 virtio_pci
  virtio_blk)
optional_modules=" snd_dummy virtio_pci "
declare -A module_args=([usb_storage]="delay_use=0")

# From the kernel package: the kernel and the wanted modules with what they
# depend on, with a load order per guest ("order.busybox", "order.systemd":
# file, then options).
make_kit() { # kernel deb, kit dir
  local deb=$1 kit=$2 tmp=$2.tmp m f flavor
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
    if [ ! -f "$tmp/modules/$name.ko" ]; then
      case $f in
      *.xz) xz -dc "$f" >"$tmp/modules/$name.ko" ;;
      *.zst) zstd -qdc "$f" >"$tmp/modules/$name.ko" ;;
      *) cp "$f" "$tmp/modules/$name.ko" ;;
      esac
    fi
    deps=$(tr '\0' '\n' <"$tmp/modules/$name.ko" | sed -n 's/^depends=//p')
    for dep in ${deps//,/ }; do
      add_module "$dep"
    done
    echo "$name.ko ${module_args[$name]:-}" >>"$tmp/modules/order.$flavor"
  }
  local list=()
  for flavor in busybox systemd; do
    done=()
    if [ $flavor = busybox ]; then
      list=("${busybox_modules[@]}")
    else
      list=("${systemd_modules[@]}")
    fi
    for m in "${list[@]}"; do
      if [ -n "${path[$m]:-}" ]; then
        add_module "$m"
      elif [[ $optional_modules != *" $m "* ]]; then
        die "module $m not in $(basename "$deb")"
      fi
    done
  done
  rm -rf "$tmp/x" "$kit"
  mv "$tmp" "$kit"
}

# The modules of a guest and their load order, into DIR/lib/modules.
install_modules() { # flavor, root dir
  local mod _
  mkdir -p "$2/lib/modules"
  cp "$kit/modules/order.$1" "$2/lib/modules/order"
  while read -r mod _; do
    cp "$kit/modules/$mod" "$2/lib/modules/"
  done <"$kit/modules/order.$1"
}

# Sets kit to the cached kit of today's kernel, made when missing, and
# unpacks the BusyBox guest's packages into pkgs.
fetch_kit() { # pkgs dir
  local kpkg kdeb p
  kpkg=$(kernel_package)
  [ -n "$kpkg" ] || die "linux-image-$debarch has no kernel dependency"
  kdeb=$(deb_of "$kpkg")
  kit=$cache/kit-$(basename "$kdeb" .deb)-$(echo "${systemd_modules[*]}" |
    cksum | cut -d ' ' -f 1)
  [ -f "$kit/modules/order.systemd" ] || make_kit "$kdeb" "$kit"
  for p in busybox-static libc6 libasound2 libasound2-data alsa-utils; do
    unpack "$p" "$1/$p"
  done
}
