#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine (run as root):
# media-types gives the /etc/mime.types that attachment content types come
# from, dpkg-dev the dependency scan of the Debian package.
#   --windows       also the MinGW-w64 cross compiler and Wine
#   --real-servers  nothing more here: the real-server suite's own start
#                   scripts install and configure Postfix and INN
#   --bench         the peers bench/send.sh compares with (s-nail, curl)
#   --fuzz          clang and its libFuzzer runtime, for scripts/fuzz.sh
set -euo pipefail
base=(cmake g++ make libgtest-dev libgmock-dev libssl-dev openssl python3 time media-types dpkg-dev)
extra=()
for arg in "$@"; do
  case "$arg" in
    --windows) extra+=(g++-mingw-w64-x86-64 wine64) ;;
    --real-servers) ;;
    --bench) extra+=(s-nail curl) ;;
    --fuzz) extra+=(clang libclang-rt-14-dev) ;;
    *) echo "deps.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done
export DEBIAN_FRONTEND=noninteractive
apt_install() { apt-get install -y -o DPkg::Lock::Timeout=300 "$@"; }
apt-get update
apt_install --no-install-recommends "${base[@]}"
# Wine is tested with its recommended packages, so it gets them here too.
if [ ${#extra[@]} -gt 0 ]; then apt_install "${extra[@]}"; fi
