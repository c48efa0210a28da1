#!/usr/bin/env bash
# start-postfix.sh - install (if missing), configure and start a loopback-only
# Postfix 3.7 (Debian 12) that swallows all mail for a test domain into one Maildir.
# Idempotent: safe to run again; an already running Postfix is restarted with
# the (re)written configuration. Needs root. Non-interactive. Bounded waits.
#
#   127.0.0.1:25   + [::1]:25     plain SMTP, no auth (Debian's "smtp" service)
#   127.0.0.1:2525                plain SMTP, no auth, same rules as :25
#   127.0.0.1:2526                like 2525 but STRICT: bare LF -> 550, MAIL FROM/RCPT TO
#                                 without <> -> 501, pipelining violations -> 554+drop
#   127.0.0.1:2587                submission: STARTTLS *required*, then AUTH *required*
#   127.0.0.1:2465                implicit TLS (smtps/wrapper mode), AUTH required
#
# Mail for ANY local-part @$TEST_DOMAIN lands in ONE catch-all Maildir:
#   $SINK_DIR/new/<file>   one file per recipient copy; the first header lines are
#   Return-Path: <envelope sender>, X-Original-To: <RCPT TO address as given>,
#   Delivered-To: <rcpt>, Received: ... (Postfix's virtual(8) refuses $1
#   substitution in virtual_mailbox_maps, so per-recipient dirs are not possible).
# Magic recipients (for testing error paths):
#   reject@$TEST_DOMAIN   -> 550 5.7.1 (permanent)   tempfail@$TEST_DOMAIN -> 450 4.7.1
#   anyone@<other domain> -> 554 5.7.1 Relay access denied (unauthenticated)
#   nosuchuser@localhost, bare "John" (-> John@$MYHOSTNAME) -> 550 5.1.1 User unknown
#   (careful: real unix users such as nobody@localhost are accepted -> /var/mail/<user>)
# Magic sender: rejectsender@$TEST_DOMAIN -> 553 5.7.1, reported at RCPT TO, not at
#   MAIL FROM (Postfix default smtpd_delay_reject=yes).
# Sendvale real-server test peer; see README.md in this folder. It rewrites the
# machine's own server configuration: run it on a disposable test machine only.
set -euo pipefail

TEST_DOMAIN=${TEST_DOMAIN:-example.test}
MYHOSTNAME=${MYHOSTNAME:-mail.example.test}
PORT_PLAIN=${PORT_PLAIN:-2525}
PORT_STRICT=${PORT_STRICT:-2526}
PORT_SUBMIT=${PORT_SUBMIT:-2587}
PORT_SMTPS=${PORT_SMTPS:-2465}
SASL_USER=${SASL_USER:-testuser}
SASL_PASS=${SASL_PASS:-testpass}
SINK_DIR=${SINK_DIR:-/var/mail/sink}   # must be <dir>/<name>; Maildir
LOG_FILE=${LOG_FILE:-/var/log/postfix-test.log}
TLS_DIR=/etc/postfix/test-tls
WAIT_SECS=${WAIT_SECS:-30}
# listen on [::1]:25 too, unless this machine has no IPv6 loopback
if grep -qi '^0\{31\}1 ' /proc/net/if_inet6 2>/dev/null; then INET_PROTOCOLS=${INET_PROTOCOLS:-all}; else INET_PROTOCOLS=${INET_PROTOCOLS:-ipv4}; fi

export DEBIAN_FRONTEND=noninteractive
APT_OPTS=(-y -q -o DPkg::Lock::Timeout=300 -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold)

log() { printf '[start-postfix] %s\n' "$*" >&2; }

[ "$(id -u)" = 0 ] || { log "must run as root"; exit 1; }

# ---------------------------------------------------------------- install
need=()
for p in postfix sasl2-bin libsasl2-modules libsasl2-modules-db openssl; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  log "installing: ${need[*]}"
  debconf-set-selections <<DEB
postfix postfix/main_mailer_type select Local only
postfix postfix/mailname string $MYHOSTNAME
postfix postfix/destinations string $MYHOSTNAME, localhost
DEB
  t0=$(date +%s)
  # a fresh machine may have no package lists at all: fetch them first
  compgen -G '/var/lib/apt/lists/*_Packages*' >/dev/null || timeout 300 apt-get -q -o DPkg::Lock::Timeout=300 update </dev/null >&2 || true
  # a fresh machine may have empty/stale package lists: update once, retry once
  if ! timeout 900 apt-get install "${APT_OPTS[@]}" --no-install-recommends "${need[@]}" </dev/null >&2; then
    timeout 300 apt-get -q -o DPkg::Lock::Timeout=300 update </dev/null >&2
    timeout 900 apt-get install "${APT_OPTS[@]}" --no-install-recommends "${need[@]}" </dev/null >&2
  fi
  log "install took $(( $(date +%s) - t0 ))s"
fi

