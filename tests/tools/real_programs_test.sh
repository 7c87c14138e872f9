#!/usr/bin/env bash
# Real programs change, replace and remove files under `orv protect`, each as a
# user runs it; afterwards the orv command must give back every file's content
# from before the program touched it. One daemon per file system: the
# temporary directory's, then loop-mounted ext4, xfs and btrfs where mkfs and
# loop mounts work. Prints one row per program as it is decided and exits 1
# when any content is lost (77: cannot run here).
#
# Usage: real_programs_test.sh ORV_BINARY
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 ORV_BINARY" >&2
  exit 2
fi
orv=$(realpath "$1")

skip() {
  echo "SKIP: $*"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "live protection needs root"
[ -x "$orv" ] || { echo "no orv binary at $1" >&2; exit 1; }
command -v python3 >/dev/null || skip "python3 is needed to read orv's JSON output"

work=$(mktemp -d "${TMPDIR:-/tmp}/orv-programs-XXXXXX")
mounted=""
daemon=""
cleanup() {
  if [ -n "$daemon" ]; then
    kill -KILL "$daemon" 2>/dev/null || true
    wait "$daemon" 2>/dev/null || true
  fi
  if [ -n "$mounted" ]; then umount "$mounted" 2>/dev/null || umount -l "$mounted" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# truncate(2) by path opens nothing, so only a daemon that sees pre-content
# access can keep what it cut off.
daemon_options=()
if "$orv" protect --help 2>/dev/null | grep -q -- '--pre-content'; then
  daemon_options=(--pre-content)
fi

# git and vim must not read the machine's or the user's settings.
export HOME="$work/home" GIT_CONFIG_NOSYSTEM=1
mkdir -p "$HOME"
git_() { git -c user.name=orv -c user.email=orv@localhost -c init.defaultBranch=main "$@"; }

# name|label|commands it needs (the first missing one skips the row)
programs=(
  "shell-truncate|shell >|"
  "shell-append|shell >>|"
  "cp|cp over|cp"
  "truncate-command|truncate -s 0|truncate"
  "rsync-inplace|rsync --inplace|rsync"
  "rsync|rsync|rsync"
  "tar-overwrite|tar --overwrite|tar"
  "tar|tar xf|tar"
  "unzip|unzip -o|unzip zip"
  "vim-auto|vim (backupcopy=auto)|vim"
  "vim-yes|vim (backupcopy=yes)|vim"
  "sed|sed -i|sed"
  "perl-pi|perl -pi -e|perl"
  "atomic-save|atomic save (python3)|python3"
  "mv|mv over|mv"
  "git-checkout|git checkout -- file|git"
  "git-reset|git reset --hard|git"
  "rm|rm|rm"
  "rm-r|rm -r of a directory|rm"
  "unlink|unlink|unlink"
  "truncate-syscall|truncate(2) by path|perl"
  "orv-restore|orv restore --in-place|"
)

# The file each program works on.
target_of() {
  case $1 in
    git-*) echo "$tree/repo/$1.txt" ;;
    rm-r) echo "$tree/doomed/sub/$1.txt" ;;
    *) echo "$tree/$1.txt" ;;
  esac
}

missing_command() {
  local command
  for command in $1; do
    command -v "$command" >/dev/null || {
      echo "$command"
      return
    }
  done
}

