#!/usr/bin/env bash
# Every kind of write on file systems other than the one the tests run on:
# btrfs and XFS on loop mounts, FAT and NTFS through FUSE. For each, the same
# steps run in a folder of the local file system and in one on the image, and
# each step's status and the file's bytes must agree, as must the file's mode
# before and after. Needs root (loop mounts); never part of ctest.
#
#   bash bench/filesystems.sh [TOOL]      TOOL: the brantcfg tool (default build/dev/tools/brantcfg)
set -euo pipefail
cd "$(dirname "$0")/.."
tool=$(realpath "${1:-build/dev/tools/brantcfg}")
printf '%s\n' 'btrfs-progs /usr/sbin/mkfs.btrfs' 'xfsprogs /usr/sbin/mkfs.xfs' \
  'dosfstools /usr/sbin/mkfs.vfat' 'fusefat /usr/bin/fusefat' 'ntfs-3g /usr/bin/ntfs-3g' |
  bash .ci/install-packages -
work=$(mktemp -d)
mounted=()
cleanup() {
  for point in "${mounted[@]}"; do umount "$point" 2>/dev/null || fusermount -u "$point" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# The steps: each a tool call on f.ini; the status and the bytes after it
# are what is compared.
steps=(
  "set f.ini main name x"               # creation
  "set f.ini main name y"               # same length: patch
  "set f.ini main name longer-value"    # longer: rewrite
  "set f.ini other k 1"                 # new section
  "set f.ini main extra 2"              # new key
  "del f.ini main name"                 # key deleted
  "del f.ini other"                     # section deleted
  "set f.ini main extra 2"              # unchanged
)
run_steps() {  # DIR -> one line per step: status, size, checksum; then the mode
  local dir=$1 step
  (
    cd "$dir"
    for step in "${steps[@]}"; do
      # shellcheck disable=SC2086
      if "$tool" $step >/dev/null 2>"$work/err"; then s=0; else s=$?; fi
      printf '%s|%s|%s|%s\n' "$step" "$s" "$(stat -c %s f.ini)" "$(md5sum <f.ini | cut -c1-8)"
      [ "$s" = 0 ] || sed 's/^/    /' "$work/err"
    done
    printf 'mode %s, left beside it: %s\n' "$(stat -c %a f.ini)" "$(ls -A | grep -v '^f.ini$' | tr '\n' ' ')"
  )
}

mkdir -p "$work/local"
run_steps "$work/local" >"$work/expected"

try() {  # NAME MKFS-COMMAND MOUNT-COMMAND
  local name=$1 make=$2 mount_cmd=$3 image=$work/$1.img point=$work/$1
  mkdir -p "$point"
  truncate -s 320M "$image"
  if ! eval "$make" >/dev/null 2>&1 || ! eval "$mount_cmd" >/dev/null 2>&1; then
    echo "| $name | could not be made or mounted here |"
    return
  fi
  mounted+=("$point")
  mkdir -p "$point/d"
  run_steps "$point/d" >"$work/$name.out"
  # The steps must agree byte for byte; the mode is the file system's own
  # where it keeps none (FAT shows every file alike).
  if diff -q <(head -n -1 "$work/expected") <(head -n -1 "$work/$name.out") >/dev/null; then
    echo "| $name | every step as on the local file system; $(tail -n 1 "$work/$name.out") |"
  else
    echo "| $name | differs from the local file system: |"
    diff "$work/expected" "$work/$name.out" | sed 's/^/    /' || true
  fi
}

echo "| file system | result |"
echo "|---|---|"
echo "| local ($(stat -f -c %T "$work")) | $(tail -n 1 "$work/expected") |"
try btrfs 'mkfs.btrfs -q "$image"' 'mount -o loop "$image" "$point"'
try xfs 'mkfs.xfs -q "$image"' 'mount -o loop "$image" "$point"'
try fat 'mkfs.vfat "$image"' 'fusefat -o rw+ "$image" "$point"'
try ntfs 'mkntfs -q -F -f "$image"' 'ntfs-3g "$image" "$point"'
