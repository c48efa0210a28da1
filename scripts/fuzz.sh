#!/usr/bin/env bash
# Builds the fuzz targets with clang in build-fuzz/, replays each target's
# committed corpus, then fuzzes every target for a while, two at a time.
# Ends with "N passed, N failed", one count per target; a crash, leak,
# time-out or running out of memory fails it, and its input is kept in
# build-fuzz/findings/ (add it to tests/fuzz/corpus/NAME/ with the fix).
#   scripts/fuzz.sh [SECONDS]   (default 60 per target)
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz
limits=(-timeout=5 -rss_limit_mb=1024)
mkdir -p "$build"
if ! CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSENDVALE_FUZZ=ON \
      >"$build/configure.log" 2>&1; then
  cat "$build/configure.log"; echo "0 passed, 1 failed"; exit 1
fi
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" || { echo "0 passed, 1 failed"; exit 1; }
targets=()
for src in tests/fuzz/*.cpp; do targets+=("$(basename "$src" .cpp)"); done
rm -rf "$build/findings" "$build/work"
mkdir -p "$build/findings" "$build/work"

# One target: the corpus replayed, then fuzzing on a copy of it, so the
# committed corpus never changes by itself. Its log is build-fuzz/work/NAME.log.
run() {  # name
  local name=$1 program=$PWD/$build/fuzz/$1 log=$build/work/$1.log
  mkdir -p "$build/work/$name"
  {
    "$program" "${limits[@]}" -runs=0 "tests/fuzz/corpus/$name" &&
      "$program" "${limits[@]}" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/findings/$name-" "$build/work/$name" "tests/fuzz/corpus/$name"
  } >"$log" 2>&1
}

passed=0
failed=0
report() {  # name status
  local runs
  runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$build/work/$1.log" | grep -o '[0-9]*$')
  if [ "$2" -eq 0 ]; then
    echo "ok     $1 (${runs:-?} executions)"; passed=$((passed + 1))
  else
    echo "FAIL   $1"; grep -E 'invariant broken|ERROR:|SUMMARY|Test unit written' -A1 "$build/work/$1.log" | head -n 20
    failed=$((failed + 1))
  fi
}
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pids=()
  for name in "${targets[@]:i:2}"; do run "$name" & pids+=($!); done
  k=0
  for name in "${targets[@]:i:2}"; do wait "${pids[k]}"; report "$name" $?; k=$((k + 1)); done
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