# Writes every file's "before" content (kept in $work/before/ for the check)
# and whatever the program brings from outside.
prepare() {
  local kind=$1 entry name file
  local src="$work/$kind-src"
  mkdir -p "$tree/repo" "$tree/.vim-backup" "$tree/doomed/sub" "$src" "$work/before/$kind"
  if command -v git >/dev/null; then git_ init -q "$tree/repo"; fi
  for entry in "${programs[@]}"; do
    name=${entry%%|*}
    file=$(target_of "$name")
    if [ "${name#git-}" != "$name" ] && command -v git >/dev/null; then
      echo "committed $name" >"$file"
      git_ -C "$tree/repo" add "$name.txt"
    fi
    printf 'before: %s on %s\nsecond line\n' "$name" "$kind" >"$work/before/$kind/$name"
    # What the program brings is longer, so that size alone tells it apart.
    printf 'after: %s on %s, the new content\n' "$name" "$kind" >"$src/$name.txt"
  done
  if command -v git >/dev/null; then git_ -C "$tree/repo" commit -qm first; fi
  for entry in "${programs[@]}"; do
    name=${entry%%|*}
    cp "$work/before/$kind/$name" "$(target_of "$name")"
  done
  # rm -r removes a directory faster than its deletions are read: the daemon
  # must still know where each file lay.
  for entry in $(seq 1 300); do echo "doomed $entry" >"$tree/doomed/sub/n$entry.txt"; done
  tar cf "$src/tar-overwrite.tar" -C "$src" tar-overwrite.txt
  tar cf "$src/tar.tar" -C "$src" tar.txt
  if command -v zip >/dev/null; then (cd "$src" && zip -q unzip.zip unzip.txt); fi
  cp "$src/mv.txt" "$tree/mv-new.txt"
  # The orv restore row puts back the state before a first change; what it
  # replaces is the content after that change.
  cp "$src/orv-restore.txt" "$work/before/$kind/orv-restore"
  printf 'first: orv-restore on %s\n' "$kind" >"$tree/orv-restore.txt"
}

vim_save() { # FILE BACKUPCOPY: a substitution, written and quit as a user does
  vim -u NONE -i NONE -N -es \
    -c "set backup writebackup backupcopy=$2 backupskip= backupdir=$tree/.vim-backup" \
    -c '%s/before/edited in vim, before/' -c 'w' -c 'q' "$1"
}

# Runs program NAME on its file, as a user would.
run_program() {
  local name=$1 kind=$2 file
  local src="$work/$kind-src"
  file=$(target_of "$name")
  case $name in
    shell-truncate) echo "after: a shell's > on $kind, the new content" >"$file" ;;
    shell-append) echo "appended by a shell's >>" >>"$file" ;;
    cp) cp "$src/cp.txt" "$file" ;;
    truncate-command) truncate -s 0 "$file" ;;
    rsync-inplace) rsync --inplace "$src/rsync-inplace.txt" "$file" ;;
    rsync) rsync "$src/rsync.txt" "$file" ;;
    tar-overwrite) tar xf "$src/tar-overwrite.tar" --overwrite -C "$tree" ;;
    tar) tar xf "$src/tar.tar" -C "$tree" ;;
    unzip) unzip -o -q "$src/unzip.zip" -d "$tree" ;;
    vim-auto | vim-yes)
      local inode
      inode=$(stat -c %i "$file")
      vim_save "$file" "${name#vim-}" || return
      if [ "$(stat -c %i "$file")" = "$inode" ]; then
        note[$name]="vim copied and wrote in place"
      else
        note[$name]="vim renamed the file away and wrote a new one"
      fi
      ;;
    sed) sed -i 's/before/edited by sed, before/' "$file" ;;
    perl-pi) perl -pi -e 's/before/edited by perl, before/' "$file" ;;
    atomic-save)
      atomic_temp=$(python3 - "$file" <<'EOF'
import os, sys, tempfile
path = sys.argv[1]
with tempfile.NamedTemporaryFile("w", dir=os.path.dirname(path), delete=False) as f:
    f.write("after: an atomic save, the new content\n")
    f.flush()
    os.fsync(f.fileno())
print(f.name)
os.replace(f.name, path)
EOF
      ) ;;
    mv) mv "$tree/mv-new.txt" "$file" ;;
    git-checkout) git_ -C "$tree/repo" checkout -q -- "$name.txt" ;;
    git-reset) git_ -C "$tree/repo" reset -q --hard ;;
    rm) rm "$file" ;;
    rm-r) rm -r "$tree/doomed" ;;
    unlink) unlink "$file" ;;
    truncate-syscall) perl -e 'truncate($ARGV[0], 0) or die "truncate: $!"' "$file" ;;
    orv-restore)
      # The first change was made when the daemon started; its edition
      # reaches the catalog with the engine's next write.
      local deadline=$((SECONDS + 15))
      until "$orv" --store "$store" versions "$file" >/dev/null 2>&1; do
        if [ $SECONDS -ge $deadline ]; then
          note[$name]="no edition of the first change appeared to restore"
          return
        fi
        sleep 0.1
      done
      "$orv" --store "$store" restore "$file" --in-place --force >/dev/null
      if [ "$(cat "$file")" != "first: orv-restore on $kind" ]; then
        note[$name]="the restore did not put the first content back"
        failures=$((failures + 1))
      fi
      ;;
  esac
}

