#!/usr/bin/env bash
# Builds the release programs as the README's first command does, then checks
# what is shipped: both programs static, the versions, the manual pages, the
# licence, what `cmake --install` puts under a prefix, and the .deb that
# `cpack -G DEB` makes: lintian finds nothing to say about it, and it installs,
# runs, shows its manual pages and leaves nothing behind once removed.
#
# The .deb is installed with `dpkg --root` into a throwaway directory, never
# into this system: a vexmora package the user installed stays as it was, and
# no root or apt is needed. Without dpkg-deb and dpkg, or without lintian, that
# part is left out, saying so, and the script exits 77 after the other checks
# pass. Exits non-zero when any check fails; every check prints "ok" or "FAIL".
set -euo pipefail
cd "$(dirname "$0")/.."

failures=0
left_out=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
leave_out() { echo "--   $1"; left_out=1; }
finish() {
  if [ "$failures" != 0 ]; then
    [ ! -s "$work/dpkg.log" ] || cat "$work/dpkg.log"
    echo "package-check: $failures checks failed"
    exit 1
  fi
  [ "$left_out" = 0 ] || exit 77
  echo "package-check: all checks passed"
  exit 0
}

build=build
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The user's own vexmora package, if any: this script must leave it as it was.
user_installation() {
  dpkg-query -W -f='${db:Status-Abbrev} ${Version}\n' vexmora 2>/dev/null || echo "no package"
  [ ! -e /usr/bin/vexmora ] || md5sum /usr/bin/vexmora
}
user_before=$(user_installation)

# A static program has neither a dynamic section nor a program interpreter.
self_contained() {
  local ldd_says
  ldd_says=$(LC_ALL=C ldd "$1" 2>&1 || true)  # ldd fails on a static program
  ! readelf -d "$1" | grep -q 'NEEDED' && ! readelf -l "$1" | grep -q 'INTERP' &&
    grep -q 'not a dynamic executable' <<<"$ldd_says"
}
for program in vexmora vexmora-replay; do
  check "$program loads no shared library" self_contained "$build/$program"
  check "$program --version says $version" test "$("$build/$program" --version)" = "$program $version"
done

man_warnings() { man --warnings -l "$1" 2>&1 >/dev/null; }
for page in doc/vexmora.1 doc/vexmora-replay.1; do
  check "$page renders without warnings" test -z "$(man_warnings "$page")"
done
check "the French page names the replay tool" grep -q 'vexmora-replay' <(MANWIDTH=80 man -l doc/vexmora.1 2>/dev/null)

check "LICENSE is the MIT licence of the Vexmora developers" \
  test "$(sed -n '1p;3p' LICENSE)" = "$(printf 'MIT License\nCopyright (c) 2026 The Vexmora developers')"

cmake --install "$build" --prefix "$work/prefix" >/dev/null
installed=$(cd "$work/prefix" && find . -type f | sort | tr '\n' ' ')
check "cmake --install puts the programs, the manual pages, the licence, the changelog and the JSON schema under the prefix" \
  test "$installed" = "./bin/vexmora ./bin/vexmora-replay ./share/doc/vexmora/changelog.gz \
./share/doc/vexmora/copyright ./share/doc/vexmora/vexmora.schema.json ./share/man/man1/vexmora-replay.1.gz \
./share/man/man1/vexmora.1.gz "
# The terms of the copyright file's stand-alone Expat paragraph, as plain text.
copyright_terms() { sed -n '/^License: Expat$/{n;/^ /{:t;p;n;/^ /bt}}' "$1" | sed 's/^ //; s/^\.$//'; }
check "the copyright file carries LICENSE's terms" \
  test "$(copyright_terms "$work/prefix/share/doc/vexmora/copyright")" = "$(tail -n +5 LICENSE)"
check "the changelog's newest entry is $version" \
  test "$(zcat "$work/prefix/share/doc/vexmora/changelog.gz" | head -n 1)" = "vexmora ($version) unstable; urgency=medium"

if ! command -v dpkg-deb >/dev/null || ! command -v dpkg >/dev/null; then
  leave_out "the .deb left out: it needs dpkg-deb and dpkg"
  finish
fi

rm -f "$build"/vexmora_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/vexmora_"$version"_*.deb)
echo "$(basename "$deb"):"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print "     " $NF}'
check "the .deb carries the version $version" test "$(dpkg-deb -f "$deb" Version)" = "$version"

if command -v lintian >/dev/null; then
  lintian_says=$(lintian --fail-on error,warning "$deb" 2>"$work/lintian.err") || echo "     lintian: $(cat "$work/lintian.err")"
  [ -z "$lintian_says" ] || sed 's/^/     /' <<<"$lintian_says"
  check "lintian reports no error and no warning" test -z "$(grep -v '^[IPN]:' <<<"$lintian_says")"
else
  leave_out "lintian left out: not installed (apt-get install lintian)"
fi

# A root of its own: an empty dpkg database, dpkg's log beside it, and every
# path of the package kept even where this host's dpkg configuration leaves out
# manual pages or documents, as slim images do.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
in_root() { dpkg --root="$root" --log="$work/dpkg.log" --force-not-root --path-include='*' "$@" >>"$work/dpkg.log" 2>&1; }
package_state() { dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${db:Status-Status}' vexmora 2>/dev/null || echo not-installed; }

check "dpkg installs the .deb in a throwaway root" in_root --install "$deb"
files=$(dpkg-query --admindir="$root/var/lib/dpkg" -L vexmora | while read -r path; do [ ! -f "$root$path" ] || echo "$path"; done)
echo "installed files:"; sed 's/^/     /' <<<"$files"
check "the package installs /usr/bin/vexmora" grep -qx /usr/bin/vexmora <<<"$files"
check "the installed vexmora runs and prints its banner first" \
  test "$(timeout 60 "$root/usr/bin/vexmora" </dev/null 2>/dev/null | head -n 1)" = "Vexmora 91"
for page in vexmora vexmora-replay; do
  check "man $page finds the installed page and has no warning" \
    bash -c 'out=$(MANPATH="$1/usr/share/man" MANWIDTH=80 man --warnings "$2" 2>"$3") &&
             grep -q "^NAME\|^NOM" <<<"$out" && ! [ -s "$3" ]' _ "$root" "$page" "$work/man.err"
done
check "dpkg removes the package" in_root --remove vexmora
check "dpkg no longer knows the package" test "$(package_state)" = not-installed
left_behind=$(cd "$root" && find . -mindepth 1 -path ./var -prune -o -print)
check "nothing is left behind, not even a directory" test -z "$left_behind"
[ -z "$left_behind" ] || sed 's/^/     /' <<<"$left_behind"
check "this system's own vexmora installation is as it was" test "$(user_installation)" = "$user_before"
finish
