#!/bin/sh
# Base64 throughput of our stream encoder next to coreutils base64, on a
# 100 MiB random file, with our peak memory. Figures only, no verdict.
#   bench/encode.sh [BUILD_DIR]   (default: $SENDVALE_BUILD_DIR, else ./build)
set -eu

BUILD=${1:-${SENDVALE_BUILD_DIR:-build}}
ENCODE=$BUILD/bench/encode
SIZE_MIB=100

if [ ! -x "$ENCODE" ]; then
    echo "encode.sh: $ENCODE not found; build the 'encode' target first" >&2
    exit 1
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/sendvale-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT INT TERM

head -c $((SIZE_MIB * 1024 * 1024)) /dev/urandom >"$WORK/random.bin"
# Warm the page cache so both runs read from memory alike.
cat "$WORK/random.bin" >/dev/null

now() { date +%s.%N; }

# Runs the command, prints MiB/s of input.
throughput() {
    start=$(now)
    "$@"
    end=$(now)
    awk -v s="$start" -v e="$end" -v m="$SIZE_MIB" 'BEGIN { t = e - s; if (t <= 0) t = 1e-9; printf "%.1f MiB/s (%.2f s)", m / t, t }'
}

ours=$(throughput "$ENCODE" base64 "$WORK/random.bin" "$WORK/ours.b64")
theirs=$(throughput sh -c 'base64 "$1" >"$2"' sh "$WORK/random.bin" "$WORK/coreutils.b64")

# Peak memory: GNU time when present, else the kernel's high-water mark of
# a run watched through /proc.
peak=unknown
if [ -x /usr/bin/time ] && /usr/bin/time -v true >/dev/null 2>&1; then
    /usr/bin/time -v "$ENCODE" base64 "$WORK/random.bin" "$WORK/ours.b64" 2>"$WORK/time.txt"
    peak="$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$WORK/time.txt") KiB"
elif [ -r /proc/self/status ]; then
    "$ENCODE" base64 "$WORK/random.bin" "$WORK/ours.b64" &
    pid=$!
    high=0
    while kill -0 "$pid" 2>/dev/null; do
        hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
        [ -n "$hwm" ] && [ "$hwm" -gt "$high" ] && high=$hwm
        sleep 0.01
    done
    wait "$pid"
    peak="$high KiB (sampled from /proc)"
fi

same="differs"
# coreutils wraps at 76 with LF; ours ends lines with CR LF.
if tr -d '\r' <"$WORK/ours.b64" | cmp -s - "$WORK/coreutils.b64"; then
    same="identical apart from CR"
fi

echo "input:             $SIZE_MIB MiB random bytes"
echo "sendvale base64:   $ours"
echo "coreutils base64:  $theirs"
echo "sendvale peak RSS: $peak"
echo "outputs:           $same"