# Every edition under the tree, one line each: file, number, kind and size,
# where its content lies. Nothing when there is none.
list_editions() {
  local listing
  listing=$("$orv" --store "$store" --json versions "$tree/%" 2>/dev/null) || return 0
  python3 -c '
import json, sys
for e in json.load(sys.stdin)["editions"]:
    size = "no copy" if e["size"] is None else str(e["size"]) + " B"
    print(e["file"], e["edition"], e["kind"] + " " + size, e["content"] or "", sep="\t")' <<<"$listing"
}

# Decides and prints the row of one program.
check_program() {
  local name=$1 label=$2 kind=$3 file edition_file number edition_kind content kinds="" result=""
  file=$(target_of "$name")
  while IFS=$'\t' read -r edition_file number edition_kind content; do
    [ "$edition_file" = "$file" ] || continue
    kinds+="${kinds:+, }$edition_kind"
    if "$orv" --store "$store" cat "$number" 2>/dev/null | cmp -s - "$work/before/$kind/$name"; then
      # A renamed edition's content is the file under its new name: kept only
      # as long as the program leaves that file be.
      case $content in
        "$store"/*) result="kept (edition $number, $edition_kind)" ;;
        *) result="kept (edition $number, $edition_kind, outside the store: ${content#"$tree"/})" ;;
      esac
      break
    fi
  done <"$work/editions"
  if [ "$name" = rm-r ] && [ -n "$result" ]; then
    local deleted
    deleted=$(awk -F'\t' -v d="$tree/doomed/" 'index($1, d) == 1 && $3 ~ /^deleted/ {print $1}' \
      "$work/editions" | sort -u | wc -l)
    if [ "$deleted" -ne 301 ]; then
      result="LOST (only $deleted of the directory's 301 files have a deletion edition)"
      failures=$((failures + 1))
    fi
  fi
  if [ -z "$result" ]; then
    if [ "$name" = truncate-syscall ] && [ ${#daemon_options[@]} -eq 0 ]; then
      result="not covered (kernel): no --pre-content in this daemon"
    else
      result="LOST (${kinds:-no editions}; none holds the content from before)"
      failures=$((failures + 1))
    fi
  fi
  printf '  %-26s | %s%s\n' "$label" "$result" "${note[$name]:+  [${note[$name]}]}"
}

# Names that orv files must not list once the programs are done: anything gone
# from the tree that no program removed on purpose (a temporary name of a save),
# an in-place restore's own temporary, a swap file.
check_listed_names() {
  local listing listed="" name bad=0
  if listing=$("$orv" --store "$store" --json files 2>/dev/null); then
    listed=$(python3 -c '
import json, sys
for f in json.load(sys.stdin)["files"]:
    print(f["file"])' <<<"$listing")
  fi
  while IFS= read -r name; do
    [ -n "$name" ] || continue
    case $name in
      *.swp | *.swx | */.orv-restore-*) ;;
      "$tree"/repo/.git/*) continue ;;
      "$tree/rm.txt" | "$tree/unlink.txt" | "$tree/mv-new.txt" | "$tree"/doomed/*) continue ;;
      *) [ -e "$name" ] && continue ;;
    esac
    echo "  orv files lists a temporary name: $name"
    bad=1
  done <<<"$listed"
  if [ -n "${atomic_temp:-}" ]; then
    echo "  (the atomic save wrote through ${atomic_temp##*/})"
  fi
  if [ $bad -eq 0 ]; then
    echo "  orv files: no temporary, restore or swap name listed"
  else
    failures=$((failures + 1))
  fi
}

# Starts the daemon on $tree; returns 1 (log printed) when it did not start.
start_daemon() {
  local log=$1 deadline=$((SECONDS + 20))
  "$orv" --store "$store" protect "${daemon_options[@]}" "$tree" 2>"$log" &
  daemon=$!
  until grep -qs watching "$log"; do
    if ! kill -0 "$daemon" 2>/dev/null || [ $SECONDS -ge $deadline ]; then
      kill -KILL "$daemon" 2>/dev/null || true
      wait "$daemon" 2>/dev/null || true
      daemon=""
      return 1
    fi
    sleep 0.02
  done
}

