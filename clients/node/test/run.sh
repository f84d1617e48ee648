#!/bin/sh
# Runs the client's suite with the Node.js on PATH against the supervisor named by
# SOLKARI_OWNER_BINARY. A missing or too old Node.js is a failure, never a skip.
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v node >/dev/null 2>&1; then
  echo "node client tests FAILED: Node.js is not installed; they need Node.js 18 or newer (make deps installs the nodejs package)" >&2
  exit 1
fi
major=$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null)
case "$major" in
  ''|*[!0-9]*) major=0 ;;
esac
if [ "$major" -lt 18 ]; then
  echo "node client tests FAILED: Node.js $(node --version 2>/dev/null) is too old; they need 18 or newer" >&2
  exit 1
fi
if [ ! -x "${SOLKARI_OWNER_BINARY:-}" ]; then
  echo "node client tests FAILED: SOLKARI_OWNER_BINARY must name the built solkari-owner" >&2
  exit 1
fi
# Two test files at a time where the runner can be told so (Node 20.10 and later).
concurrency=
if node --help 2>/dev/null | grep -q -- '--test-concurrency'; then concurrency=--test-concurrency=2; fi
exec node --test $concurrency "$here"/*.test.js