# ---------------------------------------------------------------- main.cf
# Everything via postconf -e so re-runs are idempotent.
postconf -e \
  "myhostname = $MYHOSTNAME" \
  "myorigin = \$myhostname" \
  "mydestination = \$myhostname, localhost.localdomain, localhost" \
  "inet_interfaces = loopback-only" \
  "inet_protocols = $INET_PROTOCOLS" \
  "mynetworks = 127.0.0.0/8 [::1]/128" \
  "relayhost =" \
  "default_transport = error:outbound mail disabled on this test server" \
  "relay_transport = error:outbound mail disabled on this test server" \
  "recipient_delimiter =" \
  "compatibility_level = 3.6" \
  "maillog_file = $LOG_FILE" \
  "smtpd_banner = \$myhostname ESMTP Postfix (test)" \
  "local_header_rewrite_clients =" \
  "smtpd_peername_lookup = no" \
  "always_add_missing_headers = no" \
  "message_drop_headers =" \
  "virtual_mailbox_domains = $TEST_DOMAIN" \
  "virtual_mailbox_base = ${SINK_DIR%/*}" \
  "virtual_mailbox_maps = regexp:/etc/postfix/test-vmailbox" \
  "virtual_uid_maps = static:5000" \
  "virtual_gid_maps = static:5000" \
  "virtual_minimum_uid = 100" \
  "virtual_mailbox_limit = 0" \
  "message_size_limit = 10240000" \
  "smtpd_relay_restrictions = permit_sasl_authenticated, reject_unauth_destination" \
  "smtpd_recipient_restrictions = check_recipient_access regexp:/etc/postfix/test-rcpt-access" \
  "smtpd_sender_restrictions = check_sender_access regexp:/etc/postfix/test-sender-access" \
  "smtpd_tls_cert_file = $TLS_DIR/cert.pem" \
  "smtpd_tls_key_file = $TLS_DIR/key.pem" \
  "smtpd_tls_security_level = may" \
  "smtpd_tls_loglevel = 1" \
  "smtpd_sasl_auth_enable = no" \
  "smtpd_sasl_type = cyrus" \
  "smtpd_sasl_path = smtpd" \
  "cyrus_sasl_config_path = /etc/postfix/sasl" \
  "smtpd_sasl_local_domain = $TEST_DOMAIN" \
  "smtpd_sasl_security_options = noanonymous" \
  "smtpd_sasl_tls_security_options = noanonymous" \
  "smtp_tls_security_level = none" \
  "broken_sasl_auth_clients = no"

