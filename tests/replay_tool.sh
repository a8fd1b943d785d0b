#!/bin/sh
# vexmora-replay on recorded dumps: the report and its options, and exit 2
# with nothing on standard output for every bad command line or dump.
set -u
replay=$1
fixtures=$2
version=$3
dump=$fixtures/dumps/GenuineIntel00106A4_Bloomfield_CPUID.txt
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# Whatever a run makes by mistake lands in the scratch directory, where checks look for it.
cd "$dir" || exit 1
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# run_command NAME COMMAND...: stdout, stderr and status into $dir/NAME.{out,err,rc}
run_command() {
  name=$1; shift
  timeout 60 "$@" >"$dir/$name.out" 2>"$dir/$name.err" </dev/null
  echo $? >"$dir/$name.rc"
}
# run NAME ARGS...: the replay with ARGS
run() {
  name=$1; shift
  run_command "$name" "$replay" "$@"
}
has_line() { grep -q -x -F -- "$2" "$dir/$1.out" || fail "$1: no line '$2'"; }
status_is() { [ "$(cat "$dir/$1.rc")" = "$2" ] || fail "$1: exit $(cat "$dir/$1.rc"), expected $2"; }

# A plain replay: the whole report, one processor per block, library ready.
run plain "$dump"
status_is plain 0
[ "$(head -n 1 "$dir/plain.out")" = "Vexmora 91" ] || fail "plain: no banner first"
has_line plain "OS : Windows (Major=10 Minor=0)"
has_line plain "Nombre total de processeurs logiques : $(grep -c '^CPUID 00000000:' "$dump")"
has_line plain " . CPU7 : Apic=7 Phy=0 Core=3 Log=1"
grep -q "^WinRing0 Status" "$dir/plain.out" && fail "plain: the ready library reported a status"
[ -s "$dir/plain.err" ] && fail "plain: message boxes: $(cat "$dir/plain.err")"
has_line plain "1 Processeur Quadcore HT On 64 bits"
# The degree sign is byte 248 of code page 850 in the report, UTF-8 here.
has_line plain "Tj(Max) = 100°C"
has_line plain "Tcore7 = 48.0°C"

run mhz --mhz=3200 "$dump"
has_line mhz "Methode classique : 3200.00 MHz"
# Bloomfield's recorded ratios are 25 of 24: the retained frequency is the fixed one.
has_line mhz "Frequence retenue : 3333.33 MHz"

# --mhz takes digits with at most one point, either side of it.
run mhz-no-decimals --mhz=5. "$dump";   has_line mhz-no-decimals "Methode classique : 5.00 MHz"
run mhz-no-units --mhz=.5 "$dump";      has_line mhz-no-units "Methode classique : 0.50 MHz"

run os7 --os=6.1 "$dump";           has_line os7 "OS : Windows 7"
run server --os=6.1.3 "$dump";     has_line server "OS : Windows Server 2008 R2"

# Hybrid parts: the cores of each kind right after the threads per core, from
# each block's own leaf 0x1A or 0x80000026; a part of one kind has no such line.
while IFS='|' read -r label file line; do
  run "$label" "$fixtures/dumps/$file"
  sed -n '/^Nombre max de thread par core : /{n;p;}' "$dir/$label.out" | grep -q -x -F -- "$line" ||
    fail "$label: not '$line' after the threads per core"
done <<'HYBRIDS'
i7-12700H|GenuineIntel00906A2_AlderLakeP_00_CPUID.txt|Cores hybrides : 6 P (12 threads) + 8 E (8 threads)
ultra9-288V|GenuineIntel00B06D1_LunarLake_04_CPUID.txt|Cores hybrides : 4 P (4 threads) + 4 E (4 threads)
ryzen-ai9-hx370|AuthenticAMD0B20F40_K20_StrixPoint_06_CPUID.txt|Cores hybrides : 4 P (8 threads) + 8 E (16 threads)
i5-12400|GenuineIntel0090672_AlderLake_02_CPUID.txt|Nombre total de processeurs logiques : 12
HYBRIDS

