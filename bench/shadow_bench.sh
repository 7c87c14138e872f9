#!/usr/bin/env bash
# What known names cost live protection (root), on a fresh loop-mounted ext4:
#  - start-up: from starting `orv protect` to its "watching" line, and the
#    daemon's resident memory then, on trees of 0 files, of 1,000 empty
#    directories and of 100,000 files in those 1,000 directories (the page
#    cache is warm: the files were just made);
#  - create (O_CREAT|O_EXCL + close), rename within a directory and unlink of
#    small files in that tree, without and with the daemon, median and p99.
# Usage: sudo bench/shadow_bench.sh [BUILD_DIR]   (ORV=path runs another orv)
set -euo pipefail
source "$(dirname "$0")/live_support.sh" shadow-bench "${1:-build}"
names="$build/bench/orv_name_latency"
ops=5000

base="$work"
# One inode for each 8 KiB: the default ratio would leave too few inodes for
# the files and the store's copies.
if mount_loop ext4 2G "$work/ext4" -i 8192; then
  base="$work/ext4"
  echo "(trees and stores on a fresh loop-mounted ext4)"
fi

declare -A rss
startup() {  # label tree: prints the start-up time and memory; leaves the daemon running
  start_daemon "$base/store-${2##*/}" "$2"
  rss[$1]=$(daemon_memory VmRSS)
  printf '  %-20s started in %6.2f s, VmRSS %7d kB\n' "$1" "$daemon_seconds" "${rss[$1]}"
}

latencies() {  # dir: the three operations on $ops fresh names in dir
  "$names" create "$1/a%d.txt" "$ops" | sed 's/^/    /'
  sleep 1  # let a daemon settle what the creations told it first
  "$names" rename "$1/a%d.txt" "$ops" "$1/b%d.txt" | sed 's/^/    /'
  sleep 1
  "$names" unlink "$1/b%d.txt" "$ops" | sed 's/^/    /'
}

echo "== start-up"
mkdir -p "$base/empty" "$base/dirs" "$base/tree"
startup "0 files" "$base/empty"
stop_daemon
for d in $(seq 0 999); do mkdir "$base/dirs/d$d" "$base/tree/d$d"; done
startup "1,000 directories" "$base/dirs"
stop_daemon
for d in $(seq 0 999); do
  for f in $(seq 0 99); do echo "file $d/$f" >"$base/tree/d$d/f$f.txt"; done
done
mkdir "$base/tree/latency-without" "$base/tree/latency-with"
echo "  (the tree of 100,000 files is started on below, after the latencies without a daemon)"

echo "== create, rename within a directory, unlink of small files in the tree of 100,000 files"
echo "  without a daemon"
latencies "$base/tree/latency-without"
echo "  with orv protect on the tree"
startup "100,000 files" "$base/tree"
latencies "$base/tree/latency-with"
peak=$(daemon_memory VmHWM)
stop_daemon
echo "  daemon peak memory (VmHWM) after the operations: $peak kB"

echo "== memory per known name"
per() { echo "scale=1; ($1 - $2) * 1024 / $3" | bc; }
echo "  per directory (1,000 directories against 0 files): $(per "${rss[1,000 directories]}" "${rss[0 files]}" 1000) bytes"
echo "  per file (100,000 files against their 1,000 directories alone): $(per "${rss[100,000 files]}" "${rss[1,000 directories]}" 100000) bytes"
