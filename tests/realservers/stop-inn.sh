#!/usr/bin/env bash
# stop-inn.sh - stop the test INN: the standalone nnrpd daemons (by the PIDs in
# their own pid files), then innd with its own "ctlinnd shutdown"; bounded waits.
# Idempotent: exits 0 if INN is not installed or not running.
# Sendvale real-server test peer; see README.md in this folder.
set -uo pipefail
PORT_AUTH=${PORT_AUTH:-1119}
PORT_TLS=${PORT_TLS:-1563}
WAIT_SECS=${WAIT_SECS:-30}
BIN=/usr/lib/news/bin
log() { printf '[stop-inn] %s\n' "$*" >&2; }
[ -x $BIN/innd ] || { log "inn2 not installed"; exit 0; }

alive_as() { [ -n "$1" ] && [ -r "/proc/$1/comm" ] && [ "$(cat "/proc/$1/comm" 2>/dev/null)" = "$2" ]; }
wait_gone() {  # pid
  local deadline=$(( $(date +%s) + WAIT_SECS ))
  while kill -0 "$1" 2>/dev/null; do
    [ "$(date +%s)" -ge "$deadline" ] && return 1
    sleep 0.2
  done
}
pids=()
for p in /run/news/nnrpd-$PORT_AUTH.pid /run/news/nnrpd-$PORT_TLS.pid; do
  [ -s "$p" ] || continue
  pid=$(cat "$p")
  if alive_as "$pid" nnrpd; then kill "$pid" 2>/dev/null && pids+=("$pid"); fi   # nnrpd has no stop command
  rm -f "$p"
done
innd_pid=
if [ -s /run/news/innd.pid ] && alive_as "$(cat /run/news/innd.pid)" innd; then
  innd_pid=$(cat /run/news/innd.pid)
  timeout 25 $BIN/ctlinnd -t 20 shutdown 'stop-inn.sh' >/dev/null 2>&1 || true   # innd's own stop command
fi
# both take ~2-3 s to exit; wait for them in parallel, bounded
for pid in "${pids[@]}"; do wait_gone "$pid" && log "stopped nnrpd $pid" || log "nnrpd $pid did not exit"; done
if [ -n "$innd_pid" ]; then
  if ! wait_gone "$innd_pid"; then
    log "innd still running after ${WAIT_SECS}s; trying the init script"
    timeout 90 /etc/init.d/inn2 stop >/dev/null 2>&1 || true
  fi
  rm -f /run/news/innd.pid
  log "stopped innd (pid $innd_pid)"
else
  log "innd not running"
fi
exit 0
