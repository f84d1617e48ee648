#!/usr/bin/env bash
# The demonstration behind `make run`, in two parts:
#  1. a tiny parent of our own (tools/owner-demo.cpp) starts the supervisor over a small
#     command with two workers, confirms start-up, prints every event decoded, asks it to
#     terminate after a few seconds (or at Ctrl-C) and prints the final report;
#  2. solkari-run, the runner for people, runs a command the way a person at a terminal
#     would, and is stopped the way Ctrl-C stops it.
# Takes the build folder; DEMO_SECONDS sets how long each part lasts.
set -euo pipefail
build=${1:-build}
for program in owner-demo solkari-run solkari-owner; do
  if [ ! -x "$build/$program" ]; then
    echo "demo: $build/$program is missing; build first (make run does)" >&2
    exit 1
  fi
done
seconds=${DEMO_SECONDS:-3}
echo "== the event stream, as a parent sees it"
"$build/owner-demo" "$build/solkari-owner" "$seconds" </dev/null
echo
echo "== the same supervisor behind solkari-run, interrupted after ${seconds}s as by Ctrl-C"
status=0
timeout --preserve-status -s INT "$seconds" "$build/solkari-run" -- sh -c \
  'echo "worker tree up"; sleep 300 & sleep 300 & wait' </dev/null || status=$?
echo "solkari-run exit status: $status"