# every local-part -> one catch-all Maildir (trailing "/" => Maildir, not mbox)
cat > /etc/postfix/test-vmailbox <<EOF2
/@${TEST_DOMAIN//./\\.}\$/	${SINK_DIR##*/}/
EOF2
cat > /etc/postfix/test-rcpt-access <<EOF2
/^reject@${TEST_DOMAIN//./\\.}\$/	550 5.7.1 Recipient rejected for testing
/^tempfail@${TEST_DOMAIN//./\\.}\$/	450 4.7.1 Recipient temporarily rejected for testing
EOF2
cat > /etc/postfix/test-sender-access <<EOF2
/^rejectsender@${TEST_DOMAIN//./\\.}\$/	553 5.7.1 Sender rejected for testing
EOF2

# ---------------------------------------------------------------- master.cf
# No chroot anywhere (avoids Debian's chroot file syncing done by its init script).
postconf -F '*/*/chroot = n'
postconf -M "127.0.0.1:${PORT_PLAIN}/inet = 127.0.0.1:${PORT_PLAIN} inet n - n - - smtpd -o syslog_name=postfix/plain${PORT_PLAIN}"
# strict twin of :$PORT_PLAIN - rejects bare LF (default exclusions would exempt
# $mynetworks, i.e. 127.0.0.1, so they are emptied), non-<> envelopes, and
# pipelining violations.
postconf -M "127.0.0.1:${PORT_STRICT}/inet = 127.0.0.1:${PORT_STRICT} inet n - n - - smtpd \
 -o syslog_name=postfix/strict${PORT_STRICT} \
 -o smtpd_forbid_bare_newline=reject \
 -o smtpd_forbid_bare_newline_exclusions= \
 -o smtpd_forbid_bare_newline_reject_code=550 \
 -o strict_rfc821_envelopes=yes \
 -o smtpd_forbid_unauth_pipelining=yes"
postconf -M "127.0.0.1:${PORT_SUBMIT}/inet = 127.0.0.1:${PORT_SUBMIT} inet n - n - - smtpd \
 -o syslog_name=postfix/submit${PORT_SUBMIT} \
 -o smtpd_tls_security_level=encrypt \
 -o smtpd_tls_auth_only=yes \
 -o smtpd_sasl_auth_enable=yes \
 -o smtpd_client_restrictions=permit_sasl_authenticated,reject \
 -o smtpd_relay_restrictions=permit_sasl_authenticated,reject \
 -o smtpd_recipient_restrictions=check_recipient_access,regexp:/etc/postfix/test-rcpt-access"
postconf -M "127.0.0.1:${PORT_SMTPS}/inet = 127.0.0.1:${PORT_SMTPS} inet n - n - - smtpd \
 -o syslog_name=postfix/smtps${PORT_SMTPS} \
 -o smtpd_tls_wrappermode=yes \
 -o smtpd_sasl_auth_enable=yes \
 -o smtpd_client_restrictions=permit_sasl_authenticated,reject \
 -o smtpd_relay_restrictions=permit_sasl_authenticated,reject \
 -o smtpd_recipient_restrictions=check_recipient_access,regexp:/etc/postfix/test-rcpt-access"

# ---------------------------------------------------------------- TLS + SASL
mkdir -p "$TLS_DIR"
if [ ! -s "$TLS_DIR/cert.pem" ] || [ ! -s "$TLS_DIR/key.pem" ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=localhost" \
    -addext "subjectAltName=DNS:localhost,DNS:$MYHOSTNAME,IP:127.0.0.1,IP:::1" \
    -keyout "$TLS_DIR/key.pem" -out "$TLS_DIR/cert.pem" 2>/dev/null
  chmod 600 "$TLS_DIR/key.pem"; chmod 644 "$TLS_DIR/cert.pem"
fi
mkdir -p /etc/postfix/sasl
cat > /etc/postfix/sasl/smtpd.conf <<EOF2
pwcheck_method: auxprop
auxprop_plugin: sasldb
sasldb_path: /etc/postfix/sasl/sasldb2
mech_list: PLAIN LOGIN CRAM-MD5 DIGEST-MD5
EOF2
printf '%s' "$SASL_PASS" | saslpasswd2 -p -c -f /etc/postfix/sasl/sasldb2 -u "$TEST_DOMAIN" "$SASL_USER"
chown root:postfix /etc/postfix/sasl/sasldb2; chmod 640 /etc/postfix/sasl/sasldb2

# ---------------------------------------------------------------- sink dir
mkdir -p "$SINK_DIR"/{new,cur,tmp}
chown -R 5000:5000 "$SINK_DIR"
chmod 755 "$SINK_DIR" "$SINK_DIR"/{new,cur,tmp}
touch "$LOG_FILE"
[ -f /etc/aliases ] || : > /etc/aliases
grep -q '^postmaster:' /etc/aliases || echo 'postmaster: root' >> /etc/aliases
newaliases >&2

postfix check >&2

# ---------------------------------------------------------------- (re)start
if postfix status >/dev/null 2>&1; then
  log "postfix already running: restarting with current config"
  postfix stop >/dev/null 2>&1 || true
  for _ in $(seq 1 100); do postfix status >/dev/null 2>&1 || break; sleep 0.1; done
fi
t0=$(date +%s%N)
postfix start >/dev/null 2>&1 || { log "postfix start failed"; tail -n 30 "$LOG_FILE" >&2; exit 1; }

# wait until every listener answers with a 220 banner (bounded)
smtp_banner() {  # host port [tls]
  if [ "${3:-}" = tls ]; then
    printf 'QUIT\n' | timeout 5 openssl s_client -quiet -crlf -connect "$1:$2" 2>/dev/null | head -c 3
  else
    timeout 3 bash -c 'exec 3<>"/dev/tcp/$0/$1"; head -c 3 <&3' "$1" "$2" 2>/dev/null
  fi
}
deadline=$(( $(date +%s) + WAIT_SECS ))
for hp in "127.0.0.1 25" "127.0.0.1 $PORT_PLAIN" "127.0.0.1 $PORT_STRICT" "127.0.0.1 $PORT_SUBMIT" "127.0.0.1 $PORT_SMTPS tls"; do
  set -- $hp
  until [ "$(smtp_banner "$@")" = 220 ]; do
    if [ "$(date +%s)" -ge "$deadline" ]; then
      log "timeout waiting for $1:$2"; tail -n 30 "$LOG_FILE" >&2; exit 1
    fi
    sleep 0.2
  done
done
log "ready after $(( ($(date +%s%N) - t0) / 1000000 ))ms"

# machine-readable summary on stdout; every line is safe to `source` (values %q-quoted)
kv() { printf '%s=%q\n' "$1" "$2"; }
kv POSTFIX_READY 1
kv SMTP_HOST 127.0.0.1
kv SMTP_PORT_25 25
kv SMTP_PORT_PLAIN "$PORT_PLAIN"
kv SMTP_PORT_STRICT "$PORT_STRICT"
kv SMTP_PORT_SUBMISSION_STARTTLS_AUTH "$PORT_SUBMIT"
kv SMTP_PORT_SMTPS_AUTH "$PORT_SMTPS"
kv SMTP_AUTH_USER "$SASL_USER"
kv SMTP_AUTH_USER_FQ "$SASL_USER@$TEST_DOMAIN"
kv SMTP_AUTH_PASS "$SASL_PASS"
kv SMTP_TLS_CERT "$TLS_DIR/cert.pem"
kv SMTP_TEST_DOMAIN "$TEST_DOMAIN"
kv SMTP_MYHOSTNAME "$MYHOSTNAME"
kv SMTP_MAILDIR "$SINK_DIR"
kv SMTP_MAILDIR_NEW "$SINK_DIR/new"
kv SMTP_LOG "$LOG_FILE"
