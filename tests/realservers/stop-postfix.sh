#!/usr/bin/env bash
# stop-postfix.sh - stop the test Postfix with its own stop command; bounded wait.
# Idempotent: exits 0 if Postfix is not installed or not running.
#   --purge-mail   also delete delivered test mail (the catch-all Maildir) and the queue
# Sendvale real-server test peer; see README.md in this folder.
set -uo pipefail
SINK_DIR=${SINK_DIR:-/var/mail/sink}
WAIT_SECS=${WAIT_SECS:-30}
log() { printf '[stop-postfix] %s\n' "$*" >&2; }

if ! command -v postfix >/dev/null 2>&1; then log "postfix not installed"; exit 0; fi
if postfix status >/dev/null 2>&1; then
  postfix stop >/dev/null 2>&1 || log "postfix stop returned non-zero"
  deadline=$(( $(date +%s) + WAIT_SECS ))
  while postfix status >/dev/null 2>&1; do
    if [ "$(date +%s)" -ge "$deadline" ]; then
      # last resort: postfix abort (still Postfix's own command, kills only its master)
      log "still running after ${WAIT_SECS}s, using 'postfix abort'"; postfix abort >/dev/null 2>&1 || true
      sleep 1; break
    fi
    sleep 0.2
  done
  log "stopped"
else
  log "not running"
fi
if [ "${1:-}" = --purge-mail ]; then
  rm -f "$SINK_DIR"/new/* "$SINK_DIR"/cur/* "$SINK_DIR"/tmp/* 2>/dev/null || true
  postsuper -d ALL >/dev/null 2>&1 || true
  log "purged $SINK_DIR and the queue"
fi
exit 0
