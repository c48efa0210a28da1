#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a normal build in build/ and an
# AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/.
#   SENDVALE_REAL_SERVERS=1  also run the suite against real Postfix and INN
#                            (needs root: the servers are installed, started
#                            and stopped by the suite's own scripts)
#   SENDVALE_WINE=1          also cross-build for Windows and run the Wine suite
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
status=0

run_suite() {  # name build-dir cmake-args...
  local name=$1 dir=$2; shift 2
  echo "== $name: configure and build in $dir"; mkdir -p "$dir"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir/configure.log" 2>&1 \
    || { cat "$dir/configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs" || return 1
  echo "== $name: tests"
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure -LE 'realservers|wine' --timeout 300
}

mkdir -p build build-asan
run_suite normal build || status=1
run_suite sanitizers build-asan -DSENDVALE_SANITIZE=ON || status=1

if [ "${SENDVALE_REAL_SERVERS:-0}" = 1 ]; then
  if [ -x tests/realservers/run.sh ]; then
    tests/realservers/run.sh build || status=1
  else
    echo "real-server suite not present"; status=1
  fi
fi
if [ "${SENDVALE_WINE:-0}" = 1 ]; then
  echo "== windows: cross-build in build-win and run the Wine suite"
  mkdir -p build-win
  if cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >build-win/configure.log 2>&1 \
      || { cat build-win/configure.log; false; }; then
    cmake --build build-win -j"$jobs" && tests/wine/run.sh build build-win || status=1
  else
    status=1
  fi
fi
exit $status
