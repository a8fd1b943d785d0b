#!/usr/bin/env bash
# Cross-builds Vexmora.exe and the WinRing0.dll test doubles, checks what the
# executable imports and carries, then runs it under Wine, headless, with
# standard input not a terminal, once per library state and Windows version.
#
# On Debian as root it installs what it needs. Where the kernel cannot run
# 32-bit programs, Wine runs under the emulator qemu-i386 (see below); the
# emulator also runs two cases as an AMD and an Intel processor model.
# Environment:
#   VEXMORA_SKIP_WINE=1       build and check the files only, run nothing
#   VEXMORA_WINE_EMULATOR=1   run Wine under the emulator even where the kernel
#                             runs 32-bit programs itself
# A host where neither can start Wine runs nothing under it, and says so in
# one line ("== Wine runs skipped: ...").
# Exits non-zero when any check fails; every check prints "ok" or "FAIL".
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

packages=(g++-mingw-w64-i686 wine wine32:i386 wine64)
installed() {
  local package
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || return 1
  done
  command -v cmake >/dev/null && command -v ninja >/dev/null
}
apt_install() {  # apt_install [APT-OPTIONS...]: the packages, quietly
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "$@" "${packages[@]}" cmake ninja-build
}
install_packages() {
  installed && return 0
  [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null || return 0
  echo "== installing ${packages[*]}"
  export DEBIAN_FRONTEND=noninteractive
  dpkg --add-architecture i386
  # The i386 security index sometimes fails to download; the main one suffices.
  apt-get update -qq || true
  # A Multi-Arch "same" library must have one version in both architectures,
  # and Wine brings i386 twins of amd64 libraries the machine may have already.
  # Unpinned, apt takes the newest versions: that fails where a twin can only
  # be had at an older one than the installed library (seen where an i386
  # index was missing). Pinned to the release, apt takes the release's: that
  # fails where the amd64 library is at a security update's version, as on a
  # fresh machine. Unpinned first, then pinned.
  local release unpinned pinned
  release=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  if unpinned=$(apt_install 2>&1); then
    echo "== installed them at the candidate versions (the release and its updates)"
  elif pinned=$(apt_install -t "$release" 2>&1); then
    echo "== installed them pinned to $release: unpinned, apt said \"$(grep -m1 '^E: ' <<<"$unpinned" || tail -n 1 <<<"$unpinned")\""
  else
    echo "== the install failed, unpinned and pinned to $release alike:"
    printf '%s\n' "-- unpinned:" "$unpinned" "-- pinned to $release:" "$pinned"
    return 1
  fi
}

failures=0
pass() { echo "ok   $1"; }
fail() { echo "FAIL $1"; failures=$((failures + 1)); }
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

install_packages

echo "== building"
cmake --preset windows >/dev/null
cmake --build --preset windows
rm -f build-windows/Vexmora-*-win32.zip
cpack --preset windows >/dev/null
build=$root/build-windows
exe=$build/Vexmora.exe
full_dll=$build/winring0_double/WinRing0.dll
lacking_dll=$build/winring0_lacking/WinRing0.dll
objdump=i686-w64-mingw32-objdump

# ---- The files ---------------------------------------------------------------

echo "== import table of Vexmora.exe"
headers=$($objdump -p "$exe")
imports=$(grep -E '^\s*DLL Name:' <<<"$headers" | awk '{print $3}')
echo "$imports"
check "Vexmora.exe is a 32-bit Windows program (PE32), so it runs on 32-bit and 64-bit Windows alike" \
  grep -qE '^Magic\s+010b' <<<"$headers"
check "Vexmora.exe is a console program: started from the desktop, it opens a console window" \
  grep -qE '^Subsystem\s+00000003' <<<"$headers"
only_system_dlls() {
  local dll
  for dll in $imports; do
    case "${dll,,}" in
      kernel32.dll | user32.dll | winmm.dll | msvcrt.dll | advapi32.dll) ;;
      *) echo "     unexpected import: $dll"; return 1 ;;
    esac
  done
}
check "Vexmora.exe needs no DLL that Windows lacks: only kernel32, user32, winmm, msvcrt and advapi32" \
  only_system_dlls
check "Vexmora.exe starts without WinRing0.dll: it loads the library itself, at run time" \
  bash -c '! grep -qi winring0 <<<"$1"' _ "$imports"

