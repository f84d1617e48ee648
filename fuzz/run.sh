#!/usr/bin/env bash
# Builds the fuzz targets and runs each for a bounded time:
#   ./fuzz/run.sh [seconds-per-target] [target...]     (default 20 seconds, every target)
# Every saved reproducer in fuzz/regressions/<target>/ is replayed first. The run fails if
# any target finds a crash or breaks a property; the reproducer is kept in
# <build>/artifacts/<target>/. New corpus entries go to a scratch directory, so the seed
# corpus in fuzz/corpus/ is only read. FUZZ_BUILD names the build folder (build-fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(parse base64 options control registry)
build=${FUZZ_BUILD:-build-fuzz}

./fuzz/build.sh "$build" "${targets[@]}"

# The registries the targets create live under this scratch directory, so that even a
# crashed target leaves no socket directory in the real temporary directory.
work=$(mktemp -d "${TMPDIR:-/tmp}/fuzz-run-XXXXXX")
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work

declare -A max_len=([parse]=70000 [base64]=16384 [options]=4096 [control]=70000 [registry]=70000)

status=0
summary=()
for t in "${targets[@]}"; do
    bin="$build/${t}_fuzz"
    artifacts="$build/artifacts/$t"
    mkdir -p "$work/corpus/$t" "$artifacts"
    log="$build/${t}_fuzz.log"

    if compgen -G "fuzz/regressions/$t/*" >/dev/null; then
        if ! "$bin" fuzz/regressions/$t/* >"$log.regressions" 2>&1; then
            echo "fuzz: $t fails a saved regression case (see $log.regressions)" >&2
            status=1
        fi
    fi

    echo "fuzz: $t for ${seconds}s"
    if "$bin" -max_total_time="$seconds" -max_len="${max_len[$t]}" -timeout=20 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$work/corpus/$t" "fuzz/corpus/$t" >"$log" 2>&1; then
        result=ok
    else
        result=FAILED
        status=1
        echo "fuzz: $t found a problem; log $log, reproducer in $artifacts/" >&2
        grep -E "property violated|ERROR|SUMMARY" "$log" | head -5 >&2 || true
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1)
    if [ -n "$(find "$work" -name 'solkari-owner-*' -print -quit)" ]; then
        echo "fuzz: $t left a registry directory behind" >&2
        result=FAILED
        status=1
    fi
    summary+=("$t: $result, ${runs:-?} executions, ${cov:-cov: ?}")
done

printf 'fuzz: %s\n' "${summary[@]}"
exit $status