# Stops the daemon as its service manager does; 124 when it did not exit
# within 15 s (then it is killed).
stop_daemon() {
  local status=0 deadline=$((SECONDS + 15))
  kill -TERM "$daemon"
  while kill -0 "$daemon" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.02; done
  if kill -0 "$daemon" 2>/dev/null; then
    kill -KILL "$daemon"
    status=124
  fi
  wait "$daemon" || [ $status -ne 0 ] || status=$?
  daemon=""
  return $status
}

# Runs every program under one daemon on file system KIND rooted at BASE.
run_kind() {
  local kind=$1 base=$2 entry name label needs missing
  local log="$work/$kind-daemon.log"
  tree="$base/tree"
  store="$base/store"
  atomic_temp=""
  declare -gA note=()
  mkdir -p "$tree"
  prepare "$kind"
  if ! start_daemon "$log"; then
    if grep -q "fanotify is not available\|needs Linux" "$log"; then
      [ "$kind" = tmp ] && skip "$(cat "$log")"
    fi
    echo "$kind: the daemon did not start:"
    cat "$log"
    failures=$((failures + 1))
    return
  fi
  if [ "$kind" = tmp ]; then cp "$work/$kind-src/orv-restore.txt" "$(target_of orv-restore)"; fi
  for entry in "${programs[@]}"; do
    IFS='|' read -r name label needs <<<"$entry"
    [ "$name" = orv-restore ] && [ "$kind" != tmp ] && continue
    missing=$(missing_command "$needs")
    if [ -n "$missing" ]; then
      note[$name]="skipped: $missing is not installed"
      continue
    fi
    if ! run_program "$name" "$kind" >>"$work/$kind-programs.log" 2>&1; then
      note[$name]="the program failed (see below)"
      failures=$((failures + 1))
    fi
  done
  sleep 0.3 # the last closes and renames reach the daemon
  local status=0
  stop_daemon || status=$?
  if [ $status -ne 0 ]; then
    echo "$kind: the daemon did not stop cleanly (status $status):"
    cat "$log"
    failures=$((failures + 1))
  fi
  list_editions >"$work/editions"
  local failed_before=$failures
  echo "$kind ($(findmnt -n -o FSTYPE -T "$tree" 2>/dev/null || stat -f -c %T "$tree")):"
  for entry in "${programs[@]}"; do
    IFS='|' read -r name label needs <<<"$entry"
    [ "$name" = orv-restore ] && [ "$kind" != tmp ] && continue
    case ${note[$name]:-} in
      skipped*)
        printf '  %-26s | %s\n' "$label" "${note[$name]}"
        continue
        ;;
    esac
    check_program "$name" "$label" "$kind"
  done
  [ "$kind" = tmp ] && check_listed_names
  if [ -s "$work/$kind-programs.log" ]; then
    echo "  programs said:"
    sed 's/^/    /' "$work/$kind-programs.log"
  fi
  # A row lost: what the daemon said tells where its content went.
  if [ "$failures" -ne "$failed_before" ]; then
    echo "  the daemon said:"
    sed 's/^/    /' "$log"
  fi
}

failures=0
started=$SECONDS
mkdir -p "$work/tmp"
run_kind tmp "$work/tmp"
for kind in ext4 xfs btrfs; do
  image="$work/$kind.img" mount="$work/mnt-$kind"
  mkdir -p "$mount"
  if ! command -v "mkfs.$kind" >/dev/null; then
    echo "$kind: skipped (mkfs.$kind is not installed)"
    continue
  fi
  if ! truncate -s 320M "$image" || ! "mkfs.$kind" -q "$image" >/dev/null 2>&1 ||
    ! mount -o loop "$image" "$mount" 2>/dev/null; then
    echo "$kind: skipped (cannot mount a loop $kind file system here)"
    rm -f "$image"
    continue
  fi
  mounted=$mount
  run_kind "$kind" "$mount"
  umount "$mount"
  mounted=""
  rm -f "$image"
done

echo "took $((SECONDS - started)) s"
if [ $failures -ne 0 ]; then
  echo "FAIL: $failures row(s) or checks failed"
  exit 1
fi
echo "PASS"