echo "== resources of Vexmora.exe"
resources=$(i686-w64-mingw32-windres -J coff -O rc -i "$exe")
echo "$resources"
check "the manifest is embedded where Windows reads it (resource type 24, id 1)" grep -qE '^1 24 ' <<<"$resources"
check "the manifest asks for administrator rights (requireAdministrator): Windows asks the user to confirm" \
  grep -qF 'requestedExecutionLevel level=""requireAdministrator""' <<<"$resources"
for os in "Vista e2011457-1546-43c5-a5fe-008deee3d3f0" "7 35138b9a-5d96-4fbd-8e2d-a2440225f93a" \
          "8 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38" "8.1 1f676c76-80e1-4239-95bb-83d0f6d0da78" \
          "10/11 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"; do
  check "the manifest says the program knows Windows ${os% *}, which then reports its true version" grep -qiF "supportedOS Id=\"\"{${os#* }}\"\"" <<<"$resources"
done

echo "== the zip"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
zip=$build/Vexmora-$version-win32.zip
unzipped=$(mktemp -d)
(cd "$unzipped" && cmake -E tar xf "$zip")
(cd "$unzipped" && find . -type f | sort)
readme=$(find "$unzipped" -name LISEZMOI.txt)
check "the zip holds the program, its licence and the French read-me: Vexmora.exe, LICENSE.txt, LISEZMOI.txt" \
  test "$(cd "$unzipped" && find . -type f -printf '%f\n' | sort | tr '\n' ' ')" = "LICENSE.txt LISEZMOI.txt Vexmora.exe "
check "LISEZMOI.txt: every line ends as Windows text lines do (CR LF)" test "$(grep -c $'\r$' "$readme")" = "$(wc -l <"$readme")"
check "LISEZMOI.txt: its accents are Windows-1252, as Notepad on any Windows reads them, not UTF-8" \
  bash -c 'iconv -f CP1252 -t UTF-8 "$1" >/dev/null && ! iconv -f UTF-8 -t UTF-8 "$1" >/dev/null 2>&1' _ "$readme"
check "LISEZMOI.txt: says the program asks for administrator rights, and where WinRing0.dll goes" \
  bash -c 'grep -q administrateur "$1" && grep -q WinRing0.dll "$1"' _ "$readme"
check "LISEZMOI.txt: warns of the driver's flaw (CVE-2020-14979) and that Defender quarantines it" \
  bash -c 'grep -q "CVE-2020-14979" "$1" && grep -q "VulnerableDriver:WinNT/Winring0" "$1"' _ "$readme"
# The lines as a French reader sees them, whatever the line breaks.
check "LISEZMOI.txt: says what the report keeps without the driver and what it loses" \
  bash -c 'text=$(iconv -f CP1252 -t UTF-8 "$1" | tr -d "\r" | tr "\n" " " | tr -s " ")
           for phrase in "identification" "topologie" "caches" "TSC" "coefficients multiplicateurs" "APERF" \
                         "températures"; do grep -qF "$phrase" <<<"$text" || { echo "     missing: $phrase"; exit 1; }; done' \
  _ "$readme"
rm -rf "$unzipped"

