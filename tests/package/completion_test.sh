#!/usr/bin/env bash
# Bash completion for solkari-run: the runner's options before the command, commands for the
# first other word, files for --owner, nothing for a budget, and the command's own completion
# (here: none, so files) after it.
#   completion_test.sh COMPLETION_FILE
set -uo pipefail
# shellcheck source=/dev/null
source "$1"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
touch "$scratch/owner-a" "$scratch/owner-b"
cd "$scratch" || exit 1

failures=0
# line | a word the completions must include ("-" for none at all)
while IFS='|' read -r line wanted; do
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _solkari_run
  if [ "$wanted" = "-" ]; then
    [ ${#COMPREPLY[@]} -eq 0 ] && continue
  else
    printf '%s\n' "${COMPREPLY[@]}" | grep -qx -- "$wanted" && continue
  fi
  echo "FAIL: '$line' completes to [${COMPREPLY[*]}], wanted $wanted" >&2
  failures=$((failures + 1))
done <<'CASES'
solkari-run --gr|--grace-ms
solkari-run --q|--quiet
solkari-run -q --ow|--owner
solkari-run --owner owner-|owner-a
solkari-run --grace-ms |-
solkari-run --grace-ms 300 ech|echo
solkari-run ech|echo
solkari-run -- ech|echo
solkari-run -- --gr|-
solkari-run echo owner-|owner-b
solkari-run echo --gr|-
CASES
exit $((failures > 0))
