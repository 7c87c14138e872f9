#!/usr/bin/env bash
# The orv command on large stores:
#  - `orv versions PATH` on a catalog of 1,000,000 editions (hyperfine, process start included);
#  - `orv versions PATH` for one file with 200,000 editions, every copy present (the listing
#    completes each edition: its kind, digest, signer, content path and size);
#  - `orv replay` of 100,000 events (events per second).
# Usage: bench/tool_bench.sh [BUILD_DIR]
set -euo pipefail
build=${1:-build}
orv="$build/orv"
work=$(mktemp -d "$PWD/orv-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "== a catalog of 100,000 files and 1,000,000 editions"
mkdir -p "$work/large/Backup"
: > "$work/empty.jsonl"
"$orv" --store "$work/large" replay "$work/empty.jsonl" >/dev/null  # creates the schema
sqlite3 "$work/large/BackupDB.s3db" <<'SQL'
PRAGMA journal_mode = OFF;
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000)
INSERT INTO BackupFile (ID, FileName)
  SELECT i, '/home/user' || (i % 100) || '/project' || (i % 1000) || '/file' || i || '.txt' FROM n;
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 999999)
INSERT INTO Edition (FileID, TimeStamp, LinkFileID, Size, BackupName, Operation)
  SELECT i / 10 + 1, 1700000000 + i, 0, 0, 'file' || (i / 10 + 1) || '.txt2026' || (i % 10), 2 FROM n;
COMMIT;
SQL
hyperfine --warmup 3 --runs 20 \
  "$orv --store $work/large versions /home/user21/project321/file54321.txt"

echo "== one file with 200,000 editions"
mkdir -p "$work/long/Backup"
"$orv" --store "$work/long" replay "$work/empty.jsonl" >/dev/null
sqlite3 "$work/long/BackupDB.s3db" <<'SQL'
PRAGMA journal_mode = OFF;
BEGIN;
INSERT INTO BackupFile (ID, FileName) VALUES (1, '/home/user/attacked.docx'), (2, '/home/user/other.docx');
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200000)
INSERT INTO Edition (FileID, TimeStamp, LinkFileID, Size, BackupName, Operation, Sha1, Signature)
  SELECT 1, 1700000000 + i / 10, 0, 0, 'attacked.docx' || (1000000 + i), 2,
         randomblob(20), 'nosignature' FROM n;
INSERT INTO Edition (FileID, TimeStamp, LinkFileID, Size, BackupName, Operation)
  SELECT 2, TimeStamp, 0, 0, 'other.docx1', 2 FROM Edition WHERE ID <= 1000;
COMMIT;
SQL
(cd "$work/long/Backup" && seq -f 'attacked.docx%.0f' 1000001 1200000 | xargs touch)
hyperfine --warmup 1 --runs 5 \
  "$orv --store $work/long versions /home/user/attacked.docx" \
  "$orv --store $work/long --json versions /home/user/attacked.docx"

echo "== replay of 100,000 events (50,000 saves of 1,000 files)"
mkdir -p "$work/docs" "$work/policy"
for i in $(seq 0 999); do echo "content $i" > "$work/docs/f$i.txt"; done
cat > "$work/policy/lpolicy.xml" <<XML
<p><g><f name="Location" hitaction="Backup" missaction="Ignore"><v v="$work/docs/"/></f></g></p>
XML
awk -v d="$work/docs" 'BEGIN { for (i = 0; i < 50000; i++) {
  f = d "/f" (i % 1000) ".txt";
  printf "{\"op\": \"open\", \"path\": \"%s\", \"time\": \"2026-12-07T10:00:00\"}\n", f;
  printf "{\"op\": \"close\", \"path\": \"%s\", \"changed\": true}\n", f } }' > "$work/trace.jsonl"
"$orv" --store "$work/replay" --policy "$work/policy" replay "$work/trace.jsonl"
"$orv" --store "$work/replay" status
