#!/usr/bin/env bash
# start-inn.sh - install (if missing), configure and start a loopback-only INN 2.7
# (Debian 12 package inn2) for tests. Idempotent: a running INN is restarted with
# the (re)written configuration. Needs root. Non-interactive. Bounded waits.
#
#   127.0.0.1:119 + [::1]:119  innd (::1 only if the machine has IPv6 loopback); every loopback TCP client is handed to nnrpd
#                              (reader mode, greeting "200 ... (posting ok)"),
#                              POST allowed WITHOUT auth, IHAVE allowed too;
#                              STARTTLS works (self-signed cert).
#   127.0.0.1:1119             standalone nnrpd: AUTHINFO USER/PASS REQUIRED
#                              (newsuser/newspass via ckpasswd), plaintext allowed.
#   127.0.0.1:1563             standalone nnrpd, implicit TLS (nntps), same auth.
# Groups: local.test, local.test2 (postable), local.nopost (status n: POST -> 441).
# Posted articles land in the tradspool:
#   /var/spool/news/articles/local/test/<article number>   (wire format: CRLF,
#   dot-stuffed, ends with ".\r\n"); read back via NNTP "ARTICLE <msgid>", or
#   /usr/lib/news/bin/sm "$(/usr/lib/news/bin/grephistory '<msgid>')" (native format).
# Sendvale real-server test peer; see README.md in this folder. It rewrites the
# machine's own server configuration: run it on a disposable test machine only.
set -euo pipefail

NNTP_DOMAIN=${NNTP_DOMAIN:-example.test}
PATHHOST=${PATHHOST:-news.example.test}
PORT_AUTH=${PORT_AUTH:-1119}
PORT_TLS=${PORT_TLS:-1563}
NEWS_USER=${NEWS_USER:-newsuser}
NEWS_PASS=${NEWS_PASS:-newspass}
GROUPS_Y=${GROUPS_Y:-"local.test local.test2"}
GROUPS_N=${GROUPS_N:-"local.nopost"}
WAIT_SECS=${WAIT_SECS:-30}
ETC=/etc/news
BIN=/usr/lib/news/bin
TLS_DIR=$ETC/test-tls

