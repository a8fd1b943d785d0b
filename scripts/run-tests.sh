#!/usr/bin/env bash
# Installs what the tests need (on Debian, as root), builds with AddressSanitizer
# and UndefinedBehaviorSanitizer, runs every test, fuzzes the dump reader for a
# minute, then cross-builds the Windows program and exercises it under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq || true
  apt-get install -y -qq --no-install-recommends cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev python3 >/dev/null
fi

echo "== Linux build and tests (AddressSanitizer, UndefinedBehaviorSanitizer)"
cmake -S . -B build-test -G Ninja -DVEXMORA_TESTS=ON -DVEXMORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build build-test
ctest --test-dir build-test --output-on-failure

echo "== Clang build, warnings as errors"
cmake -S . -B build-clang -G Ninja -DVEXMORA_TESTS=ON -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-clang

echo "== Fuzzing the dump reader (bounded; scripts/fuzz.sh SECONDS runs it longer)"
bash scripts/fuzz.sh "${VEXMORA_FUZZ_SECONDS:-60}"

echo "== Windows program"
bash scripts/windows-check.sh
