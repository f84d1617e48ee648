#!/usr/bin/env bash
# The install step and the Debian package, seen from outside: `cmake --install --strip` puts
# exactly the listed files in place, stripped; the package holds the same files below /usr
# with its metadata, unpacks into a scratch root, and the runner found there runs a command
# under the supervisor beside it.
#   package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

expected="bin/solkari-owner
bin/solkari-run
share/bash-completion/completions/solkari-run
share/doc/solkari-owner/README.md
share/doc/solkari-owner/changelog.gz
share/doc/solkari-owner/copyright
share/doc/solkari-owner/protocol.md
share/man/man1/solkari-owner.1.gz
share/man/man1/solkari-run.1.gz"

failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if ! "$@"; then
    echo "FAIL: $what" >&2
    failures=$((failures + 1))
  fi
}
same() { [ "$1" = "$2" ] || { printf 'expected:\n%s\ngot:\n%s\n' "$1" "$2" >&2; return 1; }; }
files_below() { (cd "$1" && find . -type f -o -type l) | sed 's|^\./||' | sort; }
stripped() { for program in "$@"; do file -b "$program" | grep -q ', stripped' || return 1; done; }
runs_echo() { same "hi" "$(env -u SOLKARI_OWNER "$1" -q -- /bin/echo hi </dev/null)"; }

# cmake --install
cmake --install "$build" --prefix "$scratch/prefix" --strip >/dev/null
check "cmake --install installs exactly the listed files" same "$expected" "$(files_below "$scratch/prefix")"
check "installed programs are stripped" stripped "$scratch"/prefix/bin/*
check "the installed runner runs" runs_echo "$scratch/prefix/bin/solkari-run"

# The Debian package
(cd "$build" && cpack -G DEB -B "$scratch/cpack" >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log" >&2; exit 1; }
version=$("$build/solkari-owner" --version | cut -d' ' -f2)
deb="$scratch/cpack/solkari-owner_${version}_$(dpkg --print-architecture).deb"
check "the package is named $(basename "$deb")" test -f "$deb"
if [ -f "$deb" ]; then
  check "package name" same solkari-owner "$(dpkg-deb -f "$deb" Package)"
  check "package version" same "$version" "$(dpkg-deb -f "$deb" Version)"
  check "section admin" same admin "$(dpkg-deb -f "$deb" Section)"
  check "computed library dependencies name the C library" grep -q '\blibc6\b' <<<"$(dpkg-deb -f "$deb" Depends)"
  check "the package holds exactly the listed files below /usr" \
    same "$(sed 's|^|usr/|' <<<"$expected")" "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort)"
  dpkg-deb -x "$deb" "$scratch/root"
  check "packaged programs are stripped" stripped "$scratch"/root/usr/bin/*
  check "manual pages are compressed" gzip -t "$scratch"/root/usr/share/man/man1/*.gz
  check "the unpacked runner runs under the unpacked supervisor" runs_echo "$scratch/root/usr/bin/solkari-run"
  echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
fi
exit $((failures > 0))
