#!/usr/bin/env bash
# Runs the Windows programs of WIN_BUILD under Wine against the fake servers
# of NATIVE_BUILD; prints one line per case and "N passed, N failed".
#   tests/wine/run.sh NATIVE_BUILD WIN_BUILD
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 NATIVE_BUILD WIN_BUILD" >&2
  exit 2
fi
for needed in "$1/tests/fakeserver" "$2/Sendvale.exe" "$2/reportsubject.exe" "$2/platform/libplatform.a"; do
  if [ ! -e "$needed" ]; then
    echo "$0: $needed is missing; build both folders first" >&2
    exit 2
  fi
done
here=$(cd "$(dirname "$0")" && pwd)
exec python3 "$here/wine_suite.py" "$1" "$2"
