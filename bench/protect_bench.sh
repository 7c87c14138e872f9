#!/usr/bin/env bash
# Live protection's cost (root): open latencies with and without `orv protect`,
# copies of a large file on a reflink file system, and 8 processes saving
# 10,000 files each.  Usage: sudo bench/protect_bench.sh [BUILD_DIR]
set -euo pipefail
build=$(realpath "${1:-build}")
orv="$build/orv"
latency="$build/bench/orv_open_latency"
work=$(mktemp -d /tmp/orv-protect-bench-XXXXXX)
daemon=
cleanup() {
  [ -n "$daemon" ] && kill "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null || true
  for m in btrfs ext4; do mountpoint -q "$work/$m" && umount "$work/$m"; done
  rm -rf "$work"
}
trap cleanup EXIT

start_daemon() {  # store tree...
  local store=$1; shift
  "$orv" --store "$store" protect "$@" 2>"$work/daemon.log" &
  daemon=$!
  until grep -q watching "$work/daemon.log"; do sleep 0.05; done
}
stop_daemon() {
  kill -TERM "$daemon"; wait "$daemon" || true; daemon=
}

# Latencies on a fresh ext4 (a loop image): an ext4 that has just had many
# files deleted allocates new inodes slowly, which would measure that instead.
base="$work"
if truncate -s 2G "$work/ext4.img" && mkfs.ext4 -q "$work/ext4.img" && mkdir -p "$work/ext4" &&
   mount -o loop "$work/ext4.img" "$work/ext4"; then
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

if command -v mkfs.btrfs >/dev/null && truncate -s 1G "$work/btrfs.img" &&
   mkfs.btrfs -q "$work/btrfs.img" && mkdir -p "$work/btrfs" &&
   mount -o loop "$work/btrfs.img" "$work/btrfs"; then
  echo "== a 200 MB file on btrfs, store on the same file system (reflink)"
  mkdir -p "$work/btrfs/tree"
  head -c 200000000 /dev/urandom > "$work/btrfs/tree/big.bin"
  start_daemon "$work/btrfs/store" "$work/btrfs/tree"
  "$latency" write "$work/btrfs/tree/big.bin" 20 | sed 's/^/  inside   /'
  stop_daemon
else
  echo "== (no btrfs loop file system here: reflink case skipped)"
fi

echo "== 8 processes saving 10,000 files each"
rm -rf "$work/store" && mkdir -p "$work/tree/many"
for p in $(seq 0 7); do mkdir -p "$work/tree/many/p$p"; for i in $(seq 0 9999); do echo old > "$work/tree/many/p$p/f$i.txt"; done; done
start_daemon "$work/store" "$work/tree"
begin=$(date +%s.%N)
for p in $(seq 0 7); do
  ( for i in $(seq 0 9999); do echo new > "$work/tree/many/p$p/f$i.txt"; done ) &
done
wait $(jobs -p | grep -v "^$daemon\$") 2>/dev/null || true
end=$(date +%s.%N)
memory=$(grep VmHWM /proc/$daemon/status | awk '{print $2 " " $3}')
stop_daemon
echo "  80,000 saves in $(echo "$end - $begin" | bc) s; daemon peak memory $memory"
"$orv" --store "$work/store" status | sed 's/^/  /'