export DEBIAN_FRONTEND=noninteractive
APT_OPTS=(-y -q -o DPkg::Lock::Timeout=300 -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold)
log() { printf '[start-inn] %s\n' "$*" >&2; }
[ "$(id -u)" = 0 ] || { log "must run as root"; exit 1; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# set "key: value" in inn.conf (replaces an existing or commented-out line, else appends)
set_conf() {
  local key=$1 val=$2 f=$ETC/inn.conf
  if grep -qE "^#?[[:space:]]*$key:" "$f"; then
    sed -i -E "0,/^#?[[:space:]]*$key:.*/s||$(printf '%-28s %s' "$key:" "$val" | sed 's/[&|]/\\&/g')|" "$f"
  else
    printf '%-28s %s\n' "$key:" "$val" >> "$f"
  fi
}
unset_conf() { sed -i -E "s/^([[:space:]]*$1:)/#\1/" "$ETC/inn.conf"; }

# ---------------------------------------------------------------- install
if ! installed inn2; then
  log "installing inn2"
  t0=$(date +%s)
  # a fresh machine may have no package lists at all: fetch them first
  compgen -G '/var/lib/apt/lists/*_Packages*' >/dev/null || timeout 300 apt-get -q -o DPkg::Lock::Timeout=300 update </dev/null >&2 || true
  if ! timeout 900 apt-get install "${APT_OPTS[@]}" --no-install-recommends inn2 openssl </dev/null >&2; then
    # 1) stale/empty package lists on a fresh machine, or
    # 2) inn2's postinst fails when the host name is not an FQDN:
    #    "innconfval: hostname does not resolve or domain not set in inn.conf".
    #    Fix: set "domain:" in inn.conf, then finish configuring.
    if [ -f $ETC/inn.conf ]; then
      log "inn2 postinst failed (non-FQDN host name?): setting domain and re-configuring"
      set_conf domain "$NNTP_DOMAIN"
      timeout 300 dpkg --configure -a >&2 || true
    fi
    if ! installed inn2; then
      timeout 300 apt-get -q -o DPkg::Lock::Timeout=300 update </dev/null >&2
      timeout 900 apt-get install "${APT_OPTS[@]}" --no-install-recommends inn2 openssl </dev/null >&2 || {
        set_conf domain "$NNTP_DOMAIN"; timeout 300 dpkg --configure -a >&2; }
    fi
  fi
  installed inn2 || { log "inn2 install failed"; exit 1; }
  log "install took $(( $(date +%s) - t0 ))s"
fi

# ---------------------------------------------------------------- stop a running instance
# true if $1 is a live process whose command name is $2 (guards against stale pid
# files whose PID now belongs to something else, e.g. after an abrupt stop)
alive_as() { [ -n "$1" ] && [ -r "/proc/$1/comm" ] && [ "$(cat "/proc/$1/comm" 2>/dev/null)" = "$2" ]; }
stop_all() {   # same as stop-inn.sh: nnrpd daemons by their pid files, innd via ctlinnd
  local p pid pids=() innd_pid=
  for p in /run/news/nnrpd-$PORT_AUTH.pid /run/news/nnrpd-$PORT_TLS.pid; do
    if [ -s "$p" ] && alive_as "$(cat "$p")" nnrpd; then pid=$(cat "$p"); kill "$pid" 2>/dev/null && pids+=("$pid"); fi
    rm -f "$p"
  done
  if [ -s /run/news/innd.pid ] && alive_as "$(cat /run/news/innd.pid)" innd; then
    innd_pid=$(cat /run/news/innd.pid); pids+=("$innd_pid")
    timeout 25 $BIN/ctlinnd -t 20 shutdown 'start-inn.sh restart' >/dev/null 2>&1 || true
  fi
  for pid in "${pids[@]}"; do
    for _ in $(seq 1 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
  done
  rm -f /run/news/innd.pid   # also drops a stale one (rc.news would trust it if its PID were reused)
}
stop_all

# ---------------------------------------------------------------- inn.conf
set_conf domain        "$NNTP_DOMAIN"
set_conf pathhost      "$PATHHOST"
set_conf server        "127.0.0.1"
set_conf bindaddress   "127.0.0.1"
if grep -qi '^0\{31\}1 ' /proc/net/if_inet6 2>/dev/null; then
  set_conf bindaddress6 '"::1"'          # IPv6 values MUST be quoted in inn.conf
else
  unset_conf bindaddress6                # no IPv6 loopback here: IPv4 socket only
fi
set_conf port          119
set_conf doinnwatch    false             # no innwatch background monitor
set_conf nnrpdloadlimit 0                # never refuse readers because of load average
set_conf tlscertfile   "$TLS_DIR/cert.pem"
set_conf tlskeyfile    "$TLS_DIR/key.pem"
unset_conf organization                  # so nnrpd does not add an Organization header

# ---------------------------------------------------------------- TLS cert
mkdir -p "$TLS_DIR"
if [ ! -s "$TLS_DIR/cert.pem" ] || [ ! -s "$TLS_DIR/key.pem" ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=localhost" \
    -addext "subjectAltName=DNS:localhost,DNS:$PATHHOST,IP:127.0.0.1,IP:::1" \
    -keyout "$TLS_DIR/key.pem" -out "$TLS_DIR/cert.pem" 2>/dev/null
fi
chown news:news "$TLS_DIR/key.pem" "$TLS_DIR/cert.pem"; chmod 600 "$TLS_DIR/key.pem"; chmod 644 "$TLS_DIR/cert.pem"

# ---------------------------------------------------------------- peers / readers
cat > $ETC/incoming.conf <<'EOF2'
# test setup: no TCP feed peers, so every loopback TCP connection is handed to
# nnrpd (reader mode). nnrpd passes posts to innd over innd's unix socket.
# (Debian's default lists localhost as peer "ME": loopback clients would then get
#  innd's "200 ... (transit mode)" and "401 MODE-READER" for POST.)
streaming:          true
max-connections:    8
EOF2
if [ "${INN_LOCAL_TRANSIT:-0}" = 1 ]; then   # optional: emulate the stock Debian behaviour
  printf 'peer ME {\n  hostname: "localhost, 127.0.0.1, ::1"\n}\n' >> $ETC/incoming.conf
fi
cat > $ETC/readers.conf <<'EOF2'
# port 119: anonymous loopback clients may read, post (P), IHAVE (I), approve (A)
auth "localhost" {
    hosts: "localhost, 127.0.0.1, ::1, stdin"
    default: "<localhost>"
}
access "localhost" {
    users: "<localhost>"
    newsgroups: "*"
    access: RPIA
    addcanlockuser: none
}
EOF2
cat > $ETC/readers-auth.conf <<EOF2
# standalone nnrpd on :$PORT_AUTH and :$PORT_TLS - nothing without AUTHINFO USER/PASS
auth "testusers" {
    hosts: "*"
    auth: "ckpasswd -f $ETC/passwd.test"
}
access "testusers" {
    users: "$NEWS_USER"
    newsgroups: "*"
    access: RPIA
    addcanlockuser: none
}
EOF2
printf '%s:%s\n' "$NEWS_USER" "$(openssl passwd -6 "$NEWS_PASS")" > $ETC/passwd.test
chown root:news $ETC/passwd.test $ETC/readers-auth.conf; chmod 640 $ETC/passwd.test
$BIN/innconfval -C >/dev/null   # syntax check of inn.conf (fails loudly)

# ---------------------------------------------------------------- start
t0=$(date +%s%N)
/etc/init.d/inn2 start >/dev/null 2>&1 || true   # NB: the init script exits 0 even on failure
nntp_greeting() {  # host port [tls]
  if [ "${3:-}" = tls ]; then
    printf 'QUIT\n' | timeout 5 openssl s_client -quiet -crlf -connect "$1:$2" 2>/dev/null | head -c 3
  else
    timeout 3 bash -c 'exec 3<>"/dev/tcp/$0/$1"; head -c 3 <&3; printf "QUIT\r\n" >&3' "$1" "$2" 2>/dev/null
  fi
}
wait_greeting() {
  local deadline=$(( $(date +%s) + WAIT_SECS ))
  until [ "$(nntp_greeting "$@")" = 200 ]; do
    if [ "$(date +%s)" -ge "$deadline" ]; then
      log "timeout waiting for NNTP on $1:$2"; cat /var/log/news/rc.news /var/log/news/errlog >&2 2>/dev/null || true; exit 1
    fi
    sleep 0.2
  done
}
wait_greeting 127.0.0.1 119

# groups (ctlinnd needs a running innd)
ensure_group() {  # name status(y|n|m)
  local cur; cur=$(awk -v g="$1" '$1 == g { print $4 }' /var/lib/news/active)
  if [ -z "$cur" ]; then $BIN/ctlinnd -t 20 newgroup "$1" "$2" start-inn >/dev/null
  elif [ "$cur" != "$2" ]; then $BIN/ctlinnd -t 20 changegroup "$1" "$2" >/dev/null; fi
}
for g in $GROUPS_Y; do ensure_group "$g" y; done
for g in $GROUPS_N; do ensure_group "$g" n; done

# standalone reader daemons (run as news; they write /run/news/nnrpd-<port>.pid)
runuser -u news -- $BIN/nnrpd -D -p "$PORT_AUTH" -4 127.0.0.1 -c readers-auth.conf
runuser -u news -- $BIN/nnrpd -D -S -p "$PORT_TLS" -4 127.0.0.1 -c readers-auth.conf
wait_greeting 127.0.0.1 "$PORT_AUTH"
wait_greeting 127.0.0.1 "$PORT_TLS" tls
log "ready after $(( ($(date +%s%N) - t0) / 1000000 ))ms"

# machine-readable summary on stdout; every line is safe to `source` (values %q-quoted)
kv() { printf '%s=%q\n' "$1" "$2"; }
kv INN_READY 1
kv NNTP_HOST 127.0.0.1
kv NNTP_PORT 119
kv NNTP_PORT_AUTH "$PORT_AUTH"
kv NNTP_PORT_TLS_AUTH "$PORT_TLS"
kv NNTP_AUTH_USER "$NEWS_USER"
kv NNTP_AUTH_PASS "$NEWS_PASS"
kv NNTP_TLS_CERT "$TLS_DIR/cert.pem"
kv NNTP_GROUPS "$GROUPS_Y"
kv NNTP_NOPOST_GROUPS "$GROUPS_N"
kv NNTP_SPOOL /var/spool/news/articles      # <spool>/local/test/<article number>, wire format
kv NNTP_GREPHISTORY $BIN/grephistory        # grephistory '<msgid>' -> storage token
kv NNTP_SM $BIN/sm                          # sm TOKEN -> article (native LF format)
