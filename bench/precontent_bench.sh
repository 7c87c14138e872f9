#!/usr/bin/env bash
# The cost of pre-content events (root): a tree on a loop ext4 read whole,
# searched, and built, with nobody answering, with every event let through at
# once, with the guard (truncates by path told apart), and with ignore marks
# after each file's first event. Each time is the median of three runs, the
# responder started afresh for each; ratios are against the same run's
# baseline. Usage: sudo bench/precontent_bench.sh [BUILD_DIR]
set -euo pipefail
build=$(realpath "${1:-build}")
responder="$build/bench/orv_precontent_responder"
work=$(mktemp -d /tmp/orv-precontent-bench-XXXXXX)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  mountpoint -q "$work/ext4" && umount "$work/ext4"
  rm -rf "$work"
}
trap cleanup EXIT

truncate -s 2G "$work/ext4.img"
mkfs.ext4 -q "$work/ext4.img"
mkdir -p "$work/ext4"
mount -o loop "$work/ext4.img" "$work/ext4"
tree="$work/ext4/tree"
mkdir -p "$tree/build"
cp -a /usr/include "$tree/include"
# A build: 48 small C files, each with headers of its own in the tree.
for i in $(seq 1 48); do
  echo "int value$i(int x);" > "$tree/build/h$i.h"
  {
    echo '#include <stdio.h>'
    echo '#include <string.h>'
    for j in $(seq 1 6); do echo "#include \"h$(((i + j) % 48 + 1)).h\""; done
    echo "int value$i(int x) { char b[64]; snprintf(b, sizeof b, \"%d\", x); return (int)strlen(b) + x * $i; }"
  } > "$tree/build/f$i.c"
done
echo 'int main(void) { return 0; }' > "$tree/build/main.c"
cat > "$tree/build/Makefile" <<'MAKE'
SRCS := $(wildcard *.c)
OBJS := $(SRCS:.c=.o)
prog: $(OBJS)
	$(CC) -o $@ $^
%.o: %.c
	$(CC) -O1 -c $< -o $@
clean:
	rm -f $(OBJS) prog
MAKE
echo "tree: $(find "$tree" -type f | wc -l) files, $(find "$tree" -type d | wc -l) directories," \
  "$(du -sh "$tree" | cut -f1) on a loop ext4"

workload() {
  case $1 in
    cat) find "$tree/include" -type f -exec cat {} + >/dev/null ;;
    grep) grep -r zzq_never_there "$tree/include" >/dev/null || true ;;
    build) make -s -C "$tree/build" clean >/dev/null && make -s -C "$tree/build" -j2 >/dev/null ;;
  esac
}
seconds() {  # workload: its wall time
  local start end
  start=$(date +%s.%N)
  workload "$1"
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }

start_responder() {  # mode
  "$responder" "$1" "$tree" >"$work/responder.out" 2>"$work/responder.err" &
  pid=$!
  until grep -q ready "$work/responder.out"; do
    kill -0 "$pid" 2>/dev/null || { cat "$work/responder.err"; exit 1; }
    sleep 0.05
  done
}
stop_responder() {
  kill -TERM "$pid"; wait "$pid" || true; pid=
}

for w in cat grep build; do workload "$w"; done  # the page cache warmed
printf '%-6s %-7s %9s %7s  %s\n' workload mode seconds ratio "events (last run)"
for w in cat grep build; do
  base=
  for mode in none allow guard ignore; do
    times=()
    for run in 1 2 3; do
      [ "$mode" != none ] && start_responder "$mode"
      times+=("$(seconds "$w")")
      [ "$mode" != none ] && stop_responder
    done
    t=$(median "${times[@]}")
    [ -z "$base" ] && base=$t
    events=$([ "$mode" != none ] && cat "$work/responder.err" || echo -)
    printf '%-6s %-7s %9.3f %6.2fx  %s\n' "$w" "$mode" "$t" "$(echo "$t / $base" | bc -l)" "$events"
  done
done
