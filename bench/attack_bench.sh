#!/usr/bin/env bash
# Ransomware-style attacks on a protected tree (root): 500 documents of 1 KB to
# 1 MB, attacked in five ways, each on a fresh copy of the files with a daemon
# and a store of its own (started on the copy before the attack, stopped after
# it). Each file is first restored by its own path elsewhere (`orv restore
# PATH --to`, its content before its last recorded change), then the whole
# tree is put back with `orv restore TREE --at T --in-place --force
# --remove-new` (T: just before the attack); every file is compared with its
# original content (sha1sum) both times, and files left over are counted.
#   1 in place   open read-write, encrypted content written over the old
#   2 truncate   encrypted, then written back through O_TRUNC
#   3 unlink     encrypted copy NAME.enc written, the original unlinked
#   4 rename     renamed to NAME.locked, then encrypted in place
#   5 replace    encrypted temporary NAME.tmp renamed over the original
# Usage: sudo bench/attack_bench.sh [BUILD_DIR]   (ORV=path runs another orv)
set -euo pipefail
source "$(dirname "$0")/live_support.sh" attack-bench "${1:-build}"

# Tree and store on one fresh ext4 (a loop image), as a store that keeps hard
# links to protected files needs.
base="$work"
if mount_loop ext4 2G "$work/ext4"; then
  base="$work/ext4"
  echo "(trees and stores on a fresh loop-mounted ext4)"
fi

# 500 originals: five kinds of name, some of which the shipped policy does not
# count as documents (no extension, .kdbx), in ten directories, five sizes.
kinds=(report.docx notes vault.kdbx photo.jpg data.csv)
sizes=(1024 8192 65536 262144 1048576)
mkdir -p "$work/originals"
for d in $(seq 0 9); do
  mkdir -p "$work/originals/d$d"
  for i in $(seq 0 9); do
    for k in "${!kinds[@]}"; do
      kind=${kinds[$k]}
      name="${kind%%.*}$i"
      [ "$kind" = "${kind#*.}" ] || name="$name.${kind#*.}"
      head -c "${sizes[$(((i + k) % 5))]}" /dev/urandom >"$work/originals/d$d/$name"
    done
  done
done
(cd "$work/originals" && find . -type f | sort | xargs sha1sum) >"$work/manifest"
mapfile -t files < <(cut -c43- "$work/manifest")
total=${#files[@]}

key=000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f
iv=0f0e0d0c0b0a09080706050403020100
encrypt() { openssl enc -aes-256-ctr -K "$key" -iv "$iv" -in "$1"; }

attack() {  # shape file
  local f=$2
  case $1 in
    1) encrypt "$f" 1<>"$f" ;;  # read-write, not truncated: the ciphertext is as long
    2) encrypt "$f" >"$work/scratch" && cat "$work/scratch" >"$f" ;;
    3) encrypt "$f" >"$f.enc" && rm "$f" ;;
    4) mv "$f" "$f.locked" && encrypt "$f.locked" 1<>"$f.locked" ;;
    5) encrypt "$f" >"$f.tmp" && mv -f "$f.tmp" "$f" ;;
  esac
}
shapes=("" "in place" "truncate" "unlink" "rename" "replace")

# restore_each SHAPE: every file restored by its own path to another place;
# prints how many came back with their original content.
restore_each() {
  local shape=$1 f out="$work/each$1"
  for f in "${files[@]}"; do
    mkdir -p "$(dirname "$out/$f")"
    "$orv" --store "$store" restore "$tree/$f" --to "$out/$f" >/dev/null 2>>"$work/each$shape.err" ||
      true
  done
  (cd "$out" && sha1sum -c "$work/manifest" 2>/dev/null || true) | grep -c ': OK$' || true
  rm -rf "$out"
}

# restore_tree SHAPE LABEL: the whole tree put back in place as it was at
# $at, the attacker's new files removed, then every file counted.
restore_tree() {
  local shape=$1 label=$2 status=0 begin recovery checked recovered extra by_name
  begin=$(date +%s.%N)
  "$orv" --store "$store" restore "$tree" --at "$at" --in-place --force --remove-new \
    >"$work/restore$shape.out" 2>&1 || status=$?
  recovery=$(echo "$(date +%s.%N) - $begin" | bc)
  checked=$(cd "$tree" && sha1sum -c "$work/manifest" 2>/dev/null || true)
  recovered=$(grep -c ': OK$' <<<"$checked" || true)
  extra=$(($(find "$tree" -type f | wc -l) - total))
  by_name=
  for kind in "${kinds[@]}"; do
    stem=${kind%%.*} ext=${kind#*.}
    [ "$ext" = "$kind" ] && pattern="/$stem[0-9]*:" || pattern="/$stem[0-9]*\.$ext:"
    by_name+=" $kind $(grep "$pattern OK\$" <<<"$checked" | wc -l)/$(grep -c "$pattern" <<<"$checked")"
  done
  printf '%-14s | %13s | %13s | %10.2f | %.2f, %d, %d,%s\n' "$label" "$each/$total" \
    "$recovered/$total" "$recovery" "$attacked" "$status" "$extra" "$by_name"
}

printf '%-14s | %-13s | %-13s | %-10s | %s\n' shape "each by path" "tree at T" \
  "tree s" "attack s, tree restore's exit status, files left over, by name"
for shape in 1 2 3 4 5; do
  tree="$base/tree$shape" store="$base/store$shape"
  cp -a "$work/originals" "$tree"
  # The moment to go back to: a second in which the copied tree was whole;
  # the attack comes in a later one.
  at=$(date +%Y-%m-%dT%H:%M:%S)
  sleep 1
  start_daemon "$store" "$tree"
  begin=$(date +%s.%N)
  for f in "${files[@]}"; do attack "$shape" "$tree/$f"; done
  attacked=$(echo "$(date +%s.%N) - $begin" | bc)
  stop_daemon
  cp "$work/daemon.log" "$work/daemon$shape.log"
  each=$(restore_each "$shape")
  restore_tree "$shape" "$shape ${shapes[$shape]}"
  rm -rf "$tree" "$store"
done
