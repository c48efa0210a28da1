#!/usr/bin/env bash
# The main job: builds both programs, sends a sample message with a text and
# an attachment to a local test receiver, then runs reportsubject on the
# sample report.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target sendvale reportsubject fakeserver
examples/demo.sh build

echo "== reportsubject examples/sample-report.txt"
work=$(mktemp -d "${TMPDIR:-/tmp}/reportsubject-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
(cd "$work" && "$OLDPWD/build/reportsubject" "$OLDPWD/examples/sample-report.txt")
echo "== subject.txt:"
cat "$work/subject.txt"; echo
