#!/usr/bin/env bash
# Shows what the supervisor does so far: its answer to a bad command line.
build=${1:-build}
set -x
"$build/solkari-owner" --startup-ms 500 -- /bin/true
echo "exit status: $?"