echo "== exports of the WinRing0.dll doubles"
exported_names() {
  $objdump -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^[ \t]+\[/ {print $NF}' | sort
}
# The names the program resolves, as the binding code lists them.
expected=$(sed -n '/kEntryPointNames\[kEntryPointCount\] = {/,/};/p' src/hwaccess/ols_library.cpp |
           grep -oE '"[A-Za-z]+"' | tr -d '"' | sort)
lacking_entry=$(sed -n 's/^set(VEXMORA_LACKING_ENTRY \([A-Za-z]*\))$/\1/p' tests/windows/CMakeLists.txt)
echo "stand-in WinRing0.dll:             $(exported_names "$full_dll" | wc -l) functions"
echo "stand-in lacking $lacking_entry:           $(exported_names "$lacking_dll" | wc -l) functions"
check "the program looks up the library's 54 functions by name" test "$(wc -l <<<"$expected")" = 54
check "the stand-in WinRing0.dll offers exactly those 54 functions, under their plain names" \
  test "$(exported_names "$full_dll")" = "$expected"
check "the stand-in that lacks $lacking_entry offers every other one, to test a library missing a function" \
  test "$(exported_names "$lacking_dll")" = "$(grep -vx "$lacking_entry" <<<"$expected")"

# ---- 32-bit programs ----------------------------------------------------------
# Wine's loader is a 32-bit program. A kernel built without IA-32 emulation, or
# booted with it off, cannot start it; the user-mode emulator qemu-i386 can,
# once a binfmt_misc entry hands it every i386 ELF file. bookworm's own qemu
# (7.2) is far too slow for Wine and wineboot crashes under it; the one in
# bookworm-backports (10) works. Its one package is fetched into a folder of
# its own, with an apt configuration of its own, so the system's packages and
# sources stay as they are.
qemu_dir=$build/qemu
qemu=$qemu_dir/root/usr/bin/qemu-i386
binfmt=/proc/sys/fs/binfmt_misc
# Named after this process and its PID namespace: a check running beside this
# one keeps its entry, and one whose process is gone is known for stale.
pid_namespace=$(stat -L -c %i /proc/self/ns/pid 2>/dev/null || echo 0)
entry=vexmora-i386-$pid_namespace-$$
entry_registered=0
emulator_failure=""

# archive_uri RELEASE: the archive apt takes RELEASE's packages from.
archive_uri() {
  apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(TARGET_OF)' 'Identifier: Packages' |
    awk -v release="$1" '$2 == release && $3 == "deb" && $1 ~ /^https?:/ {print $1; exit}'
}

# fetch_qemu: qemu-i386 from the backports suite of the archive apt already uses.
fetch_qemu() {
  "$qemu" --version >/dev/null 2>&1 && return 0
  [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null || { emulator_failure="fetching it needs root and apt-get"; return 1; }
  local codename arch uri
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  arch=$(dpkg --print-architecture)
  uri=$(archive_uri "$codename")
  # No index downloaded yet: the sources say nothing until apt-get update.
  if [ -z "$uri" ]; then
    apt-get -o DPkg::Lock::Timeout=600 update -qq >/dev/null 2>&1 || true
    uri=$(archive_uri "$codename")
  fi
  [ -n "$codename" ] && [ -n "$uri" ] || { emulator_failure="apt has no source for ${codename:-this release}"; return 1; }
  echo "== fetching qemu-user from $uri $codename-backports into $qemu_dir"
  rm -rf "$qemu_dir"
  mkdir -p "$qemu_dir/lists/partial" "$qemu_dir/cache/archives/partial" "$qemu_dir/sources.list.d" "$qemu_dir/root"
  {
    echo "Types: deb"
    echo "URIs: $uri"
    echo "Suites: $codename-backports"
    echo "Components: main"
    echo "Architectures: $arch"
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    [ ! -f "$keyring" ] || echo "Signed-By: $keyring"
  } >"$qemu_dir/backports.sources"
  local apt_own=(-o Dir::Etc::SourceList="$qemu_dir/backports.sources" -o Dir::Etc::SourceParts="$qemu_dir/sources.list.d"
                 -o Dir::State::Lists="$qemu_dir/lists" -o Dir::Cache="$qemu_dir/cache" -o APT::Sandbox::User=root)
  local said
  if ! said=$(apt-get "${apt_own[@]}" update -qq 2>&1 && cd "$qemu_dir" && apt-get "${apt_own[@]}" download -qq qemu-user 2>&1) ||
     ! dpkg-deb --fsys-tarfile "$qemu_dir"/qemu-user_*.deb | tar -x -C "$qemu_dir/root" ./usr/bin/qemu-i386; then
    emulator_failure="qemu-user could not be fetched from $codename-backports ($(tail -n 1 <<<"$said"))"
    return 1
  fi
  rm -f "$qemu_dir"/qemu-user_*.deb
}

# start_emulator: i386 ELF files go to qemu-i386 through this check's own entry.
start_emulator() {
  [ "$entry_registered" = 1 ] && return 0
  fetch_qemu || return 1
  if [ ! -e "$binfmt/register" ]; then
    local said
    said=$(mount -t binfmt_misc binfmt_misc "$binfmt" 2>&1) ||
      { emulator_failure="binfmt_misc cannot be mounted on $binfmt ($(head -n 1 <<<"$said"))"; return 1; }
  fi
  # Entries left by checks that were killed: their process is gone.
  local stale
  for stale in "$binfmt/vexmora-i386-$pid_namespace"-[0-9]*; do
    [ -e "$stale" ] || continue
    kill -0 "${stale##*-}" 2>/dev/null || remove_entry "$stale"
  done
  # The ELF header of an i386 executable or shared object; F opens qemu-i386
  # now, so the entry works whatever the mount namespace of a later program.
  local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  if ! { printf '%s' ":$entry:M::$magic:$mask:$qemu:F" >"$binfmt/register"; } 2>/dev/null; then
    emulator_failure="the binfmt_misc entry cannot be registered"
    return 1
  fi
  entry_registered=1
}
remove_entry() { { echo -1 >"$1"; } 2>/dev/null || true; }
stop_emulator() {
  if [ "$entry_registered" = 1 ]; then
    remove_entry "$binfmt/$entry"
    entry_registered=0
  fi
}

work=$(mktemp -d)
prefix_made=0
# Wine's server keeps its socket and lock in a directory server-DEV-INODE,
# named after the prefix's device and inode, in /tmp/.wine-UID (or, as
# Debian's Wine does it, in a private /tmp/wine-XXXXXX), and leaves it behind
# when it ends: the check removes the one its own prefix made, and the folder
# around it where the check's Wine made that.
wine_folders() { find /tmp -maxdepth 1 -type d \( -name ".wine-$(id -u)" -o -name 'wine-*' \) -user "$(id -u)" | sort; }
wine_folders_before=$(wine_folders)
server_name=""
server_dir=""
# find_server_dir: where Wine's server for this prefix keeps its lock.
find_server_dir() {
  server_dir=$(find /tmp -mindepth 2 -maxdepth 2 -type d -name "$server_name" -path '/tmp/*wine-*/*' | head -n 1)
}
stop_wine() {
  [ "$prefix_made" = 1 ] || return 0
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  [ -n "$server_dir" ] || find_server_dir
  # The server removes its socket as it exits.
  local tries=0
  while [ -n "$server_dir" ] && [ -S "$server_dir/socket" ] && [ "$tries" -lt 50 ]; do
    sleep 0.2; tries=$((tries + 1))
  done
  if [ -n "$server_dir" ]; then
    rm -rf "$server_dir"
    local folder=${server_dir%/*}
    grep -qxF "$folder" <<<"$wine_folders_before" || rmdir "$folder" 2>/dev/null || true
  fi
  prefix_made=0
}
cleanup() {
  stop_wine
  stop_emulator
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
# The emulator's processor is chosen per run, below.
unset QEMU_CPU

# how_i386_runs: natively, unless an enabled binfmt_misc entry takes i386 ELF files.
how_i386_runs() {
  local other
  for other in "$binfmt"/*; do
    case "${other##*/}" in register | status) continue ;; esac
    if grep -qx enabled "$other" 2>/dev/null && grep -qE '^magic 7f454c46010101[0-9a-f]{22}0300' "$other"; then
      echo "through the binfmt_misc entry ${other##*/}: $(sed -n 's/^interpreter //p' "$other")"
      return
    fi
  done
  echo natively
}
wine_starts() { timeout 60 wine --version </dev/null >"$work/wine-version.log" 2>&1; }
wine_skip_reason=""
emulated=0
if [ "${VEXMORA_SKIP_WINE:-0}" = 1 ]; then
  wine_skip_reason="VEXMORA_SKIP_WINE=1"
elif [ "${VEXMORA_WINE_EMULATOR:-0}" != 1 ] && wine_starts; then
  echo "== 32-bit programs run $(how_i386_runs)"
else
  not_natively="neither natively nor"
  if [ "${VEXMORA_WINE_EMULATOR:-0}" = 1 ]; then
    not_natively="VEXMORA_WINE_EMULATOR=1, and not"
  else
    echo "== this host cannot start Wine itself: $(tail -n 1 "$work/wine-version.log")"
  fi
  if start_emulator && wine_starts; then
    emulated=1
    echo "== 32-bit programs run under $("$qemu" --version | head -n 1), binfmt_misc entry $entry"
  else
    [ -n "$emulator_failure" ] || emulator_failure="Wine does not start ($(tail -n 1 "$work/wine-version.log"))"
    wine_skip_reason="$not_natively under qemu-i386: $emulator_failure"
  fi
fi
if [ -n "$wine_skip_reason" ]; then
  echo "== Wine runs skipped: $wine_skip_reason"
  [ "$failures" = 0 ] && echo "windows-check: all checks passed" || echo "windows-check: $failures checks failed"
  [ "$failures" = 0 ]
  exit
fi

# ---- Under Wine ----------------------------------------------------------------

export WINEPREFIX=$work/prefix WINEARCH=win32 WINEDEBUG=-all
prefix_made=1
# No display: message boxes return at once. No Mono or Gecko installers.
unset DISPLAY WAYLAND_DISPLAY
export WINEDLLOVERRIDES="mscoree,mshtml="

# Every Wine command gets a time limit, no terminal on its input, and files for
# its output: the server and the helpers it starts outlive the command and
# would otherwise hold this script's output open.
wine_quiet() {  # wine_quiet SECONDS COMMAND...
  local seconds=$1; shift
  timeout "$seconds" "$@" </dev/null >>"$work/wine.log" 2>&1
}

# run_exe NAME DLL [VAR=VALUE...]: Vexmora.exe alone in a folder, with DLL beside
# it unless DLL is "-"; the double logs its calls to NAME.calls.
run_exe() {
  local name=$1 dll=$2; shift 2
  local dir=$work/$name
  mkdir -p "$dir"
  cp "$exe" "$dir/"
  [ "$dll" = - ] || cp "$dll" "$dir/WinRing0.dll"
  local rc=0
  (cd "$dir" && env WINRING0_DOUBLE_LOG="Z:${dir//\//\\}.calls" "$@" timeout 60 wine ./Vexmora.exe \
     </dev/null >"$dir.out" 2>"$dir.err") || rc=$?
  tr -d '\r' <"$dir.out" >"$dir.txt"
  if [ -f "$dir.calls" ]; then tr -d '\r' <"$dir.calls" >"$dir.log"; else : >"$dir.log"; fi
  echo "-- $name: exit code $rc${*:+, with $*}"
  cat "$dir.txt"; echo
  if [ -s "$dir.err" ]; then echo "   (standard error)"; cat "$dir.err"; fi
  if [ -s "$dir.log" ]; then echo "   (library calls in order, repeats counted)"; uniq -c "$dir.log"; fi
  check "$name: exits with code 0" test "$rc" = 0
  check "$name: lines end as Windows text lines do (CR LF)" grep -q $'\r$' "$dir.out"
  check "$name: the report starts with the banner" test "$(line "$name" 1)" = "Vexmora 91"
  check "$name: the Windows version comes second" grep -q '^OS : Windows' <(line "$name" 2)
  check "$name: the report runs to its summary line" \
    grep -qE '^[0-9]+ Processeurs?( [^ ]+)* (32|64) bits$' "$dir.txt"
}
line() { sed -n "$2p" "$work/$1.txt"; }
status_line_is() {  # status_line_is NAME STATUS: third line, then a blank one
  test "$(line "$1" 3)" = "WinRing0 Status : erreur $2" && test -z "$(line "$1" 4)"
}
no_status_line() { ! grep -q '^WinRing0 Status' "$work/$1.txt"; }
calls_are() {  # calls_are NAME FIRST_CALLS: those first, any in between, teardown last
  tr '\n' ' ' <"$work/$1.log" | grep -qxE "$2 (.* )?DeinitializeOls FreeLibrary "
}
no_calls() { test ! -s "$work/$1.log"; }

# os_run NAME WINE_VERSION EXPECTED_OS_LINE [EXE]: the OS line once Wine
# pretends to be that version ("" leaves the prefix as it is).
os_run() {
  local name=$1 version=$2 expected=$3 dir=$work/$1
  [ -z "$version" ] || wine_step 30 "winecfg /v $version" wine winecfg /v "$version"
  mkdir -p "$dir"
  cp "${4:-$exe}" "$dir/Vexmora.exe"
  (cd "$dir" && timeout 60 wine ./Vexmora.exe </dev/null >"$dir.out" 2>/dev/null) || true
  tr -d '\r' <"$dir.out" >"$dir.txt"
  echo "-- $name (${version:-$default_version}): $(line "$name" 2)"
  check "$name: the OS line names the version Windows reports: \"$expected\"" test "$(line "$name" 2)" = "$expected"
}
os_line_for() {  # with the manifest's compatibility section
  case "$1" in
    winxp) echo "OS : Windows XP" ;;
    vista) echo "OS : Windows Vista" ;;
    win7) echo "OS : Windows 7" ;;
    win8) echo "OS : Windows (Major=6 Minor=2)" ;;
    win81) echo "OS : Windows (Major=6 Minor=3)" ;;
    win10) echo "OS : Windows (Major=10 Minor=0)" ;;
    *) echo "(no expectation for Wine version '$1')" ;;
  esac
}

