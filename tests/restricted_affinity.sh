#!/bin/sh
# The real program kept off all but one processor (taskset, a container's
# cpuset): after the warning and a note of how many processors it covers, the
# report is the machine's own, not a report of empty values.
set -eu
exe=$1
online=$(getconf _NPROCESSORS_ONLN)
if [ "$online" -lt 2 ] || ! command -v taskset >/dev/null; then
  echo "SKIP: needs two processors and taskset"; exit 77
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
last=$(taskset -c -p $$ | sed 's/.*[-,]//')
timeout 60 "$exe" </dev/null >"$dir/all" 2>/dev/null
status=0
timeout 60 taskset -c "$last" "$exe" </dev/null >"$dir/one" 2>"$dir/err" || status=$?
[ "$status" = 0 ] || { echo "exit status $status"; cat "$dir/err"; exit 1; }
grep -q "Skelvane ne peut acc" "$dir/err" || { echo "no warning"; cat "$dir/err"; exit 1; }
grep -q -F "le rapport couvre 1 des $online processeurs logiques en ligne" "$dir/err" || {
  echo "no coverage note"; cat "$dir/err"; exit 1; }
# The caches' lines come of the APIC ids too (the caches' ids), which a
# virtual machine may change from one run to the next (leaf 1's APIC byte):
# they are compared where the processor both runs walked had the same id.
rows='CPU : |CPU Family '
apic_of() { sed -n "s/^ \. CPU$2 : Apic=\([0-9]*\) .*/\1/p" "$1"; }
index=$(taskset -c -p $$ | sed 's/.*: *//' | tr ',' '\n' | awk -F- -v cpu="$last" '
  { hi = NF > 1 ? $2 : $1; for (c = $1; c <= hi; c++) { if (c == cpu) { print n; exit } n++ } }')
if [ "$(apic_of "$dir/all" "$index")" = "$(apic_of "$dir/one" 0)" ]; then
  rows="$rows|Cache L2 : |Cache L3 : "
else
  echo "note: processor $last had APIC id $(apic_of "$dir/all" "$index"), then $(apic_of "$dir/one" 0): the caches are not compared"
fi
IFS='|'
for row in $rows; do
  expected=$(grep -F -- "$row" "$dir/all")
  actual=$(grep -F -- "$row" "$dir/one")
  [ "$expected" = "$actual" ] || { echo "differs: '$actual', not '$expected'"; exit 1; }
done
unset IFS
grep -q -x "Nombre total de processeurs logiques : 1" "$dir/one" || { cat "$dir/one"; exit 1; }
grep -q "Frequence retenue : 0.00 MHz" "$dir/one" && { echo "no clock measured"; exit 1; }
echo "the report under taskset -c $last matches the machine's"
