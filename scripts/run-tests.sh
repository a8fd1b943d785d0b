#!/usr/bin/env bash
# Installs what the tests need (on Debian, as root), then runs every stage:
#   Linux tests      built optimised with AddressSanitizer and UndefinedBehaviorSanitizer
#   Clang tests      a Clang release build, static programs
#   thread tests     the Linux layer's thread and timing tests under ThreadSanitizer
#   fuzz             the dump reader for a minute (VEXMORA_FUZZ_SECONDS)
#   Windows checks   the cross-built program, its zip, and runs under Wine
#   package check    static programs, manual pages, cmake --install, the .deb
#                    (lintian, and installed in a throwaway root, never the system's)
# Builds, test runs and the fuzzer write their details to log files beside
# their builds; the console gets each stage's result lines, a progress line
# for every fifth of a build or a test run (or each minute), and, at the end, a
# summary. Its builds make warnings errors (VEXMORA_WERROR); the package check
# builds as a user does, without. Exits non-zero when any stage failed.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  # Another apt on the same machine may hold the lock for a while.
  apt-get -o DPkg::Lock::Timeout=600 update -qq || true
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev \
    python3 python3-jsonschema man-db groff-base lintian >/dev/null
fi

# progress WHAT: reads ninja's "[N/M] ..." or ctest's "N/M Test #..." lines
# and prints one line each time another fifth of them is done, or a minute
# has gone by since the last one: a sign of life, never a flood.
progress() {
  local what=$1 line done total fifth shown=0 start=$SECONDS last=$SECONDS
  while IFS= read -r line; do
    if [[ $line =~ ^\[([0-9]+)/([0-9]+)\]\  ]] || [[ $line =~ ^\ *([0-9]+)/([0-9]+)\ Test\  ]]; then
      done=${BASH_REMATCH[1]} total=${BASH_REMATCH[2]}
      fifth=$((done * 5 / total))
      if [ "$fifth" -gt "$shown" ] || [ $((SECONDS - last)) -ge 60 ]; then
        shown=$fifth last=$SECONDS
        printf '   %s: %d of %d (%d %%) after %dm%02ds\n' "$what" "$done" "$total" $((done * 100 / total)) \
          $(((SECONDS - start) / 60)) $(((SECONDS - start) % 60))
      fi
    fi
  done
}

# build DIR CMAKE-OPTIONS... [-- TARGETS...]: configure and build, with
# warnings as errors, the compiler's output in DIR/build.log, shown when the
# build fails; the console gets the build's progress.
build() {
  local dir=$1; shift
  local options=() targets=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do options+=("$1"); shift; done
  [ $# -gt 0 ] && shift && targets=(--target "$@")
  cmake -S . -B "$dir" -G Ninja -DVEXMORA_WERROR=ON "${options[@]}" >/dev/null
  if ! cmake --build "$dir" "${targets[@]}" 2>&1 | tee "$dir/build.log" | progress "build steps"; then
    cat "$dir/build.log"
    return 1
  fi
}

# run_ctest DIR: every test, the details in DIR/ctest.log, the progress on
# the console; prints ctest's closing lines, or on a failure the failing
# tests' output and those lines.
run_ctest() {
  local log=$1/ctest.log
  if ctest --test-dir "$1" --output-on-failure 2>&1 | tee "$log" | progress "tests"; then
    sed -n '/tests passed/,$p' "$log" | grep -v '^$'
  else
    grep -vE '^ *Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed |^Internal ctest|^Test project ' "$log"
    return 1
  fi
}

# Optimised: GCC gives some warnings (string truncation, bounds) only at -O2.
linux_tests() {
  build build-test -DVEXMORA_TESTS=ON -DVEXMORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
  run_ctest build-test
}

clang_tests() {
  build build-clang -DVEXMORA_TESTS=ON -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
  run_ctest build-clang
}

thread_tests() {
  build build-tsan -DVEXMORA_TESTS=ON -DVEXMORA_TSAN=ON -DCMAKE_BUILD_TYPE=Debug \
    -- linux_layer_tests linux_timing_tests
  local suite
  for suite in linux_layer_tests linux_timing_tests; do
    if ! TSAN_OPTIONS=halt_on_error=1 "build-tsan/tests/$suite" >"build-tsan/$suite.log" 2>&1; then
      cat "build-tsan/$suite.log"
      return 1
    fi
    echo "$suite: $(grep -F '[  PASSED  ]' "build-tsan/$suite.log")"
  done
}

fuzz() {
  bash scripts/fuzz.sh "${VEXMORA_FUZZ_SECONDS:-60}"
}

windows_checks() {
  mkdir -p build-windows
  local log=build-windows/windows-check.log
  # The checks and the zip's contents as they come; the reports under Wine stay in the log.
  if ! bash scripts/windows-check.sh 2>&1 | tee "$log" | grep --line-buffered -E '^(ok|FAIL|==|windows-check:|\./)'; then
    echo "-- the whole log, $log:"
    cat "$log"
    return 1
  fi
}

package_check() {
  bash scripts/package-check.sh
}

results=()
failed=0
# stage NAME FUNCTION: runs it with errexit on; 77 means skipped.
stage() {
  local name=$1 start=$SECONDS status=0 result
  echo "== $name"
  set +e
  (set -e; "$2")
  status=$?
  set -e
  case $status in
    0) result=passed ;;
    77) result=skipped ;;
    *) result=FAILED; failed=1 ;;
  esac
  local took=$((SECONDS - start))
  results+=("$(printf '%-34s %-8s %dm%02ds' "$name" "$result" $((took / 60)) $((took % 60)))")
}

stage "Linux tests (ASan, UBSan)" linux_tests
stage "Clang tests (release, static)" clang_tests
stage "thread tests (ThreadSanitizer)" thread_tests
stage "fuzz (dump reader)" fuzz
stage "Windows checks" windows_checks
stage "package check" package_check

echo "== Summary"
printf '%s\n' "${results[@]}"
# A stage that passed with part of it left out says so here too.
sed -n -e 's/^== Wine runs skipped: /  Windows checks: no Wine run, /p' \
  -e 's/^== Wine runs left out: /  Windows checks: left out /p' build-windows/windows-check.log 2>/dev/null || true
exit "$failed"
