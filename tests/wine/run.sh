#!/usr/bin/env bash
# Runs the Windows programs of WIN_BUILD under Wine against the fake servers
# of NATIVE_BUILD; prints one line per case and "N passed, N failed".
#   tests/wine/run.sh NATIVE_BUILD WIN_BUILD
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 NATIVE_BUILD WIN_BUILD" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
exec python3 "$here/wine_suite.py" "$1" "$2"
