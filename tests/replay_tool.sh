#!/bin/sh
# vexmora-replay on recorded dumps: the report and its options, and exit 2
# with nothing on standard output for every bad command line or dump.
set -u
replay=$1
fixtures=$2
dump=$fixtures/dumps/GenuineIntel00106A4_Bloomfield_CPUID.txt
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
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
library unknown|--library=maybe "$dump"
library status not a number|--library=status:x "$dump"
os without minor|--os=6 "$dump"
os not numbers|--os=a.b "$dump"
os product type too large|--os=6.1.300 "$dump"
capture without file|--capture
capture with a dump|--capture "$dir/c.txt" "$dump"
CASES

run help --help
status_is help 0
grep -q "^usage: vexmora-replay" "$dir/help.out" || fail "help: no usage"

[ "$failures" -eq 0 ] || exit 1
echo "all replay checks passed"