# wine_step SECONDS WHAT COMMAND...: a Wine step the runs cannot do without;
# its failure shows Wine's log and ends the script.
wine_step() {
  local seconds=$1 what=$2
  shift 2
  if ! wine_quiet "$seconds" "$@"; then
    cat "$work/wine.log"
    fail "$what"
    exit 1
  fi
}

echo "== starting Wine (32-bit prefix in $work)"
mkdir -p "$WINEPREFIX"
server_name=$(printf 'server-%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
# One persistent server for every run: each would otherwise pay its start-up.
wine_step 30 "wineserver starts" wineserver -p
wine_step 180 "wineboot initialises the prefix" wineboot -i
wine_step 30 "winecfg names the prefix's version" wine winecfg /v
default_version=$(tail -n 1 "$work/wine.log" | tr -d '\r')
find_server_dir
check "Wine's server keeps its lock in ${server_dir:-a folder $server_name}, which the check removes at its end" \
  test -n "$server_dir"
echo "the new prefix pretends to be: $default_version"

echo "== the OS line"
os_run os-default "" "$(os_line_for "$default_version")"
for version in winxp win7 win10; do
  os_run "os-$version" "$version" "$(os_line_for "$version")"
done
# The control: without the compatibility section, Windows 10 says 6.2.
i686-w64-mingw32-objcopy --remove-section .rsrc "$exe" "$work/no-manifest.exe"
os_run os-win10-no-manifest win10 "OS : Windows (Major=6 Minor=2)" "$work/no-manifest.exe"

echo "== the library states (as Windows 10)"
run_exe no-library -
check "no-library: without WinRing0.dll, the report says so (status 9) and goes on" status_line_is no-library 9

run_exe ready "$full_dll"
check "ready: with a working library, no status line" no_status_line ready
check "ready: the program starts the library, asks its status, and at exit shuts it down and unloads it" \
  calls_are ready "InitializeOls -> 1 GetDllStatus -> 0"

run_exe lacking-entry "$lacking_dll" WINRING0_DOUBLE_STATUS=3
check "lacking-entry: a library missing a function gives the status line it reports (3)" \
  status_line_is lacking-entry 3
check "lacking-entry: such a library is never started, but still shut down and unloaded at exit" \
  calls_are lacking-entry "GetDllStatus -> 3"

run_exe init-fails "$full_dll" WINRING0_DOUBLE_INIT=0 WINRING0_DOUBLE_STATUS=4
check "init-fails: a library that fails to start gives the status line it reports (4)" \
  status_line_is init-fails 4
check "init-fails: it is still shut down and unloaded at exit" \
  calls_are init-fails "InitializeOls -> 0 GetDllStatus -> 4"

echo "== the emulator's processor models: one AMD, one Intel (as Windows 10)"
# model_run NAME MODEL CPU_LINE FAMILY_LINE SUPPORT_LINE: the report with the
# ready library on the emulator's MODEL, which has no thermal sensor.
model_run() {
  local name=$1 model=$2 cpu=$3 family=$4 support=$5
  run_exe "$name" "$full_dll" QEMU_CPU="$model"
  check "$name: the processor's name: \"$cpu\"" grep -qxF "$cpu" "$work/$name.txt"
  check "$name: its family, model and stepping: \"$family\"" grep -qxF "$family" "$work/$name.txt"
  check "$name: no thermal sensor, said once: \"$support\"" test "$(grep '^Support ' "$work/$name.txt")" = "$support"
}
# Where 32-bit programs run natively, the emulator serves these two runs only.
if [ "$emulated" = 1 ] || start_emulator; then
  model_run model-amd EPYC-Rome "CPU : AMD EPYC-Rome Processor" "CPU Family 17 Model 31 Stepping 0" \
    "Support AMD TTP : Non"
  model_run model-intel Haswell "CPU : Intel Core Processor (Haswell)" "CPU Family 06 Model 3C Stepping 4" \
    "Support Intel DTS : Non"
  [ "$emulated" = 1 ] || stop_emulator
else
  echo "== Wine runs left out: the emulator's processor models ($emulator_failure)"
fi

echo "== a Zen temperature through the root complex's SMN pair"
# Tctl 58.125 in bits 31:21. The processor is the host's: only a Zen host with
# a thermal sensor reads it, less its model's offset (20, 10 or 27 degrees).
run_exe zen-smn "$full_dll" WINRING0_DOUBLE_SMN_59800=0x3A200000
if grep -qx "Support AMD TTP : Oui" "$work/zen-smn.txt" &&
   grep -qE '^CPU Family (1[7-9A-F]|[2-9A-F][0-9A-F]) ' "$work/zen-smn.txt"; then
  check "zen-smn: an AMD Zen temperature is read through the processor's system management network (SMN 0x59800)" \
    env LC_ALL=C grep -qxE $'Tcore0 = (58\\.1|38\\.1|48\\.1|31\\.1)\xF8C' "$work/zen-smn.txt"
  check "zen-smn: the address was written to the register that selects what is read" \
    grep -q "^WriteIoPortDword 0xCFC 0x59800 " "$work/zen-smn.log"
else
  echo "skip zen-smn temperature: the host's processor has no Zen thermal sensor"
fi
check "zen-smn: the PCI ports are used only while holding the lock that other programs share for them" \
  bash -c '! grep -E "IoPortDword" "$1" | grep -qv "(PCI mutex held)"' _ "$work/zen-smn.log"

echo "== the library search: never the working directory nor PATH (as Windows 10)"
# search_run NAME APP CWD PATH: Vexmora.exe alone in NAME/app, started from NAME/cwd
# with NAME/path on Wine's PATH; each argument is the double put in that folder, or "-".
search_run() {
  local name=$1 dir=$work/$1 place dll; shift
  mkdir -p "$dir/app" "$dir/cwd" "$dir/path"
  cp "$exe" "$dir/app/"
  for place in app cwd path; do
    dll=$1; shift
    [ "$dll" = - ] || cp "$dll" "$dir/$place/WinRing0.dll"
  done
  (cd "$dir/cwd" && env WINRING0_DOUBLE_LOG="Z:${dir//\//\\}.calls" WINEPATH="Z:${dir//\//\\}\\path" \
     timeout 60 wine "$dir/app/Vexmora.exe" </dev/null >"$dir.out" 2>"$dir.err") || true
  tr -d '\r' <"$dir.out" >"$dir.txt"
  if [ -f "$dir.calls" ]; then tr -d '\r' <"$dir.calls" >"$dir.log"; else : >"$dir.log"; fi
  echo "-- $name: $(grep '^WinRing0 Status' "$dir.txt" || echo 'no status line'); library calls:" \
       "$(tr '\n' ' ' <"$dir.log")"
}
not_loaded() { { status_line_is "$1" 9 || status_line_is "$1" 3; } && no_calls "$1"; }
search_run planted-cwd - "$full_dll" -
check "planted-cwd: a library in the working directory is never loaded" not_loaded planted-cwd
search_run planted-path - - "$full_dll"
check "planted-path: a library in a folder on PATH is never loaded" not_loaded planted-path
# The lacking double elsewhere would bind without InitializeOls: the full one beside the program is taken.
search_run beside-from-elsewhere "$full_dll" "$lacking_dll" "$lacking_dll"
check "beside-from-elsewhere: the library beside the executable is the one loaded" \
  calls_are beside-from-elsewhere "InitializeOls -> 1 GetDllStatus -> 0"

stop_wine
check "no lock directory of this check's Wine server is left behind" \
  bash -c '[ -z "$(find /tmp -mindepth 2 -maxdepth 2 -name "$1" 2>/dev/null)" ]' _ "$server_name"
made_folder() { [ -n "$server_dir" ] && ! grep -qxF "${server_dir%/*}" <<<"$wine_folders_before"; }
if made_folder; then
  check "no folder the check's Wine made for its lock is left behind (${server_dir%/*})" test ! -e "${server_dir%/*}"
fi

if [ "$failures" = 0 ]; then
  echo "windows-check: all checks passed"
else
  echo "windows-check: $failures checks failed"
  exit 1
fi
