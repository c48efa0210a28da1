#!/usr/bin/env bash
# Delivery speed against a discarding SMTP sink on loopback (bench/sink), next
# to the floor the hardware sets and, when installed, s-nail and curl
# (scripts/deps.sh --bench). Figures only, no verdict: medians over interleaved
# rounds of wall time and peak memory, and each one's ratio to its baseline.
#   bench/send.sh [BUILD_DIR] [ROUNDS]   (default: build-bench, 5)
# Work:
#   attachment  a text and a 100 MiB random attachment; the floor is base64 of
#               the file into a spool file plus a raw sendfile of the
#               pre-encoded message
#   smtps       the same over implicit TLS; its baseline is our plain time
#   receivers   10,000 receivers, with PIPELINING (baseline: a raw pipelined
#               client) and without (baseline: a raw lock-step client)
#   pinned      the lock-step work with sink and client on one CPU: where the
#               scheduler puts the two decides much of a round trip's time,
#               so this measures the clients' own cost more steadily
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build-bench}
ROUNDS=${2:-5}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DSENDVALE_TESTS=OFF -DSENDVALE_BENCH=ON >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target sendvale sink >/dev/null
SENDVALE=$PWD/$BUILD/sendvale
SINK=$PWD/$BUILD/bench/sink

WORK=$(mktemp -d "${TMPDIR:-/tmp}/sendvale-bench.XXXXXX")
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$WORK"; }
trap cleanup EXIT INT TERM
cd "$WORK"

head -c $((100 * 1024 * 1024)) /dev/urandom > big.bin
printf 'Nightly build report.\n' > text.txt
python3 -c "print('\n'.join('r%d@example.com' % i for i in range(10000)))" > receivers.txt
{ printf 'Subject: x\r\nMIME-Version: 1.0\r\nContent-Type: application/octet-stream\r\n'
  printf 'Content-Transfer-Encoding: base64\r\n\r\n'; base64 -w76 big.bin | sed 's/$/\r/'; } > pre.eml
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost \
  -addext subjectAltName=IP:127.0.0.1 -keyout key.pem -out cert.pem 2>/dev/null

start_sink() {  # name options...
  "$SINK" serve "$1.port" "${@:2}" >/dev/null 2>&1 & pids+=($!)
}
port_of() {  # name
  for _ in $(seq 100); do [ -s "$1.port" ] && break; sleep 0.05; done
  cat "$1.port"
}
start_sink plain --pipelining
start_sink tls --pipelining --tls cert.pem key.pem
start_sink lockstep
PIN=()
if command -v taskset >/dev/null; then PIN=(taskset -c 0); fi
"${PIN[@]}" "$SINK" serve pinned.port >/dev/null 2>&1 & pids+=($!)
PLAIN=$(port_of plain) TLS=$(port_of tls) LOCKSTEP=$(port_of lockstep) PINNED=$(port_of pinned)

profile() {  # file host
  printf '[Setup]\nHOST=%s\nReturn Address=me@example.com\nCA File=%s\n' "$2" "$WORK/cert.pem" > "$1"
  chmod 600 "$1"
}
profile plain.ini "smtp://127.0.0.1:$PLAIN"
profile tls.ini "smtps://127.0.0.1:$TLS"
profile lockstep.ini "smtp://127.0.0.1:$LOCKSTEP"
profile pinned.ini "smtp://127.0.0.1:$PINNED"

