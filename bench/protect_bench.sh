#!/usr/bin/env bash
# Live protection's cost (root): open latencies with and without `orv protect`,
# copies of a large file on a reflink file system, and 8 processes saving
# 10,000 files each, by writing in place and by renaming a temporary over
# each file, with how many saves kept the content before them.
# Usage: sudo bench/protect_bench.sh [BUILD_DIR]   (ORV=path runs another orv)
set -euo pipefail
source "$(dirname "$0")/live_support.sh" protect-bench "${1:-build}"
latency="$build/bench/orv_open_latency"
names="$build/bench/orv_name_latency"

# Latencies on a fresh ext4 (a loop image): an ext4 that has just had many
# files deleted allocates new inodes slowly, which would measure that instead.
base="$work"
if mount_loop ext4 2G "$work/ext4"; then
  base="$work/ext4"
  echo "(latencies on a fresh loop-mounted ext4)"
fi
mkdir -p "$base/tree" "$work/outside"
head -c 65536 /dev/urandom > "$base/tree/doc64k.txt"
# Distinct files for the write opens: one file copied many times a millisecond
# would only measure the search for a free time-stamped name.
for i in $(seq 0 1999); do cp "$base/tree/doc64k.txt" "$base/tree/w$i.txt"; done
cp "$base/tree/doc64k.txt" "$work/outside/doc64k.txt"
: > "$base/tree/append.txt"

measure() {
  "$latency" read "$work/outside/doc64k.txt" 20000 | sed 's/^/  outside  /'
  "$latency" read "$base/tree/doc64k.txt" 5000 | sed 's/^/  inside   /'
  "$latency" write "$base/tree/w%d.txt" 2000 | sed 's/^/  inside   /'
  "$latency" append4k "$base/tree/append.txt" 2000 | sed 's/^/  inside   /'
}
echo "== no daemon"
measure
echo "== orv protect $base/tree"
start_daemon "$base/store" "$base/tree"
measure
stop_daemon

if mount_loop btrfs 1G "$work/btrfs"; then
  echo "== a 200 MB file on btrfs, store on the same file system (reflink)"
  mkdir -p "$work/btrfs/tree"
  head -c 200000000 /dev/urandom > "$work/btrfs/tree/big.bin"
  start_daemon "$work/btrfs/store" "$work/btrfs/tree"
  "$latency" write "$work/btrfs/tree/big.bin" 20 | sed 's/^/  inside   /'
  stop_daemon
else
  echo "== (no btrfs loop file system here: reflink case skipped)"
fi

old_digest=$(echo "old content" | sha1sum | cut -c1-40)
saves() {  # how: 8 processes save 10,000 files each, then the editions are checked
  local how=$1 many="$work/saves-$1/many" store="$work/store-$1"
  for p in $(seq 0 7); do
    mkdir -p "$many/p$p"
    for i in $(seq 0 9999); do echo "old content" >"$many/p$p/f$i.txt"; done
  done
  start_daemon "$store" "$work/saves-$how"
  local begin end p pids=()
  begin=$(date +%s.%N)
  for p in $(seq 0 7); do
    if [ "$how" = in-place ]; then
      ( for i in $(seq 0 9999); do echo new >"$many/p$p/f$i.txt"; done ) &
    else
      "$names" replace "$many/p$p/f%d.txt" 10000 >"$work/replace$p.txt" &
    fi
    pids+=($!)
  done
  wait "${pids[@]}"
  end=$(date +%s.%N)
  local memory
  memory=$(daemon_memory VmHWM)
  stop_daemon
  echo "  80,000 saves in $(echo "$end - $begin" | bc) s; daemon peak memory $memory kB"
  grep -v -e watching -e stopping "$work/daemon.log" | sed 's/^orv protect: /  daemon: /'
  [ "$how" = in-place ] || sed 's/^/  one process: /' "$work/replace0.txt"
  # A save kept what it replaced when some edition of that file holds "old content".
  local kept
  "$orv" --store "$store" --json versions "$many/%" |
    jq -r '.editions[] | select(.content != null) | [.file, .content] | @tsv' >"$work/editions.tsv"
  cut -f2 "$work/editions.tsv" | sort -u | xargs -d '\n' -r sha1sum |
    awk -v old="$old_digest" '$1 == old {print substr($0, 43)}' >"$work/old-contents"
  kept=$(awk -F'\t' 'NR == FNR {old[$0]; next} ($2 in old) {print $1}' \
    "$work/old-contents" "$work/editions.tsv" | sort -u | wc -l)
  echo "  saves whose previous content is kept: $kept/80000"
  "$orv" --store "$store" status | sed 's/^/  /'
}
echo "== 8 processes saving 10,000 files each, in place (shell >)"
saves in-place
echo "== 8 processes saving 10,000 files each by rename (a temporary renamed over each)"
saves by-rename
