#!/usr/bin/env bash
# Sends a sample message (a text and an attachment) to a fake SMTP server on
# 127.0.0.1 and prints what arrived. Builds nothing: build first (the README's
# main-job command does). Usage: examples/demo.sh [BUILD-DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-${SENDVALE_BUILD_DIR:-$(dirname "$here")/build}}
sendvale=$build/sendvale
fakeserver=$build/tests/fakeserver
for program in "$sendvale" "$fakeserver"; do
  if [ ! -x "$program" ]; then
    echo "demo.sh: $program is missing; build first" >&2
    exit 1
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/sendvale-demo.XXXXXX")
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/store" "$work/spool"

# The sink accepts one message and ends once it is stored.
"$fakeserver" --sink smtp --store "$work/store" --port-file "$work/port" \
  --sessions 1 --idle 30 >/dev/null &
server_pid=$!
for _ in $(seq 100); do
  if [ -s "$work/port" ]; then break; fi
  sleep 0.1
done
port=$(cat "$work/port")
echo "== fake SMTP server listening on 127.0.0.1:$port"

export SENDVALE_PROFILE=$work/sendvale.ini
export MAIL_TEMP=$work/spool
export SENDVALE_MIME_TYPES=$work/mime.types
printf '[Setup]\nHOST=127.0.0.1:%s\nReturn Address=Demo Sender <demo@example.com>\nOrganization=Sendvale demo\n' \
  "$port" >"$SENDVALE_PROFILE"
printf 'text/plain txt\ntext/csv csv\n' >"$SENDVALE_MIME_TYPES"

echo "== $sendvale -v -s\"Sendvale demo\" -t$here/sample-body.txt -i$here/sample-data.csv \"Demo Receiver <receiver@example.com>\""
status=0
"$sendvale" -v -s"Sendvale demo" -t"$here/sample-body.txt" -i"$here/sample-data.csv" \
  "Demo Receiver <receiver@example.com>" || status=$?
echo "== sendvale exit status: $status"

wait "$server_pid" || true
server_pid=
if [ ! -f "$work/store/message-1.eml" ]; then
  echo "demo.sh: nothing arrived" >&2
  exit 1
fi
echo "== envelope as the server saw it"
tr -d '\r' <"$work/store/message-1.envelope"
echo "== message as it arrived"
tr -d '\r' <"$work/store/message-1.eml"
exit "$status"
