#!/usr/bin/env bash
# The README's main job, as a user runs it (root): scripts/protect DIR builds
# orv, starts watching, keeps the content a file had before a change, and
# stops cleanly on Ctrl-C. The store is a temporary one (--store), so that
# the machine's /var/lib/orv is left alone.
set -euo pipefail
cd "$(dirname "$0")/../.."
if [ "$(id -u)" -ne 0 ]; then
  echo "main_job: skipped: live protection needs root"
  exit 0
fi
work=$(mktemp -d /var/tmp/orv-main-job.XXXXXX)
daemon=
cleanup() {
  [ -n "$daemon" ] && kill -INT "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "main_job: FAIL: $*" >&2
  sed 's/^/  daemon: /' "$work/log" >&2 || true
  exit 1
}
mkdir "$work/docs"
echo "before" >"$work/docs/report.txt"

scripts/protect --store "$work/store" "$work/docs" 2>"$work/log" &
daemon=$!
# The first run builds orv: the wait covers the build.
for _ in $(seq 1 1200); do
  grep -q "orv protect: watching" "$work/log" && break
  kill -0 "$daemon" 2>/dev/null || fail "scripts/protect ended before it watched"
  sleep 0.5
done
grep -q "orv protect: watching" "$work/log" || fail "not watching after 10 minutes"
orv=$(sed -n 's/^scripts\/protect: the orv command of this build is \([^ ]*\) .*/\1/p' "$work/log")
[ -x "$orv" ] || fail "scripts/protect did not say where its orv is"

echo "after" >"$work/docs/report.txt"
"$orv" --store "$work/store" --json status >"$work/status.json"
grep -q '"running": true' "$work/status.json" || fail "orv status does not see the daemon"

kill -INT "$daemon"
status=0
wait "$daemon" || status=$?
daemon=
[ "$status" -eq 0 ] || fail "the daemon exited with $status on SIGINT"
grep -q "orv protect: stopping" "$work/log" || fail "no clean stop"
"$orv" --store "$work/store" restore "$work/docs/report.txt" --to "$work/restored" ||
  fail "no edition to restore"
[ "$(cat "$work/restored")" = "before" ] || fail "the restored content is not the old one"
"$orv" --store "$work/store" --json status | grep -q '"running": false' ||
  fail "status still sees a daemon after the stop"
echo "main_job: scripts/protect watched, kept the old content, stopped cleanly"
