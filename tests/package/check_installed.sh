#!/usr/bin/env bash
# Installs the Debian package, uses what it installed as a user and a host
# would, from outside the checkout, and removes it again, failing on the
# first thing that is not as it should be. Root; CI's package stage.
#   tests/package/check_installed.sh dist/orv_<version>_amd64.deb
set -euo pipefail
deb=$(realpath "$1")
checkout=$(realpath "$(dirname "$0")/../..")
work=$(mktemp -d /var/tmp/orv-package-check-XXXXXX)
daemon=
cleanup() {
  if [ -n "$daemon" ]; then kill "$daemon" 2>/dev/null || true; wait "$daemon" 2>/dev/null || true; fi
  rm -rf "$work"
  # Purged, not only removed: a failed run leaves no trace in dpkg either.
  if dpkg -s orv >/dev/null 2>&1; then dpkg -P orv >/dev/null || true; fi
}
trap cleanup EXIT
fail() { echo "check_installed: $*" >&2; exit 1; }
step() { echo "--- $*"; }

if dpkg -s orv >/dev/null 2>&1; then
  echo "check_installed: orv is installed already; remove it first (dpkg -P orv)" >&2
  trap - EXIT
  exit 1
fi
step "dpkg -i $(basename "$deb")"
dpkg -i "$deb" >/dev/null
dpkg -L orv | sort > "$work/files"
cd "$work"

step "nothing installed names the checkout or a build folder"
while read -r path; do
  [ -f "$path" ] && ! [ -L "$path" ] || continue
  if grep -qF "$checkout" "$path"; then fail "$path names $checkout"; fi
done < "$work/files"
readelf -d /usr/bin/orv | grep -q 'RUNPATH\|RPATH' && fail "/usr/bin/orv has a run path"
# /lib is /usr/lib on a merged-/usr system, and ldd may name either.
ldd /usr/bin/orv | grep -Eq "libOrv.so.0 => (/usr)?/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/libOrv" ||
  fail "orv does not load the installed libOrv.so.0"
version=$(sed -n 's/^Version: //p' <(dpkg -s orv))
[ "$(orv --version)" = "orv $version" ] || fail "orv --version says '$(orv --version)', not 'orv $version'"

step "a recorded session replayed with the installed orv and its default policy"
export HOME=$work/home
mkdir -p "$HOME/Documents"
echo "first draft" > "$HOME/Documents/report.txt"
cat > save.jsonl <<JSON
{"op": "open", "path": "$HOME/Documents/report.txt", "access": ["write"]}
{"op": "close", "path": "$HOME/Documents/report.txt", "changed": true}
JSON
orv --store "$work/store" replay save.jsonl >/dev/null
echo "second draft" > "$HOME/Documents/report.txt"
cmp -s "$work/store/policy/lpolicy.xml" /usr/share/orv/policy/lpolicy.xml ||
  fail "the store's policy is not the installed default"
orv --store "$work/store" versions "$HOME/Documents/report.txt" | grep -q modified ||
  fail "no edition of report.txt"
orv --store "$work/store" restore "$HOME/Documents/report.txt" --to "$work/restored.txt" >/dev/null
[ "$(cat "$work/restored.txt")" = "first draft" ] || fail "restored the wrong content"
ORV=/usr/bin/orv "$checkout/scripts/demo" > demo.log || { cat demo.log; fail "scripts/demo with the installed orv"; }

step "hosts build against the installed library: pkg-config and CMake"
cat > host.c <<'C'
#include <orv/orv.h>
#include <stdio.h>
int main(void) {
  if (Initialize() != ENG_OK) return 1;
  printf("initialised\n");
  return Finalize() == ENG_OK ? 0 : 1;
}
C
# shellcheck disable=SC2046
cc -o host-pc host.c $(pkg-config --cflags --libs orv)
[ "$(./host-pc)" = initialised ] || fail "the pkg-config host did not run"
mkdir -p cmake-host
cp host.c cmake-host/
cat > cmake-host/CMakeLists.txt <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(OrvHost C)
find_package(Orv 0.1 REQUIRED)
add_executable(host host.c)
target_link_libraries(host PRIVATE Orv::Orv)
CMAKE
cmake -S cmake-host -B cmake-host/build >/dev/null
cmake --build cmake-host/build >/dev/null
[ "$(cmake-host/build/host)" = initialised ] || fail "the CMake host did not run"

step "the manual, the completion and the unit"
man -w orv | grep -q '^/usr/share/man/man1/orv.1' || fail "man orv finds no page"
MANWIDTH=80 man orv 2>&1 >/dev/null | grep . && fail "man orv warns"
bash -c '. /usr/share/bash-completion/completions/orv && complete -p orv' >/dev/null ||
  fail "the completion defines nothing for orv"
