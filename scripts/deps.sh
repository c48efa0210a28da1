#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine (run as root).
# With --real-servers also the Postfix and INN packages (the suite's start
# scripts install and configure those themselves); with --windows the
# MinGW-w64 cross compiler and Wine.
set -euo pipefail
pkgs=(cmake g++ make libgtest-dev libgmock-dev python3 time)
for arg in "$@"; do
  case "$arg" in
    --windows) pkgs+=(g++-mingw-w64-x86-64 wine64) ;;
    --real-servers) ;;
    *) echo "deps.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y -o DPkg::Lock::Timeout=300 --no-install-recommends "${pkgs[@]}"
