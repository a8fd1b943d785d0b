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
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-${FUZZ_SECONDS:-60}}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DVEXMORA_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz --target dump_fuzzer -- -j2

mkdir -p build-fuzz/corpus
# shellcheck disable=SC2086
build-fuzz/fuzz/dump_fuzzer -max_total_time="$seconds" -print_final_stats=1 -dict=fuzz/dump.dict \
  -artifact_prefix=build-fuzz/ ${FUZZ_FLAGS:-} build-fuzz/corpus fuzz/corpus
