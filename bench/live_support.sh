# Shared by the live-protection benchmarks (sourced; root): the orv to run, a
# work directory removed at exit, loop-mounted file systems and a daemon
# started and stopped cleanly.
#   source bench/live_support.sh NAME BUILD_DIR
# sets build, orv (ORV=path overrides BUILD_DIR/orv), work and daemon.
build=$(realpath "${2:-build}")
orv=$(realpath "${ORV:-$build/orv}")
work=$(mktemp -d "/tmp/orv-$1-XXXXXX")
daemon=
cleanup() {
  [ -n "$daemon" ] && kill "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null || true
  local m
  for m in "$work"/*/; do mountpoint -q "$m" && umount "$m"; done
  rm -rf "$work"
}
trap cleanup EXIT

# mount_loop TYPE SIZE DIR [MKFS OPTION...]: a fresh file system of TYPE in an
# image under $work, mounted on DIR. Fails (mounting nothing) when it cannot.
mount_loop() {
  local type=$1 size=$2 dir=$3
  shift 3
  command -v "mkfs.$type" >/dev/null && truncate -s "$size" "$dir.img" &&
    "mkfs.$type" -q "$@" "$dir.img" >/dev/null && mkdir -p "$dir" && mount -o loop "$dir.img" "$dir"
}

# start_daemon STORE TREE...: orv protect on the trees, back once it watches
# them; its standard error goes to $work/daemon.log. Sets daemon (the pid) and
# daemon_seconds (from the start to its "watching" line).
start_daemon() {
  local store=$1 begin
  shift
  begin=$(date +%s.%N)
  # Emptied here, not by the daemon's redirection: that comes after the
  # fork, and the wait below must never read the last daemon's lines.
  : >"$work/daemon.log"
  "$orv" --store "$store" protect "$@" 2>>"$work/daemon.log" &
  daemon=$!
  until grep -q watching "$work/daemon.log"; do
    if ! kill -0 "$daemon" 2>/dev/null; then
      echo "orv protect did not start:" >&2
      cat "$work/daemon.log" >&2
      daemon=
      exit 1
    fi
    sleep 0.01
  done
  daemon_seconds=$(echo "$(date +%s.%N) - $begin" | bc)
}

# stop_daemon: SIGTERM, as a service manager stops it; back once it has ended.
stop_daemon() {
  kill -TERM "$daemon"
  wait "$daemon" || true
  daemon=
}

# daemon_memory FIELD: the daemon's FIELD (VmRSS, VmHWM) in kB.
daemon_memory() {
  awk -v field="$1:" '$1 == field {print $2}' "/proc/$daemon/status"
}
