#!/bin/sh
# The real program on this machine, input not a terminal: it must print the
# banner, an OS line and the unconditional report rows in order, and end.
set -eu
exe=$1
out=$(mktemp)
trap 'rm -f "$out"' EXIT
timeout 60 "$exe" </dev/null >"$out" 2>/dev/null
for row in "Vexmora 91" "OS : " "CPU : " "CPU Family " "ConstTSC=" "Methode classique : " \
           "Frequence retenue : " "Nombre de processeurs physiques : " "Nombre max de cores par CPU : " \
           "Nombre max de thread par CPU : " "Nombre max de thread par core : " \
           "Nombre total de processeurs logiques : " " . CPU0 : Apic=" "Cache L2 : " "Cache L3 : "; do
  line=$(grep -n -F -- "$row" "$out" | head -n 1 | cut -d: -f1)
  if [ -z "$line" ]; then echo "missing row: $row"; cat "$out"; exit 1; fi
  if [ -n "${previous:-}" ] && [ "$line" -le "$previous" ]; then echo "out of order: $row"; cat "$out"; exit 1; fi
  previous=$line
done
grep -q -E '^[0-9]+ Processeurs?( [A-Za-z]+)+.* (32|64) bits$' "$out" || { echo "no summary line"; cat "$out"; exit 1; }
# On one stream for both outputs, a note (a missing module's hint) comes after
# the report lines written before it, never ahead of the banner.
first=$(timeout 60 "$exe" </dev/null 2>&1 | head -n 1)
[ "$first" = "Vexmora 91" ] || { echo "standard error ahead of the banner: $first"; exit 1; }
cat "$out"
