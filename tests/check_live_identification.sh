#!/bin/sh
# The live report's name, signature and logical count against what the
# operating system says about this processor: /proc/cpuinfo's first entry,
# converted the way the report prints it, and nproc. Exit 77 (skipped) where
# the system cannot tell, or where the program is not meant to run (more than
# 32 logical processors, or an affinity narrower than the system's).
set -eu
exe=$1

[ -r /proc/cpuinfo ] || { echo "no /proc/cpuinfo"; exit 77; }
field() { sed -n "s/^$1[[:space:]]*: //p" /proc/cpuinfo | head -n 1; }
name=$(field 'model name' | tr -s ' ' | sed 's/^ //; s/ $//')
family=$(field 'cpu family')
model=$(field 'model')
stepping=$(field 'stepping')
if [ -z "$name" ] || [ -z "$family" ] || [ -z "$model" ] || [ -z "$stepping" ]; then
  echo "/proc/cpuinfo lacks model name, cpu family, model or stepping"; exit 77
fi
logical=$(nproc)
if [ "$logical" -gt 32 ] || [ "$logical" -ne "$(nproc --all)" ]; then
  echo "$logical usable of $(nproc --all) logical processors: not a machine the report covers"; exit 77
fi

out=$(mktemp)
trap 'rm -f "$out"' EXIT
timeout 60 "$exe" </dev/null >"$out" 2>/dev/null

status=0
expect() {
  if ! grep -q -x -F -- "$1" "$out"; then
    echo "expected line: $1"
    echo "report has:    $(grep -F -- "$2" "$out" || echo '(none)')"
    status=1
  fi
}
# A hypervisor may give the guest kernel, which read CPUID when it booted, one
# processor and a process's CPUID another (seen: "AMD EPYC" against "Oxide
# Virtual Turin-like Processor"): there the kernel's name and signature are no
# reference, and only a note says they differ.
guest=no
grep -q '^flags.*\<hypervisor\>' /proc/cpuinfo && guest=yes
expect_of_the_processor() {
  if [ "$guest" = yes ] && ! grep -q -x -F -- "$1" "$out"; then
    echo "note: under a hypervisor, the kernel's \"$1\" differs from the report's: $(grep -e "^$2" "$out")"
  else
    expect "$1" "$2"
  fi
}
expect_of_the_processor "CPU : $name" "CPU : "
expect_of_the_processor "$(printf 'CPU Family %02X Model %02X Stepping %X' "$family" "$model" "$stepping")" "CPU Family"
expect "Nombre total de processeurs logiques : $logical" "processeurs logiques"
[ "$status" -eq 0 ] || cat "$out"
exit "$status"
