# Sourced by run.sh: the card, a disk image with one FAT32 partition from
# 1 MiB on, and the host's fsck of it after a boot.

card_mib=64
make_card() { # scenario, boot dir
  local tree=$2/card-tree part=$2/part.img img=$2/card.img
  mkdir -p "$tree/QuorOS"
  if [ -d "${1%.sh}.card" ]; then
    cp -r "${1%.sh}.card/." "$tree/"
  fi
  truncate -s "$((card_mib - 1))M" "$part"
  mkfs.vfat -F 32 -n QUORCARD "$part" >/dev/null
  mcopy -s -Q -m -i "$part" "$tree"/* ::/
  truncate -s "${card_mib}M" "$img"
  echo 'start=2048, type=c' | sfdisk -q "$img"
  dd if="$part" of="$img" bs=1M seek=1 conv=notrunc,sparse status=none
  rm -f "$part"
}

# The partition alone, for the tools that take a file system.
card_partition() { # card image, partition image
  dd if="$1" of="$2" bs=1M skip=1 status=none
}

fsck_card() { # boot dir: the result line
  local out
  card_partition "$1/card.img" "$1/part.img"
  if out=$(fsck.vfat -n "$1/part.img" 2>&1); then
    result ok "card image: fsck.vfat -n finds nothing to mend"
  else
    result not_ok "card image: fsck.vfat -n: $(echo "$out" | sed -n '2,4p' | tr '\n' ' ')"
  fi
}
