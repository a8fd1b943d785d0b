#!/usr/bin/env bash
# Builds the dump reader's fuzz target with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs it for a bounded time.
#
#   scripts/fuzz.sh            60 seconds
#   scripts/fuzz.sh 3600       an hour; FUZZ_SECONDS works too
#   FUZZ_FLAGS="-jobs=4 -workers=4" scripts/fuzz.sh 3600   more libFuzzer flags
#
# Inputs that reach new code are kept in build-fuzz/corpus and reused by the
# next run; fuzz/corpus holds the seeds. A crash, leak or sanitizer report
# stops the run with a non-zero status and leaves the input in build-fuzz/.
# The fuzzer's progress goes to build-fuzz/fuzz.log; the script prints a line
# when the build is done, then one with the executions, the seconds, the rate
# and the result (and the log's end on a failure).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-${FUZZ_SECONDS:-60}}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DVEXMORA_FUZZ=ON -DVEXMORA_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if ! cmake --build build-fuzz --target dump_fuzzer -- -j2 >build-fuzz/build.log 2>&1; then
  cat build-fuzz/build.log
  exit 1
fi

mkdir -p build-fuzz/corpus
log=build-fuzz/fuzz.log
echo "fuzz: built; running for $seconds s"
status=0
# shellcheck disable=SC2086
build-fuzz/fuzz/dump_fuzzer -max_total_time="$seconds" -print_final_stats=1 -dict=fuzz/dump.dict \
  -artifact_prefix=build-fuzz/ ${FUZZ_FLAGS:-} build-fuzz/corpus fuzz/corpus >"$log" 2>&1 || status=$?

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
rate=?
[ -n "$executions" ] && [ "${took:-0}" -gt 0 ] && rate=$((executions / took))
if [ "$status" = 0 ]; then
  echo "fuzz: ${executions:-?} executions in ${took:-$seconds} s ($rate a second): no crash, leak or sanitizer report (log: $log)"
else
  tail -n 40 "$log"
  echo "fuzz: FAILED with status $status after ${executions:-?} executions: see $log and the input in build-fuzz/"
fi
exit "$status"
