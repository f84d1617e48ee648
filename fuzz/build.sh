#!/usr/bin/env bash
# Builds the libFuzzer targets into a build folder (default build-fuzz/ at the checkout's
# root): ./fuzz/build.sh [build-dir] [target...]
#
# The program's sources are compiled once into objects instrumented for coverage but
# without libFuzzer's main, and each target is linked with the objects it needs, so a
# source that is still being written only holds back the targets that use it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${1:-build-fuzz}
shift || true
case "$out" in /*) ;; *) out="$root/$out" ;; esac

CXX=${CXX:-}
if [ -z "$CXX" ]; then
    for candidate in clang++-14 clang++; do
        if command -v "$candidate" >/dev/null 2>&1; then CXX=$candidate; break; fi
    done
fi
[ -n "$CXX" ] || { echo "fuzz/build.sh: clang++ not found" >&2; exit 1; }

jobs=${JOBS:-2}
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -I "$root/src")
sanitizers=address,undefined
# A report from UBSan must stop the run like a crash does, or the finding scrolls by.
ubsan=(-fno-sanitize-recover=all)

# Sources of the program each target needs (relative to src/). "all" means every source
# except the entry point.
declare -A needs=(
    [parse]="protocol/parse.cpp protocol/owner_protocol.cpp"
    [base64]="protocol/parse.cpp protocol/owner_protocol.cpp"
    [options]="protocol/options.cpp protocol/parse.cpp protocol/owner_protocol.cpp"
    [control]=all
    [registry]=all
)
all_targets=(parse base64 options control registry)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

every_source() {
    (cd src && find . -name '*.cpp' ! -path './main/main.cpp' | sed 's|^\./||' | sort)
}

sources_of() {
    local list=${needs[$1]:-}
    [ -n "$list" ] || { echo "fuzz/build.sh: unknown target $1" >&2; exit 1; }
    if [ "$list" = all ]; then every_source; else printf '%s\n' $list; fi
}

mkdir -p "$out/obj"
wanted=$(for t in "${targets[@]}"; do sources_of "$t"; done | sort -u)

# Recompiling every object each time keeps the script free of header dependency tracking;
# the sources are few.
compile() {
    local source=$1
    local object="$OUT/obj/${source//\//_}.o"
    "$CXX" "${FLAGS[@]}" -fsanitize=fuzzer-no-link,$SANITIZERS $UBSAN -c "src/$source" -o "$object" ||
        { rm -f "$object"; echo "fuzz/build.sh: failed to compile src/$source" >&2; return 1; }
}
export -f compile
export CXX OUT="$out" SANITIZERS="$sanitizers" UBSAN="${ubsan[*]}"
FLAGS_STR="${flags[*]}"
export FLAGS_STR
failed=0
printf '%s\n' $wanted |
    xargs -P "$jobs" -I{} bash -c 'FLAGS=($FLAGS_STR); compile "$1"' _ {} || failed=1

status=0
for t in "${targets[@]}"; do
    objects=()
    missing=0
    for source in $(sources_of "$t"); do
        object="$out/obj/${source//\//_}.o"
        [ -f "$object" ] || missing=1
        objects+=("$object")
    done
    if [ $missing -ne 0 ]; then
        echo "fuzz/build.sh: skipping ${t}_fuzz (a source it needs did not compile)" >&2
        status=1
        continue
    fi
    "$CXX" "${flags[@]}" -fsanitize=fuzzer,$sanitizers "${ubsan[@]}" \
        "fuzz/${t}_fuzz.cpp" "${objects[@]}" -lutil -o "$out/${t}_fuzz" || status=1
done
[ $failed -eq 0 ] || status=1
exit $status