# Runs a command REPEAT times (default 1) in a row; appends "name seconds
# KiB" to results, the seconds being those of one run. Work of a few
# milliseconds is repeated, so the jitter of starting a process does not
# decide its median.
REPEAT=1
measure() {  # name command...
  local name=$1 start end i; shift
  start=$(date +%s.%N)
  for ((i = 0; i < REPEAT; i++)); do
    /usr/bin/time -f %M -o rss "$@" >/dev/null 2>&1 </dev/null || { echo "send.sh: $name failed" >&2; return 0; }
  done
  end=$(date +%s.%N)
  awk -v n="$name" -v s="$start" -v e="$end" -v k="$REPEAT" -v r="$(cat rss)" \
    'BEGIN { printf "%s %.4f %d\n", n, (e - s) / k, r }' >> results
}
# Runs two measurements, the first one first in odd rounds: a run of round
# trips goes faster right after busy work, while the CPUs are still awake, so
# a fixed order would favour whichever comes first.
in_turn() {  # round first second (each a command line without quoting)
  if (($1 % 2)); then $2; $3; else $3; $2; fi
}
send() { echo env SENDVALE_PROFILE="$1" "$SENDVALE" -sNightly -ttext.txt; }
have() { command -v "$1" >/dev/null; }

: > results
for round in $(seq "$ROUNDS"); do
  echo "round $round of $ROUNDS" >&2
  measure floor.base64 sh -c 'base64 big.bin > spool'
  rm -f spool  # as ours is: its pages are never written back during later work
  measure floor.sendfile "$SINK" send "$PLAIN" pre.eml
  measure attachment.sendvale $(send plain.ini) -ibig.bin to@example.com
  measure smtps.sendvale $(send tls.ini) -ibig.bin to@example.com
  if have s-nail; then
    measure attachment.s-nail sh -c "s-nail -:/ -S v15-compat -S mta=smtp://127.0.0.1:$PLAIN -S smtp-auth=none \
      -S from=me@example.com -s Nightly -a big.bin to@example.com < text.txt"
  fi
  if have curl; then
    measure attachment.curl curl -s "smtp://127.0.0.1:$PLAIN" --mail-from me@example.com --mail-rcpt to@example.com \
      -H "Subject: Nightly" -F "=<text.txt" -F "=@big.bin;encoder=base64"
  fi
  REPEAT=10
  in_turn "$round" "measure receivers.raw $SINK receivers $PLAIN 10000 pipelined" \
    "measure receivers.sendvale $(send plain.ini) @receivers.txt"
  REPEAT=3
  in_turn "$round" "measure lockstep.raw $SINK receivers $LOCKSTEP 10000 lockstep" \
    "measure lockstep.sendvale $(send lockstep.ini) @receivers.txt"
  if [ ${#PIN[@]} -gt 0 ]; then
    in_turn "$round" "measure pinned.raw ${PIN[*]} $SINK receivers $PINNED 10000 lockstep" \
      "measure pinned.sendvale ${PIN[*]} $(send pinned.ini) @receivers.txt"
  fi
  REPEAT=1
  if have curl; then
    mapfile -t rcpts < receivers.txt
    measure receivers.curl curl -s "smtp://127.0.0.1:$PLAIN" --mail-from me@example.com \
      $(printf -- '--mail-rcpt %s ' "${rcpts[@]}") -T text.txt
  fi
done

python3 - results <<'PY'
import statistics, sys
runs = {}
for line in open(sys.argv[1]):
    name, seconds, kib = line.split()
    runs.setdefault(name, []).append((float(seconds), int(kib)))
med = {k: (statistics.median(s for s, _ in v), statistics.median(k2 for _, k2 in v)) for k, v in runs.items()}
floor = med["floor.base64"][0] + med["floor.sendfile"][0] if "floor.base64" in med else None
base = {"attachment": floor, "smtps": med.get("attachment.sendvale", (None,))[0],
        "receivers": med.get("receivers.raw", (None,))[0], "lockstep": med.get("lockstep.raw", (None,))[0],
        "pinned": med.get("pinned.raw", (None,))[0]}
print("%-22s %10s %10s %8s" % ("work.program", "wall s", "peak MiB", "ratio"))
for name in sorted(med):
    seconds, kib = med[name]
    b = base.get(name.split(".")[0])
    ratio = "%.2f" % (seconds / b) if b and not name.endswith((".raw",)) and not name.startswith("floor") else "-"
    print("%-22s %10.3f %10.2f %8s" % (name, seconds, kib / 1024, ratio))
if floor:
    print("%-22s %10.3f" % ("floor (base64+sendfile)", floor))
PY
