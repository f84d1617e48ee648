#!/usr/bin/env bash
# Runs every benchmark executable of a benchmark build: ./bench/run.sh <build-dir> [benchmark options]
set -euo pipefail
build=${1:?usage: bench/run.sh <bench build dir> [benchmark options]}
shift
found=0
for bench in "$build"/*_bench; do
  [ -x "$bench" ] || continue
  found=1
  echo "== $(basename "$bench")"
  "$bench" "$@"
done
if [ "$found" = 0 ]; then
  echo "no *_bench executable in $build" >&2
  exit 1
fi
