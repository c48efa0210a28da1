#!/usr/bin/env bash
# Builds the Debian package of both programs in build/ (configured and built
# first when needed) and prints its path.
#   scripts/package.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$dir" >/dev/null
cmake --build "$dir" -j"$jobs" --target sendvale reportsubject >/dev/null
rm -f "$dir"/sendvale_*.deb
(cd "$dir" && cpack -G DEB >cpack.log 2>&1) || { cat "$dir/cpack.log" >&2; exit 1; }
ls "$PWD/$dir"/sendvale_*.deb
