#!/usr/bin/env bash
# The Debian package: builds it, installs it into this machine with apt-get
# (root only: use a disposable machine, as CI does), runs both programs from
# /usr/bin, and removes it again when it was not installed before.
#   tests/package/run.sh [BUILD_DIR]
set -uo pipefail
cd "$(dirname "$0")/../.."
dir=${1:-build}
passed=0
failed=0
check() {  # name command...
  local name=$1; shift
  if "$@"; then echo "ok: $name"; passed=$((passed + 1)); else echo "FAILED: $name"; failed=$((failed + 1)); fi
}
finish() { echo "$passed passed, $failed failed"; [ "$failed" -eq 0 ]; exit; }

if [ "$(id -u)" != 0 ]; then echo "the package suite needs root"; failed=1; finish; fi
built() { scripts/package.sh "$1" >/dev/null; }
check "package built" built "$dir"
[ "$failed" -eq 0 ] || finish
was_installed=0
dpkg -s sendvale >/dev/null 2>&1 && was_installed=1
check "installed with apt-get" bash -c "cd '$dir' && DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -o DPkg::Lock::Timeout=300 ./sendvale_*.deb >apt.log 2>&1 || { cat apt.log; false; }"
[ "$failed" -eq 0 ] || finish

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A fresh user: no profile, the system's content-type database.
export HOME=$work
unset SENDVALE_PROFILE XDG_CONFIG_HOME SENDVALE_MIME_TYPES
check "files in place" test -f /usr/share/man/man1/sendvale.1 -a -f /usr/share/man/man1/reportsubject.1 \
  -a -f /usr/share/doc/sendvale/copyright
version() {
  /usr/bin/sendvale --version >"$work/version" || return 1
  grep -qx 'Sendvale 1.10a' "$work/version" && grep -q '^TLS: OpenSSL 3' "$work/version" \
    && grep -qx "Profile: $work/.config/sendvale/sendvale.ini" "$work/version"
}
check "sendvale --version without a profile" version
# reportsubject writes the report's first line to subject.txt in the current folder.
report() {
  (cd "$work" && printf 'Weekly figures 42\r\nbody\n' >report.txt && /usr/bin/reportsubject report.txt) || return 1
  [ "$(cat "$work/subject.txt")" = "Weekly figures 42" ]
}
check "reportsubject takes the first line" report
dry_run() {
  mkdir -p "$work/.config/sendvale"
  printf '[Setup]\nHOST=127.0.0.1:1\nReturn Address=me@example.com\n' >"$work/.config/sendvale/sendvale.ini"
  printf '%%PDF-1.4\n' >"$work/a.pdf"
  (cd "$work" && /usr/bin/sendvale -n -ia.pdf ops@example.com </dev/null >"$work/message") || return 1
  grep -qi '^Content-Type: application/pdf;' "$work/message"
}
check "dry run finds content types in /etc/mime.types" dry_run

if [ "$was_installed" = 0 ]; then dpkg -r sendvale >/dev/null; fi
finish