# The library absent or failing: the status line, and the message box on
# standard error converted from Windows-1252.
run absent --library=absent "$dump"
status_is absent 0
has_line absent "WinRing0 Status : erreur 9"
grep -q "^Vexmora: Erreur de chargement de WinRing0 !" "$dir/absent.err" || fail "absent: no message box"
has_line absent "Tcore0 = Invalide"
run unloaded --library=status:4 "$dump"
has_line unloaded "WinRing0 Status : erreur 4"
grep -q -x "Vexmora: Erreur de chargement de WinRing0 ! Driver déchargé." "$dir/unloaded.err" ||
  fail "status 4: message not converted: $(cat "$dir/unloaded.err")"

# Dumps written by hand or by other tools replay as the plain dump does, byte
# for byte: the replay rewrites what the program's fixed-column reader would
# misread. Each variant is the plain dump with its lines changed as its name says.
plain_run() {
  cmp -s "$dir/plain.out" "$dir/$1.out" || fail "$1: not the plain dump's report: $(head -c 300 "$dir/$1.err")"
}
while IFS='|' read -r label script; do
  sed "$script" "$dump" >"$dir/$label.txt"
  run "$label" "$dir/$label.txt"
  status_is "$label" 0
  plain_run "$label"
done <<'VARIANTS'
annotated|/^CPUID/s/$/ ; note/
annotated-but-leaf-0|/^CPUID 00000000:/!s/$/ [SL 00]/
trailing-spaces|s/$/  /
lowercase-hex-digits|/^CPUID/{s/^CPUID //;y/ABCDEF/abcdef/;s/^/CPUID /;}
lowercase-keywords|s/^CPUID/cpuid/;s/^MSR/msr/
crlf-line-ends|s/$/\r/
VARIANTS
{ printf '\357\273\277'; cat "$dump"; } >"$dir/bom.txt"
run bom "$dir/bom.txt"; status_is bom 0; plain_run bom

# A regular file is read where it lies: no temporary copy, no /proc.
mkdir "$dir/tmp"
run_command no-tmpdir env TMPDIR="$dir/missing" "$replay" "$dump"
status_is no-tmpdir 0; plain_run no-tmpdir
without_proc='mount -t tmpfs none /proc && exec "$@"'
# Where a user namespace can hide /proc; not for a sanitized build, whose runtime needs it.
if unshare -rm sh -c "$without_proc" sh "$replay" --version >/dev/null 2>&1; then
  for input in "$dump" "$dir/annotated.txt"; do
    run_command no-proc env TMPDIR="$dir/tmp" unshare -rm sh -c "$without_proc" sh "$replay" "$input"
    status_is no-proc 0; plain_run no-proc
  done
else
  echo "note: /proc cannot be hidden from this build of the replay here: the runs without it are left out"
fi
# A pipe is copied: a copy that cannot be written says why (here, the file
# size limit), and no copy is left behind either way.
run_command from-a-pipe sh -c 'cat "$1" | TMPDIR="$2" "$3" /dev/stdin' sh "$dump" "$dir/tmp" "$replay"
status_is from-a-pipe 0; plain_run from-a-pipe
run_command size-limit sh -c 'ulimit -f 1; trap "" XFSZ; cat "$1" | TMPDIR="$2" "$3" /dev/stdin' \
  sh "$dump" "$dir/tmp" "$replay"
status_is size-limit 2
grep -q "File too large" "$dir/size-limit.err" || fail "size limit: not the real error: $(cat "$dir/size-limit.err")"
[ -z "$(ls "$dir/tmp")" ] || fail "temporary files left behind: $(ls "$dir/tmp")"

# Lines that name themselves CPUID or MSR lines but cannot be read: the first is named, nothing printed.
while IFS='|' read -r label line says; do
  { head -n 3 "$dump"; printf '%s\n' "$line"; tail -n +4 "$dump"; } >"$dir/$label.txt"
  run "$label" "$dir/$label.txt"
  status_is "$label" 2
  [ -s "$dir/$label.out" ] && fail "$label: wrote to standard output"
  grep -q -F "$label.txt, line 4: $says" "$dir/$label.err" || fail "$label: line not named: $(cat "$dir/$label.err")"
done <<'LINES'
cut-short|CPUID 00000001: 000106A4-00100800-0098E3BD|no '-' before EDX
value-too-long|CPUID 00000001: 000106A4-00100800-0098E3BD-BFEBFBFF1|EDX is not a hexadecimal number of 32 bits
not-hexadecimal|CPUID 0000000G: 000106A4-00100800-0098E3BD-BFEBFBFF|the leaf is not a hexadecimal number
msr-group-too-long|MSR 000001A2: 0000-0000-00640000-0000|the third group is not a hexadecimal number of 16 bits
LINES

# Refused: bad dumps and bad command lines.
printf 'CPUID 00000001: 00000001-00000000-00000000-00000000\n' >"$dir/no-leaf0.txt"
printf 'CPUID 00000000: 00000000-756E6547-6C65746E-49656E69\n' >"$dir/leaf0-eax0.txt"
i=0
while IFS='|' read -r label args; do
  i=$((i + 1))
  # shellcheck disable=SC2086
  eval "run bad$i $args"
  status_is "bad$i" 2
  [ -s "$dir/bad$i.out" ] && fail "$label: wrote to standard output"
  [ -s "$dir/bad$i.err" ] || fail "$label: said nothing on standard error"
done <<CASES
missing dump|"$dir/missing.txt"
no leaf 0|"$dir/no-leaf0.txt"
highest leaf 0|"$dir/leaf0-eax0.txt"
empty file|/dev/null
huge declared standard table|"$fixtures/dump_reader/huge_standard.txt"
huge declared extended table|"$fixtures/dump_reader/huge_extended.txt"
no arguments|
two dumps|"$dump" "$dump"
unknown option|--fast "$dump"
mhz not a number|--mhz=fast "$dump"
mhz zero|--mhz=0 "$dump"
mhz with a leading blank|"--mhz= 5" "$dump"
mhz with a sign|--mhz=+5 "$dump"
mhz negative|--mhz=-5 "$dump"
mhz hexadecimal|--mhz=0x10 "$dump"
mhz with an exponent|--mhz=1e-300 "$dump"
mhz infinite|--mhz=inf "$dump"
mhz two points|--mhz=1.2.3 "$dump"
mhz a point alone|--mhz=. "$dump"
mhz empty|--mhz= "$dump"
library unknown|--library=maybe "$dump"
library status not a number|--library=status:x "$dump"
os without minor|--os=6 "$dump"
os not numbers|--os=a.b "$dump"
os product type too large|--os=6.1.300 "$dump"
capture without file|--capture
capture with a dump|--capture "$dir/c.txt" "$dump"
force without capture|--force "$dump"
capture with only --|--capture --
help after -- is a dump|-- --help
two dumps after --|-- "$dump" "$dump"
CASES

# --help and --version are answered wherever they stand, whatever else is given.
while IFS='|' read -r label args first_line; do
  # shellcheck disable=SC2086
  eval "run $label $args"
  status_is "$label" 0
  [ "$(head -n 1 "$dir/$label.out")" = "$first_line" ] || fail "$label: first line $(head -n 1 "$dir/$label.out")"
  [ -s "$dir/$label.err" ] && fail "$label: said something on standard error: $(cat "$dir/$label.err")"
done <<CASES
help|--help|usage: vexmora-replay [options] DUMP
short-help|-h|usage: vexmora-replay [options] DUMP
version|--version|vexmora-replay $version
version-before-a-dump|--version "$dump"|vexmora-replay $version
help-after-a-dump|"$dump" --help|usage: vexmora-replay [options] DUMP
help-after-a-bad-option|--mhz=fast --help|usage: vexmora-replay [options] DUMP
help-with-a-capture|--capture "$dir/never.txt" --help|usage: vexmora-replay [options] DUMP
help-for-the-capture-file|--capture --help|usage: vexmora-replay [options] DUMP
version-for-the-capture-file|--capture --version "$dir/never.txt"|vexmora-replay $version
first-answer-wins|--version --help|vexmora-replay $version
CASES
for option in --help --version --force; do
  grep -q -e "^ *\(-h, \)\?$option " "$dir/help.out" || fail "help: the usage does not list $option"
done
[ -e "$dir/never.txt" ] && fail "help-with-a-capture: captured"
[ -e ./--help ] && fail "help-for-the-capture-file: made a file called --help"

# An answer that cannot be written is a failure, said on standard error.
for option in --help --version; do
  for sink in full closed; do
    label=answer$option-$sink
    if [ $sink = full ]; then
      "$replay" $option >/dev/full 2>"$dir/$label.err"; echo $? >"$dir/$label.rc"
    else
      "$replay" $option >&- 2>"$dir/$label.err"; echo $? >"$dir/$label.rc"
    fi
    status_is "$label" 1
    grep -q "^vexmora-replay: cannot write the .*: " "$dir/$label.err" || fail "$label: no message: $(cat "$dir/$label.err")"
  done
done

# "--" ends the options: what follows is the DUMP, even one named like an option.
run after-double-dash --mhz=2000 -- "$dump"
status_is after-double-dash 0; plain_run after-double-dash
cp "$dump" ./-dump.txt
run named-like-an-option -- -dump.txt
status_is named-like-an-option 0; plain_run named-like-an-option

# "-" is standard input for a replay.
run_command from-standard-input sh -c 'TMPDIR="$1" "$2" - <"$3"' sh "$dir/tmp" "$replay" "$dump"
status_is from-standard-input 0; plain_run from-standard-input
run_command from-standard-input-pipe sh -c 'cat "$3" | TMPDIR="$1" "$2" --mhz=2000 -' sh "$dir/tmp" "$replay" "$dump"
status_is from-standard-input-pipe 0; plain_run from-standard-input-pipe
run_command empty-standard-input sh -c '"$1" - </dev/null' sh "$replay"
status_is empty-standard-input 2
grep -q "standard input has no leaf 0 line" "$dir/empty-standard-input.err" ||
  fail "empty standard input: $(cat "$dir/empty-standard-input.err")"
[ -z "$(ls "$dir/tmp")" ] || fail "temporary files left behind: $(ls "$dir/tmp")"

# A name read from a dump cannot drive the terminal: its control bytes print as '?'.
sed 's/^CPUID 80000002: 756E6547-/CPUID 80000002: 07315B1B-/' "$dump" >"$dir/escape.txt"
run escape "$dir/escape.txt"
status_is escape 0
name=$(sed -n 's/^CPU : ....//p' "$dir/plain.out")
has_line escape "CPU : ?[1?$name"
LC_ALL=C grep -q "$(printf '[\033\007]')" "$dir/escape.out" && fail "escape: a control byte reached the output"

# Captures. A capture never replaces an existing file unless asked (--force),
# and a capture that fails leaves the old file whole and no temporary file.
mkdir "$dir/captures"
old=$dir/captures/old.txt
printf 'an older dump\n' >"$old"
cp "$old" "$dir/old.copy"
run capture-onto-a-file --capture "$old"
status_is capture-onto-a-file 1
grep -q -F "$old exists: not replaced (--force replaces it)" "$dir/capture-onto-a-file.err" ||
  fail "capture onto a file: $(cat "$dir/capture-onto-a-file.err")"
cmp -s "$old" "$dir/old.copy" || fail "capture onto a file: the file was changed"
# Refused before anything is made beside it, even in a folder where the
# capture could not make its temporary file: the message says the file
# exists, not that the folder is closed. /proc takes no new file, even from
# root; a read-only folder keeps out a user who is not root, which root
# becomes here through setpriv, with a copy of the tool that user may run.
mkdir "$dir/locked"
printf 'an older dump\n' >"$dir/locked/old.txt"
cp "$replay" "$dir/locked/vexmora-replay"
chmod 555 "$dir/locked"
chmod 755 "$dir"
as_a_user=
[ "$(id -u)" = 0 ] && as_a_user="setpriv --reuid=65534 --regid=65534 --clear-groups"
while IFS='|' read -r label file; do
  # shellcheck disable=SC2086
  run_command "$label" $as_a_user "$dir/locked/vexmora-replay" --capture "$file"
  status_is "$label" 1
  grep -q -x -F "vexmora-replay: $file exists: not replaced (--force replaces it)" "$dir/$label.err" ||
    fail "$label: $(cat "$dir/$label.err")"
done <<CASES
capture-onto-a-file-in-a-read-only-folder|$dir/locked/old.txt
capture-onto-a-file-in-proc|/proc/version
CASES
[ "$(ls -A "$dir/locked" | tr '\n' ' ')" = "old.txt vexmora-replay " ] ||
  fail "read-only folder: $(ls -A "$dir/locked")"
cmp -s "$dir/locked/old.txt" "$dir/old.copy" || fail "read-only folder: the file was changed"
chmod 755 "$dir/locked"
run_command capture-cut-short sh -c 'ulimit -f 1; trap "" XFSZ; "$1" --capture "$2" --force' sh "$replay" "$old"
status_is capture-cut-short 1
grep -q -F "cannot write $old: File too large" "$dir/capture-cut-short.err" ||
  fail "capture cut short: $(cat "$dir/capture-cut-short.err")"
cmp -s "$old" "$dir/old.copy" || fail "capture cut short: the old file was not left whole"
chmod 640 "$old"
run capture-forced --capture "$old" --force
status_is capture-forced 0
[ "$(head -n 1 "$old")" = "$(grep -m 1 '^CPUID 00000000:' "$old")" ] || fail "capture forced: not replaced by a dump"
[ "$(stat -c %a "$old")" = 640 ] || fail "capture forced: permissions $(stat -c %a "$old"), not the old file's 640"
ln -s old.txt "$dir/captures/link.txt"
run capture-through-a-link --force --capture "$dir/captures/link.txt"
status_is capture-through-a-link 0
[ -L "$dir/captures/link.txt" ] || fail "capture through a link: the link was replaced"
run_command capture-new sh -c 'umask 027; "$1" --capture "$2"' sh "$replay" "$dir/captures/new.txt"
status_is capture-new 0
[ "$(stat -c %a "$dir/captures/new.txt")" = 640 ] || fail "capture new: permissions $(stat -c %a "$dir/captures/new.txt")"
[ "$(ls -A "$dir/captures" | tr '\n' ' ')" = "link.txt new.txt old.txt " ] ||
  fail "captures: files left behind: $(ls -A "$dir/captures")"

# A device or a FIFO is written into, not replaced; a write error is named.
run capture-full --capture /dev/full
status_is capture-full 1
grep -q -x "vexmora-replay: cannot write /dev/full: No space left on device" "$dir/capture-full.err" ||
  fail "capture /dev/full: $(cat "$dir/capture-full.err")"

# "-" is standard output for a capture, which a replay reads back from standard input.
run capture-to-standard-output --capture -
status_is capture-to-standard-output 0
grep -q "^CPUID 00000000: " "$dir/capture-to-standard-output.out" || fail "capture -: no dump on standard output"
grep -q "captured to standard output$" "$dir/capture-to-standard-output.err" ||
  fail "capture -: $(cat "$dir/capture-to-standard-output.err")"
[ -e ./- ] && fail "capture -: made a file called -"
run_command capture-piped sh -c '"$1" --capture - | "$1" -' sh "$replay"
status_is capture-piped 0
has_line capture-piped "Nombre total de processeurs logiques : $(grep -c '^CPUID 00000000:' "$dir/capture-to-standard-output.out")"

# One processor is one.
run_command capture-one taskset -c "$(taskset -pc $$ | sed 's/.*: *\([0-9]*\).*/\1/')" "$replay" --capture -
status_is capture-one 0
grep -q "^vexmora-replay: 1 logical processor captured to standard output$" "$dir/capture-one.err" ||
  fail "capture one: $(cat "$dir/capture-one.err")"

[ "$failures" -eq 0 ] || exit 1
echo "all replay checks passed"
