#!/usr/bin/env bash
# The manual pages as installed (compressed) render without a single warning, carry the
# release in their footer, and have the sections a reader looks for.
#   man_test.sh MAN_DIR
set -euo pipefail
dir=$1
failures=0
for page in solkari-owner.1 solkari-run.1; do
  warnings=$(gzip -dc "$dir/$page.gz" | groff -man -Tutf8 -ww -z 2>&1)
  if [ -n "$warnings" ]; then
    printf 'FAIL: %s renders with warnings:\n%s\n' "$page" "$warnings" >&2
    failures=$((failures + 1))
  fi
  text=$(gzip -dc "$dir/$page.gz" | groff -man -Tascii -P-cbou 2>/dev/null)
  for wanted in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" "SEE ALSO" "solkari-owner [0-9]"; do
    if ! grep -Eq "^($wanted)|$wanted" <<<"$text"; then
      echo "FAIL: $page has no '$wanted'" >&2
      failures=$((failures + 1))
    fi
  done
done
exit $((failures > 0))
