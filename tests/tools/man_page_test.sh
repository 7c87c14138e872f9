#!/bin/bash
# The man page and the bash completion against what orv itself says it takes:
# every command and every long option of `orv --help` and `orv CMD --help`
# must be documented in the man page (a command's options in that command's
# entry, the global ones under GLOBAL OPTIONS) and offered by the completion
# (run in bash), and `orv --version` must print the project's version.
#
# Usage: man_page_test.sh ORV MAN_PAGE COMPLETION VERSION
set -u

orv=$1 man_page=$2 completion=$3 version=$4
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The long options in the Options section of a help text, one a line
# ("-h,--help" gives "--help"). Descriptions never start an option's line.
help_options() {
  awk '/^[A-Za-z]+:$/ { in_options = ($0 == "Options:"); next }
       in_options && match($0, /^  (-[a-zA-Z],)?--[a-z0-9-]+/) {
         text = substr($0, RSTART, RLENGTH); sub(/^.*,/, "", text); sub(/^ +/, "", text)
         print text
       }'
}

# The man page's source with roff's escaped hyphens and font changes undone.
man_text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$man_page")

# The lines of one command's entry under COMMANDS: from the tag naming it to
# the next command's tag or the next section.
man_entry() {
  awk -v command="$1" -v commands="$2" '
    BEGIN { n = split(commands, list, " "); for (i = 1; i <= n; i++) known[list[i]] = 1 }
    /^\.SH/ { in_commands = ($0 == ".SH COMMANDS"); inside = 0; next }
    !in_commands { next }
    after_tp && /^\.[BIR]+ / {
      word = $2; gsub(/"/, "", word)
      if (word in known) inside = (word == command)
    }
    { after_tp = ($0 == ".TP") }
    inside { print }' <<<"$man_text"
}

man_section() {
  awk -v title=".SH $1" '/^\.SH/ { inside = ($0 == title); next } inside { print }' <<<"$man_text"
}

# True when the text names the option as a whole word (--at, not --attack).
names_option() {
  grep -Eq -- "(^|[^a-z0-9-])$2([^a-z0-9-]|\$)" <<<"$1"
}

# What the completion offers for the words given (the last one being
# completed), one a line.
complete_words() {
  bash -c 'source "$1" || exit 1; shift
           COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _orv
           printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@"
}

offers() {
  grep -Fxq -- "$2" <<<"$1"
}

# The version.
printed=$("$orv" --version)
status=$?
[[ $status -eq 0 ]] || fail "orv --version exits with $status"
[[ "$printed" == "orv $version" ]] || fail "orv --version prints '$printed', not 'orv $version'"
grep -q "^\.TH ORV 1 .*\"orv $version\"" "$man_page" || fail "the man page's .TH does not say orv $version"

# The page renders without a warning (where groff is installed).
if command -v groff >/dev/null; then
  warnings=$(groff -man -Tutf8 -ww -z "$man_page" 2>&1)
  [[ -z "$warnings" ]] || fail "groff warns about the man page: $warnings"
fi

# The commands, from the Subcommands section of orv --help.
top_help=$("$orv" --help) || fail "orv --help fails"
commands=$(awk '/^[A-Za-z]+:$/ { inside = ($0 == "Subcommands:"); next }
                inside && match($0, /^  [a-z]+/) { print substr($0, 3, RLENGTH - 2) }' <<<"$top_help")
commands=$(tr '\n' ' ' <<<"$commands")
# A change of the help's layout must not pass as "nothing to check".
[[ " $commands " == *" restore "* && " $commands " == *" protect "* ]] ||
  fail "no commands read from orv --help (read: '$commands')"

registered=$(bash -c 'source "$1" && complete -p orv' _ "$completion" 2>&1)
[[ "$registered" == "complete -F _orv orv" ]] || fail "the completion does not register _orv for orv: $registered"
offered_commands=$(complete_words orv "")
checked=0
for command in $commands; do
  entry=$(man_entry "$command" "$commands")
  [[ -n "$entry" ]] || fail "the man page has no entry for the command $command"
  offers "$offered_commands" "$command" || fail "the completion does not offer the command $command"
  help=$("$orv" "$command" --help) || fail "orv $command --help fails"
  options=$(help_options <<<"$help")
  offers "$options" --help || fail "no options read from orv $command --help"
  offered=$(complete_words orv "$command" -)
  for option in $options; do
    [[ "$option" == --help ]] && continue  # every command has it: said once, globally
    names_option "$entry" "$option" || fail "the man page's entry for $command lacks $option"
    offers "$offered" "$option" || fail "the completion of orv $command - lacks $option"
    checked=$((checked + 1))
  done
done

# The global options, from the Options section of orv --help.
global_section=$(man_section "GLOBAL OPTIONS")
offered=$(complete_words orv -)
global_options=$(help_options <<<"$top_help")
offers "$global_options" --store || fail "no global options read from orv --help"
for option in $global_options; do
  names_option "$global_section" "$option" || fail "the man page's GLOBAL OPTIONS lack $option"
  offers "$offered" "$option" || fail "the completion of orv - lacks $option"
  checked=$((checked + 1))
done

# Values: times, and paths where an argument is one.
offers "$(complete_words orv restore -)" --at || fail "orv restore - does not offer --at"
offers "$(complete_words orv restore x --at "")" now || fail "orv restore --at does not offer now"
for option in --since --until; do
  offers "$(complete_words orv versions "$option" n)" now || fail "orv versions $option n does not offer now"
done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/tree" && touch "$scratch/trace.jsonl"
offers "$(complete_words orv restore x --to "$scratch/tr")" "$scratch/trace.jsonl" ||
  fail "orv restore --to does not complete a file name"
offers "$(complete_words orv replay "$scratch/tr")" "$scratch/trace.jsonl" ||
  fail "orv replay does not complete the trace's name"
offers "$(complete_words orv protect "$scratch/t")" "$scratch/tree" ||
  fail "orv protect does not complete a directory"
offers "$(complete_words orv protect "$scratch/t")" "$scratch/trace.jsonl" &&
  fail "orv protect offers a file where a directory is wanted"
offers "$(complete_words orv --store "$scratch/t")" "$scratch/tree" ||
  fail "orv --store does not complete a directory"
offers "$(complete_words orv --store "$scratch/tree" re)" restore ||
  fail "a global option's value is taken for the command"

if ((failures > 0)); then
  echo "$failures failures"
  exit 1
fi
echo "all $checked options of $(wc -w <<<"$commands") commands documented and completed"
