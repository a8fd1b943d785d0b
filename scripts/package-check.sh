#!/usr/bin/env bash
# Builds the release programs as the README's first command does, then checks
# what is shipped: both programs static, the version, the manual page, what
# `cmake --install` puts under a prefix, and the .deb: it installs with apt,
# runs, and leaves nothing behind once removed.
#
# Installing the .deb needs root and apt-get; without them that part is left
# out and the script exits 77 after the other checks pass.
# Exits non-zero when any check fails; every check prints "ok" or "FAIL".
set -euo pipefail
cd "$(dirname "$0")/.."

failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}

build=build
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
work=$(mktemp -d)
installed_by_us=0
cleanup() {
  if [ "$installed_by_us" = 1 ]; then apt-get remove -y -qq vexmora >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A static program has neither a dynamic section nor a program interpreter.
self_contained() {
  local ldd_says
  ldd_says=$(LC_ALL=C ldd "$1" 2>&1 || true)  # ldd fails on a static program
  ! readelf -d "$1" | grep -q 'NEEDED' && ! readelf -l "$1" | grep -q 'INTERP' &&
    grep -q 'not a dynamic executable' <<<"$ldd_says"
}
for program in vexmora vexmora-replay; do
  check "$program loads no shared library" self_contained "$build/$program"
done
check "vexmora-replay --version says $version" test "$("$build/vexmora-replay" --version)" = "vexmora-replay $version"

man_warnings() { man --warnings -l doc/vexmora.1 2>&1 >/dev/null; }
check "the manual page renders without warnings" test -z "$(man_warnings)"
check "the manual page renders" grep -q 'vexmora-replay' <(MANWIDTH=80 man -l doc/vexmora.1 2>/dev/null)

cmake --install "$build" --prefix "$work/prefix" >/dev/null
installed=$(cd "$work/prefix" && find . -type f | sort | tr '\n' ' ')
check "cmake --install puts the two programs and the manual page under the prefix" \
  test "$installed" = "./bin/vexmora ./bin/vexmora-replay ./share/man/man1/vexmora.1 "

if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
  echo "--   the .deb install left out: it needs root and apt-get"
  [ "$failures" = 0 ] && exit 77
  echo "package-check: $failures checks failed"
  exit 1
fi

rm -f "$build"/vexmora_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/vexmora_"$version"_*.deb)
echo "$(basename "$deb"):"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print "     " $NF}'
check "the .deb carries the version $version" test "$(dpkg-deb -f "$deb" Version)" = "$version"

# Another engineer's apt may hold the lock for a while.
apt_get() { apt-get -o DPkg::Lock::Timeout=300 -y -qq "$@" >>"$work/apt.log" 2>&1; }
installed_by_us=1
check "apt-get installs the .deb" apt_get install "$(realpath "$deb")"
files=$(dpkg -L vexmora | while read -r path; do [ -f "$path" ] && echo "$path"; done)
echo "installed files:"; sed 's/^/     /' <<<"$files"
check "the package installs /usr/bin/vexmora" grep -qx /usr/bin/vexmora <<<"$files"
check "the installed vexmora runs and prints its banner first" \
  test "$(timeout 60 /usr/bin/vexmora </dev/null 2>/dev/null | head -n 1)" = "Vexmora 91"
check "apt-get removes the package" apt_get remove vexmora
installed_by_us=0
left_behind() { while read -r path; do [ ! -e "$path" ] || return 1; done <<<"$files"; }
check "no installed file is left behind" left_behind
check "dpkg no longer knows the package" \
  test "$(dpkg-query -W -f='${db:Status-Status}' vexmora 2>/dev/null || echo not-installed)" = not-installed

if [ "$failures" = 0 ]; then
  echo "package-check: all checks passed"
else
  [ ! -s "$work/apt.log" ] || cat "$work/apt.log"
  echo "package-check: $failures checks failed"
  exit 1
fi