systemd-analyze verify /usr/lib/systemd/system/orv-protect.service
[ -f /etc/orv/protect.conf ] || fail "no /etc/orv/protect.conf"
grep -q '^tree = /home' /etc/orv/protect.conf || fail "/etc/orv/protect.conf names no tree"

step "the service's command under the unit's restrictions protects a tree"
# What systemd would do, as far as a machine without it allows: a private
# mount namespace with /usr, /etc and /boot read-only and a private /tmp, no
# new privileges, and only the unit's capabilities.
caps=$(sed -n 's/^CapabilityBoundingSet=//p' /usr/lib/systemd/system/orv-protect.service |
       tr 'A-Z' 'a-z' | sed 's/cap_/+/g; s/ /,/g')
mkdir -p "$work/svc/tree"
chmod 0755 "$work" "$work/svc"
chown nobody: "$work/svc/tree"
runuser -u nobody -- sh -c "echo 'as it was' > $work/svc/tree/letter.txt"
printf 'tree = %s\nstore = %s\nquota = 64M\n' "$work/svc/tree" "$work/svc/store" > "$work/svc/protect.conf"
unshare --mount --propagation private sh -c '
  for d in /usr /etc /boot; do
    [ -d "$d" ] && mount --bind "$d" "$d" && mount -o remount,bind,ro "$d"
  done
  mount -t tmpfs tmpfs /tmp
  exec setpriv --no-new-privs --inh-caps=-all --bounding-set=-all,'"$caps"' \
    /usr/bin/orv protect --config "$1"' sh "$work/svc/protect.conf" 2> "$work/svc/daemon.log" &
daemon=$!
for _ in $(seq 100); do grep -q 'watching' "$work/svc/daemon.log" && break; sleep 0.1; done
grep -q 'watching' "$work/svc/daemon.log" || { cat "$work/svc/daemon.log"; fail "the daemon did not start"; }
orv --store "$work/svc/store" status > "$work/svc/status"
grep -q '^daemon      running since ' "$work/svc/status" || fail "status does not see the daemon: $(cat "$work/svc/status")"
grep -q '^quota       64 MiB (the daemon' "$work/svc/status" || fail "status does not show the daemon's quota: $(cat "$work/svc/status")"
runuser -u nobody -- sh -c "echo 'overwritten' > $work/svc/tree/letter.txt; rm $work/svc/tree/letter.txt"
sleep 0.5
kill -TERM "$daemon"
wait "$daemon" || { cat "$work/svc/daemon.log"; fail "the daemon failed"; }
daemon=
orv --store "$work/svc/store" versions "$work/svc/tree/letter.txt" > "$work/svc/versions" ||
  { cat "$work/svc/daemon.log"; fail "no editions of the protected file"; }
grep -q deleted "$work/svc/versions" || fail "the deletion kept nothing: $(cat "$work/svc/versions")"
# Restored without --at: what it held just before the deletion; the overwrite
# before that kept the first content.
orv --store "$work/svc/store" restore "$work/svc/tree/letter.txt" --to "$work/svc/back.txt" >/dev/null
[ "$(cat "$work/svc/back.txt")" = "overwritten" ] || fail "the deleted file came back wrong"
first=$(orv --store "$work/svc/store" --json versions --oldest-first "$work/svc/tree/letter.txt" |
  sed -n 's/^ *"edition": \([0-9]*\).*/\1/p' | head -n 1)
[ "$(orv --store "$work/svc/store" cat "$first")" = "as it was" ] ||
  fail "the overwrite kept the wrong content"

step "dpkg -r orv leaves nothing behind"
dpkg -r orv >/dev/null
dpkg -s orv >/dev/null 2>&1 && dpkg -s orv | grep -q '^Status: .* installed' &&
  fail "orv is still installed: $(dpkg -s orv | grep Status)"
while read -r path; do
  # Directories are shared with other packages; ours are checked below.
  [ -d "$path" ] && ! [ -L "$path" ] && continue
  if [ -e "$path" ] || [ -L "$path" ]; then fail "$path is left behind"; fi
done < "$work/files"
for path in /etc/orv /usr/share/orv /usr/include/orv "/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/cmake/Orv"; do
  [ -e "$path" ] && fail "$path is left behind"
done
# postrm keeps a changed configuration, so dpkg remembers the package as
# "config-files" until it is purged.
dpkg -P orv >/dev/null
dpkg -s orv >/dev/null 2>&1 && fail "dpkg still knows orv after the purge: $(dpkg -s orv | grep Status)"
echo "check_installed: all good"
