#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a normal build in build/ and an
# AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/.
#   SENDVALE_REAL_SERVERS=1  also run the suite against real Postfix and INN
#                            (needs root: the servers are installed, started
#                            and stopped by the suite's own scripts)
#   SENDVALE_WINE=1          also cross-build for Windows and run the Wine suite
#   SENDVALE_PACKAGE=1       also build the Debian package, install it with
#                            apt-get (needs root) and run both programs from
#                            /usr/bin
#   SENDVALE_FUZZ=1          also build the fuzz targets with clang, replay
#                            their corpora and fuzz each for 60 seconds
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
status=0
passed=0
failed=0
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# Adds a suite's counts to the totals: CTest's summary or an "N passed, N
# failed" line; a suite that printed neither (a failed build) counts as one
# failure.
tally() {  # log-file exit-status
  local line p f
  line=$(grep -E 'tests failed out of [0-9]+|^[0-9]+ passed, [0-9]+ failed' "$1" | tail -n 1)
  if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    f=${BASH_REMATCH[1]}; p=$((BASH_REMATCH[2] - f))
  elif [[ $line =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed ]]; then
    p=${BASH_REMATCH[1]}; f=${BASH_REMATCH[2]}
  else
    p=0; f=1
  fi
  [ "$2" -ne 0 ] && [ "$f" -eq 0 ] && f=1
  passed=$((passed + p)); failed=$((failed + f))
  [ "$2" -eq 0 ] || status=1
}

# Runs a suite with its output shown and kept for tally.
suite() {  # name command...
  local name=$1 rc; shift
  "$@" 2>&1 | tee "$logs/$name.log"
  rc=${PIPESTATUS[0]}
  tally "$logs/$name.log" "$rc"
}

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
suite normal run_suite normal build
suite sanitizers run_suite sanitizers build-asan -DSENDVALE_SANITIZE=ON
if [ "${SENDVALE_PACKAGE:-0}" = 1 ]; then
  echo "== package: build, install and run"
  suite package tests/package/run.sh build
fi

# The Windows build comes first, so its real-server cases can run while the
# real servers are up.
wine_built=0
if [ "${SENDVALE_WINE:-0}" = 1 ]; then
  echo "== windows: cross-build in build-win"
  mkdir -p build-win
  if { cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >build-win/configure.log 2>&1 \
        || { cat build-win/configure.log; false; }; } && cmake --build build-win -j"$jobs"; then
    wine_built=1
  else
    echo "windows build failed"; failed=$((failed + 1)); status=1
  fi
fi
if [ "${SENDVALE_REAL_SERVERS:-0}" = 1 ]; then
  if [ -x tests/realservers/run.sh ]; then
    if [ "$wine_built" = 1 ]; then export SENDVALE_WINE_BUILD=$PWD/build-win; fi
    suite realservers tests/realservers/run.sh build
    unset SENDVALE_WINE_BUILD
  else
    echo "real-server suite not present"; status=1
  fi
fi
if [ "$wine_built" = 1 ]; then
  echo "== windows: the Wine suite"
  suite wine tests/wine/run.sh build build-win
fi
if [ "${SENDVALE_FUZZ:-0}" = 1 ]; then
  echo "== fuzz: corpora, then 60 seconds per target"
  suite fuzz scripts/fuzz.sh 60
fi
echo "== all suites"
echo "$passed passed, $failed failed"
exit $status
