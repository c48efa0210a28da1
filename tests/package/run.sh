#!/usr/bin/env bash
# The Debian package: builds it, installs it into this machine with apt-get
# (root only: use a disposable machine, as CI does), runs both programs from
# /usr/bin as a fresh user would, and removes it again unless it was there.
#   tests/package/run.sh [BUILD_DIR]
set -uo pipefail
cd "$(dirname "$0")/../.."
dir=${1:-build}
passed=0 failed=0
check() {  # name command...
  local name=$1; shift
  if "$@"; then echo "ok: $name"; passed=$((passed + 1)); else echo "FAILED: $name"; failed=$((failed + 1)); fi
}
finish() { echo "$passed passed, $failed failed"; [ "$failed" -eq 0 ]; exit; }
[ "$(id -u)" = 0 ] || { echo "the package suite needs root"; failed=1; finish; }
dpkg -s sendvale >/dev/null 2>&1 && was_installed=1 || was_installed=0
install() {
  scripts/package.sh "$dir" >/dev/null && (cd "$dir" && DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -o DPkg::Lock::Timeout=300 ./sendvale_*.deb >apt.log 2>&1 || { cat apt.log; false; })
}
check "package built and installed with apt-get" install
[ "$failed" -eq 0 ] || finish
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work
unset SENDVALE_PROFILE XDG_CONFIG_HOME SENDVALE_MIME_TYPES
check "manual pages and copyright" test -f /usr/share/man/man1/sendvale.1 -a -f /usr/share/man/man1/reportsubject.1 \
  -a -f /usr/share/doc/sendvale/copyright
check "sendvale --version without a profile" bash -c "/usr/bin/sendvale --version | tr '\n' '|' \
  | grep -qx 'Sendvale 1.10a|TLS: OpenSSL 3[^|]*|Profile: $work/.config/sendvale/sendvale.ini|'"
# reportsubject writes the report's first line to subject.txt in the current folder.
check "reportsubject takes the first line" bash -c "cd '$work' && printf 'Weekly figures 42\r\nbody\n' >r.txt \
  && /usr/bin/reportsubject r.txt && [ \"\$(cat subject.txt)\" = 'Weekly figures 42' ]"
mkdir -p "$work/.config/sendvale" && printf '[Setup]\nHOST=127.0.0.1:1\nReturn Address=me@example.com\n' \
  >"$work/.config/sendvale/sendvale.ini" && printf '%%PDF-1.4\n' >"$work/a.pdf"
check "content types from /etc/mime.types" bash -c "cd '$work' && /usr/bin/sendvale -n -ia.pdf a@example.com \
  </dev/null | grep -qi '^Content-Type: application/pdf;'"
[ "$was_installed" = 1 ] || dpkg -r sendvale >/dev/null
finish
