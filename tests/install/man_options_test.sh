#!/usr/bin/env bash
# Every option a program accepts is described in its man page, where it
# belongs. The options come from the program itself: its --help, and the
# --help of each of its commands (recursively), so an option or a command
# added to the program without its entry in the page fails here.
#
#   man_options_test.sh PROGRAM PAGE
#
# PAGE is the troff page the build made. The program's own options belong
# in the page's OPTIONS section (or GLOBAL OPTIONS); a command's in the
# subsection whose heading starts with the command's words and goes on with
# its positional arguments ("settings set NAME VALUE"). An
# option is described by a term of its own (a bold *--name* line with an
# indented text below); -h/--help once, among the program's own options.
set -euo pipefail
program=$1
page=$2
[ -x "$program" ] || { echo "no program $program" >&2; exit 2; }
[ -s "$page" ] || { echo "no man page $page" >&2; exit 2; }
failures=0

missing() {
  echo "$(basename "$page"): $*" >&2
  failures=$((failures + 1))
}

# The entries of one section of a --help text: the first column of the lines
# indented by two spaces below a heading such as "Options:", "Device faults:",
# "Positionals:" or "Subcommands:".
help_entries() {  # HELP-TEXT WANT(options|positionals|subcommands)
  awk -v want="$2" '
    /^[^ ].*:$/ {
      kind = ($0 == "Subcommands:") ? "subcommands" : ($0 == "Positionals:") ? "positionals" : "options"
      next
    }
    /^  -/ && kind == want && want == "options" { print $1 }
    /^  [^ -]/ && kind == want && want != "options" { print $1 }
  ' <<<"$1"
}

# The terms the page defines for the program (in its OPTIONS or GLOBAL
# OPTIONS section, with their subsections) or for one command (from its .SS
# heading to the next heading): the lines in bold that an indented
# description follows, such as "*--int0* _N_, *--int1* _N_" in the source.
# An option only mentioned in passing is not described.
page_terms() {  # COMMAND-WORDS (empty: the program itself)
  awk -v words="$1" '
    function starts(heading) { return heading == words || index(heading, words " ") == 1 }
    /^\.SH / {
      heading = substr($0, 5)
      inside = (words == "" && (heading == "OPTIONS" || heading == "GLOBAL OPTIONS"))
    }
    /^\.SS / && words != "" { inside = starts(substr($0, 5)) }
    /^\.RS/ && inside && previous ~ /^\\fB/ { print previous }
    { previous = $0 }
  ' "$page"
}

# The .SS heading of a command: its words, then its arguments.
command_heading() {  # COMMAND-WORDS
  grep -E "^\.SS $(sed 's/[][\.*^$]/\\&/g' <<<"$1")( |$)" "$page" || true
}

check() {  # COMMAND-WORDS...
  local words="$*" help heading text entry name
  help=$("$program" "$@" --help 2>&1) || { missing "'$program $words --help' failed"; return; }
  heading=$(command_heading "$words")
  if [ -n "$words" ] && [ -z "$heading" ]; then
    missing "no subsection for the command '$words'"
  fi
  text=$(page_terms "$words")
  while read -r entry; do
    [ -n "$entry" ] || continue
    IFS=, read -ra names <<<"$entry"
    for name in "${names[@]}"; do
      if [ -n "$words" ] && { [ "$name" = -h ] || [ "$name" = --help ]; }; then continue; fi
      grep -qF "\\fB$name\\fR" <<<"$text" || missing "'${words:-$(basename "$program")}' option $name is not described"
    done
  done < <(help_entries "$help" options)
  if [ -n "$words" ]; then
    while read -r name; do
      [ -n "$name" ] || continue
      grep -qw -- "$name" <<<"$heading" || missing "'$words' argument $name is not in its heading"
    done < <(help_entries "$help" positionals)
  fi
  while read -r name; do
    [ -n "$name" ] || continue
    # shellcheck disable=SC2086  # the command's words, one argument each
    check $words "$name"
  done < <(help_entries "$help" subcommands)
}

check
if [ "$failures" -gt 0 ]; then
  echo "$failures thing(s) the program accepts are missing from its man page" >&2
  exit 1
fi
echo "every option and command of $(basename "$program") is in its man page"
