# Sourced by the scripts: the build folder of whoever runs them.
#
# build/ (build-asan/, ...) belongs to the checkout's owner. Root in a checkout
# another user owns (sudo scripts/protect) builds in build-root/ instead, so
# that neither leaves files in a folder the other must write: the scripts
# work in either order, as root or as the user, as often as you like.

# Prints the folder for the variant named by $1 ("", "-asan", "-tsan", ...),
# or fails with one line when that folder exists but belongs to someone else.
orv_build_dir() {
  local base=build
  if [ "$(id -u)" -eq 0 ] && [ "$(stat -c %u .)" -ne 0 ]; then
    base=build-root
  fi
  local dir="$base$1"
  if [ -e "$dir" ] && [ "$(stat -c %u "$dir")" -ne "$(id -u)" ]; then
    echo "$0: $dir/ belongs to $(stat -c %U "$dir"), not to $(id -un) (left by an older run);" \
      "remove it (sudo rm -rf $dir) and run again" >&2
    return 1
  fi
  echo "$dir"
}
