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
for row in "CPU : " "CPU Family " "Cache L2 : " "Cache L3 : "; do
  expected=$(grep -F -- "$row" "$dir/all")
  actual=$(grep -F -- "$row" "$dir/one")
  [ "$expected" = "$actual" ] || { echo "differs: '$actual', not '$expected'"; exit 1; }
done
grep -q -x "Nombre total de processeurs logiques : 1" "$dir/one" || { cat "$dir/one"; exit 1; }
grep -q "Frequence retenue : 0.00 MHz" "$dir/one" && { echo "no clock measured"; exit 1; }
echo "the report under taskset -c $last matches the machine's"
