#!/usr/bin/env bash
# A whole tree restored as it was before an attack, against `cp -a` of the same
# data, side by side on one file system:
#  - a tree of 100,000 files and 1 GiB (100 directories, sizes 1 to 20 KiB);
#  - a store in which every one of them was changed after T (its copy holds
#    the content at T), the catalog written with sqlite3;
#  - `orv restore TREE --at T --to DEST` (every file from its copy) and
#    `cp -a TREE DEST` (the same bytes, from the tree), three runs each,
#    alternating, each into a fresh DEST; the best of each is compared.
# Usage: bench/restore_bench.sh [BUILD_DIR] [FILES]   (WORK=dir puts the data there)
set -euo pipefail
build=${1:-build}
files=${2:-100000}
orv="$(realpath "$build/orv")"
work=$(mktemp -d "${WORK:-$PWD}/orv-restore-bench-XXXXXX")
[ -n "${KEEP:-}" ] || trap 'rm -rf "$work"' EXIT

echo "== making $files files and their copies in $work"
# The schema first: a start removes copies no row names.
: >"$work/empty.jsonl"
"$orv" --store "$work/store" replay "$work/empty.jsonl" >/dev/null
python3 - "$work" "$files" <<'PY'
import os, random, sqlite3, sys
work, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(1)  # the same tree every run
tree, backup = os.path.join(work, "tree"), os.path.join(work, "store", "Backup")
os.makedirs(backup, exist_ok=True)
blob = os.urandom(1 << 21)
rows, total = [], 0
for i in range(count):
    d = os.path.join(tree, "d%02d" % (i % 100))
    os.makedirs(d, exist_ok=True)
    size = rng.randint(1, 20) * 1024 - rng.randint(0, 1023)
    start = rng.randint(0, len(blob) - size)
    data = blob[start:start + size]
    path = os.path.join(d, "file%06d.txt" % i)
    copy = "file%06d.txt20261201100000%d" % (i, i % 10)
    with open(path, "wb") as f: f.write(data)
    with open(os.path.join(backup, copy), "wb") as f: f.write(data)
    rows.append((i + 1, path, copy, size))
    total += size
with open(os.path.join(work, "rows.txt"), "w") as f:
    for r in rows: f.write("%d\t%s\t%s\t%d\n" % r)
print("%d files, %.2f GiB" % (count, total / 2**30))
PY
python3 - "$work" <<'PY'
import sqlite3, sys
work = sys.argv[1]
db = sqlite3.connect(work + "/store/BackupDB.s3db")
rows = [l.rstrip("\n").split("\t") for l in open(work + "/rows.txt")]
with db:
    db.executemany("INSERT INTO BackupFile (ID, FileName) VALUES (?, ?)",
                   ((int(r[0]), r[1]) for r in rows))
    db.executemany("INSERT INTO Edition (FileID, TimeStamp, LinkFileID, Size, BackupName, Operation)"
                   " VALUES (?, ?, 0, ?, ?, 2)",
                   ((int(r[0]), 1796000000, int(r[3]), r[2]) for r in rows))
PY
at=$(date -d @1795999000 +%Y-%m-%dT%H:%M:%S)
sync

best() { sort -n | head -1; }
run() {  # label command...
  rm -rf "$work/dest"
  sync; echo 3 >/proc/sys/vm/drop_caches 2>/dev/null || true
  local start end
  start=$(date +%s.%N); "$@" >/dev/null; end=$(date +%s.%N)
  echo "$end - $start" | bc
}
declare -a cp_times orv_times
for i in $(seq "${RUNS:-3}"); do
  cp_times+=("$(run cp -a "$work/tree" "$work/dest")")
  orv_times+=("$(run "$orv" --store "$work/store" restore "$work/tree" --at "$at" --to "$work/dest")")
done
# The last restore is checked whole against the tree.
diff -r "$work/tree" "$work/dest" >/dev/null && echo "restored tree identical to the original"
cp_best=$(printf '%s\n' "${cp_times[@]}" | best)
orv_best=$(printf '%s\n' "${orv_times[@]}" | best)
echo "cp -a:        ${cp_times[*]} s (best $cp_best)"
echo "orv restore:  ${orv_times[*]} s (best $orv_best)"
echo "ratio (orv / cp -a, best of each): $(echo "scale=2; $orv_best / $cp_best" | bc)"
