#!/usr/bin/env bash
# Installs what the tests need (on Debian, as root), builds with AddressSanitizer
# and UndefinedBehaviorSanitizer, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq || true
  apt-get install -y -qq --no-install-recommends cmake ninja-build g++ clang libgtest-dev >/dev/null
fi

cmake -S . -B build-test -G Ninja -DVEXMORA_TESTS=ON -DVEXMORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build build-test
ctest --test-dir build-test --output-on-failure
