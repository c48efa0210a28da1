#!/usr/bin/env bash
# run.sh BUILD_DIR - the real-server suite: starts the test Postfix and then
# the test INN on loopback (installing them when missing), runs the smoke check,
# the helper self-check and the sendvale suite against BUILD_DIR/sendvale, and
# stops both servers on every way out. The servers are required: one that does
# not come up is a failure, never a skip.
#
# Output: each stage's own report, then a last line "N passed, M failed"
# (test cases: server starts and stops, smoke checks, the self-check, suite cases).
# Exit status 0 only when nothing failed. With SENDVALE_WINE_BUILD set to a
# Windows build folder, the Wine suite's real-server cases run too. Needs root (it rewrites the machine's
# Postfix and INN configuration: a disposable test machine only). apt-get
# update is the caller's business. Delivered test mail is purged after a green
# run and kept (for a look) after a red one; SENDVALE_KEEP_MAIL=1 always keeps it.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# Everything for the reader goes to fd 3, the run's own output: a signal trap
# may run while a stage's output is redirected to a file.
exec 3>&1
log() { printf '[realservers] %s\n' "$*" >&3; }
show() { cat "$@" >&3; }

if [ $# -ne 1 ]; then echo "usage: $0 BUILD_DIR" >&2; exit 2; fi
if [ "$(id -u)" != 0 ]; then echo "$0: must run as root" >&2; exit 2; fi

passed=0
failed=0
count() {  # name exit-status: one test case
  if [ "$2" = 0 ]; then passed=$((passed + 1)); log "ok   $1"
  else failed=$((failed + 1)); log "FAIL $1 (exit status $2)"; fi
}
count_report() {  # name exit-status output-file: adds the stage's "N passed, M failed[, K skipped]"
  local line p f s
  line=$(grep -E '^[0-9]+ passed, [0-9]+ failed(, [0-9]+ skipped)?$' "$3" | tail -n 1)
  if [ -z "$line" ]; then count "$1 (no report)" 1; return; fi
  p=$(echo "$line" | cut -d' ' -f1); f=$(echo "$line" | cut -d' ' -f3 | tr -d ,)
  s=$(echo "$line" | sed -n 's/.*, \([0-9]*\) skipped$/\1/p')
  # the servers are required here, so a skipped case is a failed one
  passed=$((passed + p)); failed=$((failed + f + ${s:-0}))
  if [ "$2" != 0 ] && [ "$f" = 0 ] && [ -z "$s" ]; then failed=$((failed + 1)); fi
  log "$1: $line"
}

summary() {
  log "took $(( $(date +%s) - started ))s"
  echo "$passed passed, $failed failed" >&3
}

started=$(date +%s)
work=$(mktemp -d /tmp/sendvale-realservers.XXXXXX) || exit 2
touched=0  # set once a start script has run: only then is there anything to stop
stop_servers() {
  [ "$touched" = 1 ] || { rm -rf "$work"; return; }
  local purge=()
  if [ "$failed" = 0 ] && [ "${SENDVALE_KEEP_MAIL:-0}" != 1 ]; then purge=(--purge-mail)
  else log "delivered test mail kept in /var/mail/sink"; fi
  local inn postfix
  timeout 300 bash "$here/stop-inn.sh" </dev/null >"$work/stop.log" 2>&1
  inn=$?
  timeout 300 bash "$here/stop-postfix.sh" "${purge[@]}" </dev/null >>"$work/stop.log" 2>&1
  postfix=$?
  count "INN stops" "$inn"
  count "Postfix stops" "$postfix"
  if [ "$inn" != 0 ] || [ "$postfix" != 0 ]; then show "$work/stop.log"; fi
  touched=0  # only now: a signal during the stops runs them again (they are idempotent)
  rm -rf "$work"
}
child=  # the running stage (a timeout process), so that a signal can end it
bounded() {  # seconds command...: runs in the background so that the signal traps run at once
  timeout "$@" &
  child=$!
  wait "$child"
  local status=$?
  child=
  return "$status"
}
finish() {  # exit-status: stop the servers, then the summary as the last line
  stop_servers
  summary
  exit "$1"
}
trap stop_servers EXIT
interrupted() {  # exit-status
  trap '' INT TERM HUP
  log "interrupted"
  if [ -n "$child" ]; then kill -TERM "$child" 2>/dev/null; wait "$child"; fi
  failed=$((failed + 1))
  finish "$1"
}
trap 'interrupted 130' INT
trap 'interrupted 143' TERM HUP

build=$(cd "$1" 2>/dev/null && pwd) || build=$1
if [ ! -x "$build/sendvale" ]; then
  count "sendvale program in $build" 1
  finish 1
fi

start_server() {  # name script
  touched=1
  bounded 1800 bash "$here/$2" </dev/null >"$work/$2.env" 2>"$work/$2.log"
  local status=$?
  count "$1 starts" "$status"
  if [ "$status" != 0 ]; then tail -n 30 "$work/$2.log" >&3; fi
}
start_server Postfix start-postfix.sh
start_server INN start-inn.sh

run_stage() {  # name when(always|failed) command...: a stage that prints its own "N passed, M failed"
  local name=$1 when=$2 status; shift 2
  "$@" </dev/null >"$work/stage.out" 2>&1
  status=$?
  if [ "$status" != 0 ] || [ "$when" = always ]; then show "$work/stage.out"; fi
  count_report "$name" "$status" "$work/stage.out"
}
run_stage "smoke check" failed bounded 300 python3 "$here/check_servers.py"

bounded 300 env SENDVALE_REALSERVERS=require python3 "$here/realserver_util.py" \
  </dev/null >"$work/helpers.out" 2>&1
status=$?
if [ "$status" != 0 ]; then show "$work/helpers.out"; fi
count "helper self-check" "$status"

run_stage "sendvale suite" always bounded 1800 \
  env SENDVALE_BUILD_DIR="$build" SENDVALE_REALSERVERS=require \
  python3 "$here/test_sendvale_realservers.py"

# The Windows programs against the same servers, while they are up.
if [ -n "${SENDVALE_WINE_BUILD:-}" ]; then
  run_stage "Wine against the real servers" always bounded 900 \
    env SENDVALE_WINE=1 SENDVALE_REAL_SERVERS=1 SENDVALE_WINE_CASES=case_real_postfix,case_real_inn \
    bash "$here/../wine/run.sh" "$build" "$SENDVALE_WINE_BUILD"
fi

if [ "$failed" = 0 ]; then finish 0; else finish 1; fi
