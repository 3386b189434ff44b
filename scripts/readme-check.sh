#!/usr/bin/env bash
# Checks README.md's option lists against the tools themselves. The section of each tool (a heading
# "### `kqmon` ..." or "### kqmon ..." up to the next heading) must name exactly the options that the tool
# lists in its --help, in the --help of each of its commands that has one, plus --help and --version
# where they work; for a tool with commands, exactly the commands that its --help lists. Tolerant of
# how either side lays them out, exact in the names.
# Usage: scripts/readme-check.sh [BIN_DIR]   (default build/linux/tools)
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin=${1:-$root/build/linux/tools}
readme="$root/README.md"
# A command that takes --help for an argument and runs must not reach a real monitor.
export KQ_NAMESPACE="readme-check-$$"
trap 'rmdir "/dev/shm/kq-$(id -u)-$KQ_NAMESPACE" 2>/dev/null' EXIT
passed=0
failed=0

section() {
  awk -v tool="$1" '
    /^#+ / { if (on) exit; h = $0; gsub(/`/, "", h); if (h ~ ("^### +" tool "( |$)")) { on = 1; next } }
    on' "$readme"
}
# Option names in text: --long and -s, not a lone "-" nor a dash inside a word.
options_in() { grep -oE '(^|[^A-Za-z0-9_-])--?[A-Za-z][A-Za-z0-9-]*' | sed -E 's/^[^-]//' | sort -u; }
# Commands in help text: the first word of a line indented by two to four spaces.
commands_in_help() { grep -E '^ {2,4}[a-z][a-z0-9-]*( |$)' | awk '{print $1}' | sort -u; }
# Commands in the README: "TOOL word" inside `code` or a code block, and the word that a table row's
# first cell starts with in `code`.
commands_in_readme() {
  local tool=$1
  awk '
    /^```/ { block = !block; next }
    block { print; next }
    /^\| *`[a-z][a-z0-9-]*[ `]/ { w = $0; sub(/^\| *`/, "", w); sub(/[ `].*/, "", w); print "TOOL " w }
    { while (match($0, /`[^`]*`/)) { print substr($0, RSTART, RLENGTH); $0 = substr($0, RSTART + RLENGTH) } }' |
    sed "s/^TOOL /$tool /" | grep -oE "(^|[^A-Za-z0-9_-])$tool [a-z][a-z0-9-]*" | awk '{print $2}' | sort -u
}

compare() {
  local what=$1 tool=$2 documented=$3 actual=$4
  local missing extra
  missing=$(comm -13 <(printf '%s\n' "$documented" | sed '/^$/d') <(printf '%s\n' "$actual" | sed '/^$/d'))
  extra=$(comm -23 <(printf '%s\n' "$documented" | sed '/^$/d') <(printf '%s\n' "$actual" | sed '/^$/d'))
  if [ -z "$missing" ] && [ -z "$extra" ]; then
    echo "ok: README lists the $(printf '%s\n' "$actual" | sed '/^$/d' | wc -l) $what of $tool"
    passed=$((passed + 1))
  else
    [ -z "$missing" ] || echo "FAILED: $tool has $what that README.md does not list:" $missing
    [ -z "$extra" ] || echo "FAILED: README.md lists $what that $tool does not have:" $extra
    failed=$((failed + 1))
  fi
}

for tool in kqmon kqdemo; do
  exe="$bin/$tool"
  text=$(section "$tool")
  if [ -z "$text" ]; then
    echo "FAILED: README.md has no section \"### \`$tool\`\""
    failed=$((failed + 1))
    continue
  fi
  if ! help=$("$exe" --help 2>&1); then
    echo "FAILED: $exe --help"
    failed=$((failed + 1))
    continue
  fi
  commands=$(commands_in_help <<<"$help")
  actual=$( {
    options_in <<<"$help"
    echo --help
    for command in $commands; do timeout 10 "$exe" "$command" --help 2>/dev/null | options_in; done
    "$exe" --version 2>/dev/null | grep -q '[0-9]' && echo --version
  } | sort -u)
  compare options "$tool" "$(options_in <<<"$text")" "$actual"
  compare commands "$tool" "$(commands_in_readme "$tool" <<<"$text")" "$commands"
done
echo "readme-check: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
