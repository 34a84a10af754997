# What fsck.vfat -n says of a card, sorted into kinds: sourced by
# crash_points.sh for every crash point and by run.sh for the card a power
# cut left.

# fsck.fat's messages, one kind each: an extended regular expression, a tab,
# the kind. A kind of "-" marks a line that only goes on from a message or
# says what a repair would do. Anything else is "other: <first words>".
fsck_table=$(
  cat <<'EOF'
^fsck\.fat [0-9]	-
: [0-9]+ files, [0-9]+/[0-9]+ clusters$	-
^Leaving filesystem unchanged	-
^ *Automatically removing dirty bit	-
^This is mostly harmless	-
^ *Not automatically fixing this	-
^/	-
^ +(Truncating|Auto-copying|Auto-correcting|Fixing|Setting|Deleting|Dropping|Moving)	-
^ *Using (first|second) FAT	-
^ *Creating\.?$	-
^ *\(	-
^Dirty bit is set	dirty bit
^Orphaned long file name part	orphaned long-name entries
long file ?name|Long filename|LFN	broken long-name entries
^Free cluster summary	free cluster count wrong
^Reclaimed [0-9]+ unused cluster	clusters in no file
Contains a (free|bad|reserved) cluster	a chain into a free cluster
cluster chain length is >	cluster chain longer than the file size
cluster chain length is [0-9]	file size beyond its cluster chain
^FATs differ	FATs differ
(valid|Invalid) '\.\.?' entry	a directory without its '.' or '..' entry
share clusters|Duplicate directory entry	clusters or names shared
Volume label	volume label differs
EOF
)

# This point's fsck kinds, one a line, each once; "clean" when none. A
# failure to read the image shows as an "other" kind.
fsck_kinds() { # image
  # The table goes through the environment: -v would take its backslashes
  # as escapes.
  { fsck.vfat -n "$1" 2>&1 </dev/null || true; } |
    FSCK_TABLE=$fsck_table awk '
    BEGIN {
      n = split(ENVIRON["FSCK_TABLE"], rows, "\n")
      for (i = 1; i <= n; i++) {
        split(rows[i], f, "\t")
        pat[i] = f[1]
        kind[i] = f[2]
      }
    }
    function add(k) {
      if (!(k in seen)) {
        seen[k] = 1
        order[++kinds] = k
      }
    }
    /^$/ { next }
    # The boot sector and its backup differ at byte 65 alone: that is the
    # dirty bit, which fsck names on its own line.
    /^There are differences between boot sector and its backup/ {
      diff = 1
      next
    }
    diff && /^ +[0-9]+:[0-9a-f]+\/[0-9a-f]+/ {
      for (i = 1; i <= NF; i++) {
        if ($i !~ /^65:/) {
          add("boot sector and backup differ")
        }
      }
      next
    }
    {
      for (i = 1; i <= n; i++) {
        if ($0 ~ pat[i]) {
          if (kind[i] != "-") {
            add(kind[i])
          }
          next
        }
      }
      words = $1
      for (i = 2; i <= NF && i <= 4; i++) {
        words = words " " $i
      }
      add("other: " words)
    }
    END {
      if (kinds == 0) {
        print "clean"
      }
      for (i = 1; i <= kinds; i++) {
        print order[i]
      }
    }'
}

# "dirty bit only, at K points", or each kind with its count of points.
kinds_summary() { # kinds file
  sort "$1" | uniq -c | sort -k1,1nr -k2 | awk '
    {
      n = $1
      sub(/^ *[0-9]+ /, "")
      if ($0 == "clean") {
        next
      }
      list = list (list == "" ? "" : ", ") $0 " at " n " point" (n == 1 ? "" : "s")
      kinds++
      if ($0 == "dirty bit") {
        dirty = n
      }
    }
    END {
      if (kinds == 0) {
        print "none, clean at every point"
      } else if (kinds == 1 && dirty) {
        print "dirty bit only, at " dirty " point" (dirty == 1 ? "" : "s")
      } else {
        print list
      }
    }'
}
