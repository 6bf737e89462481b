#!/bin/bash
# SPDX-License-Identifier: MIT
# Runs the bash completions of runnel and queuepeek on a table of command lines, in a directory
# of its own with a queue of its own, and fails on any completion that differs from the table.
# Arguments: the directory holding the completion scripts, and runnel, whose help text lists
# the options that the completion must offer.
set -u
completions=$(cd "$1" && pwd) || exit 1
# The options of the help text, before leaving the caller's directory.
from_help=$(LC_ALL=C "$2" --help | grep -oE '^ +-[^ ]+(, --[^ ]+)?' | tr -s ' ,' '\n' |
  grep . | LC_ALL=C sort | paste -sd ' ' -)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/queue/remote/0" "$work/queue/remote/4" "$work/queue/bounce" "$work/files"
touch "$work/queue/remote/0/1130795" "$work/queue/remote/4/1130799" \
  "$work/queue/bounce/1130795" "$work/queue/bounce/1130799" \
  "$work/files/alpha.txt" "$work/files/beta.log" "$work/files/-n"
cd "$work/files" || exit 1

_queuepeek_queue=$work/queue
# shellcheck source=/dev/null
source "$completions/runnel" && source "$completions/queuepeek" || exit 1

# Completes the last word of a command line (a trailing space starts an empty word) with the
# function registered for its command; prints the candidates sorted, on one line.
complete_line() {
  local line=$1
  read -r -a COMP_WORDS <<<"$line"
  [[ $line == *' ' ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  local function
  function=$(complete -p "${COMP_WORDS[0]}" | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
  "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" 2>/dev/null
  ((${#COMPREPLY[@]})) && printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd ' ' -
  return 0
}

failures=0
while IFS='|' read -r line expected; do
  got=$(complete_line "$line")
  if [[ $got != "$expected" ]]; then
    echo "'$line': expected '$expected', got '$got'"
    failures=$((failures + 1))
  fi
done <<TABLE
runnel --sh|--show-all --show-ends --show-nonprinting --show-tabs
runnel --n|--number --number-nonblank
runnel -|--help --number --number-nonblank --show-all --show-ends --show-nonprinting --show-tabs --squeeze-blank --version -A -E -T -b -e -n -s -t -u -v
runnel -n --ver|--version
runnel a|alpha.txt
runnel -n alpha.txt b|beta.log
runnel -E -- -|-n
runnel -E -- --s|
runnel x|
queuepeek |-B -D -S
queuepeek -|-B -D -S
queuepeek -S |0/1130795 4/1130799
queuepeek -S 4|4/1130799
queuepeek -S 12|
queuepeek -B |1130795 1130799
queuepeek -D 1130799|1130799
queuepeek -B $work/queue/bou|$work/queue/bounce
queuepeek -D 1130795 al|alpha.txt
queuepeek -S 0/1130795 |
queuepeek -X |
TABLE
# Names with a space, typed escaped or inside quotes (bash passes the word as typed).
touch "$work/files/my file.txt"
for word in 'my\ f' '"my f' "'my f" 'my\ file.t'; do
  for command in runnel "queuepeek -D 1130795"; do
    read -r -a COMP_WORDS <<<"$command"
    COMP_WORDS+=("$word")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    function=$(complete -p "${COMP_WORDS[0]}" | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
    "$function" "${COMP_WORDS[0]}" "$word" 2>/dev/null
    if [[ ${#COMPREPLY[@]} -ne 1 || ${COMPREPLY[0]} != "my file.txt" ]]; then
      echo "$command $word: expected 'my file.txt', got '${COMPREPLY[*]}'"
      failures=$((failures + 1))
    fi
  done
done

# Every option of the help text, and nothing else, is offered after "-".
offered=$(complete_line "runnel -")
if [[ -z $from_help || $offered != "$from_help" ]]; then
  echo "runnel --help lists '$from_help', the completion offers '$offered'"
  failures=$((failures + 1))
fi

if ((failures)); then
  echo "$failures completions differ"
  exit 1
fi
echo "every completion as expected"
