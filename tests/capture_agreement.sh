#!/bin/sh
# Capture this machine, replay the capture, and compare with the live report:
# every line that depends neither on timing nor on sensors must be equal
# (those that come of the APIC ids where both runs met the same ids). Left
# out: the OS line (the replay shows a Windows version), the frequencies and
# multipliers (timing), PerfMSR and the temperature section (registers the
# capture does not hold). The replay's library is given the live status, which
# the Linux program names after the msr driver and the replay after the library.
# Exit 77 (skipped) where the live program cannot report this machine.
set -eu
vexmora=$1
replay=$2
# Where the live program stops at its affinity checks there is no report to compare.
if [ "$(nproc)" -gt 32 ] || [ "$(nproc)" -ne "$(nproc --all)" ]; then
  echo "$(nproc) usable of $(nproc --all) logical processors: not a machine the report covers"; exit 77
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

"$replay" --capture "$dir/capture.txt" 2>"$dir/capture.err" || { cat "$dir/capture.err"; exit 1; }
timeout 60 "$vexmora" </dev/null >"$dir/live.txt" 2>/dev/null

status=$(sed -n 's/^Pilote msr : erreur \([0-9]*\)$/\1/p' "$dir/live.txt")
library=ready
[ -n "$status" ] && library=status:$status
timeout 60 "$replay" --library="$library" "$dir/capture.txt" >"$dir/replay.txt" 2>/dev/null

comparable() {
  grep -v -E '^(OS : |Methode |Frequence retenue|CoefMaxi=|Support |Tj\(Max\)|Tcore|Tcpu|WinRing0 Status : |Pilote msr : )' "$1" |
    sed 's/ PerfMSR=[0-9]*$//'
}
# What the processor itself fixes, whatever APIC ids a run meets.
fixed() {
  grep -E '^(Vexmora 91|CPU : |CPU Family |ConstTSC=|Nombre total de processeurs logiques : )' "$1" |
    sed 's/ PerfMSR=[0-9]*$//'
}
apic_ids() { sed -n 's/^ \. CPU[0-9]* : Apic=\([0-9]*\) .*/\1/p' "$1" | tr '\n' ' ' | sed 's/ $//'; }
# The rest comes of the APIC ids (each processor's split, the counts, the
# caches, the summary): the same only where both runs met the same ids, which
# a virtual machine may change from one run to the next (leaf 1's APIC byte).
if [ "$(apic_ids "$dir/live.txt")" = "$(apic_ids "$dir/replay.txt")" ]; then
  comparable "$dir/live.txt" >"$dir/live.cmp"
  comparable "$dir/replay.txt" >"$dir/replay.cmp"
else
  echo "note: the capture met APIC ids $(apic_ids "$dir/replay.txt") and the live run $(apic_ids "$dir/live.txt")" \
       "on the same processors: what comes of them is not compared"
  fixed "$dir/live.txt" >"$dir/live.cmp"
  fixed "$dir/replay.txt" >"$dir/replay.cmp"
fi

if ! diff -u "$dir/live.cmp" "$dir/replay.cmp"; then
  echo "live and replayed reports differ (- live, + replay)"
  exit 1
fi
blocks=$(grep -c '^CPUID 00000000:' "$dir/capture.txt")
grep -q -x "Nombre total de processeurs logiques : $blocks" "$dir/live.txt" ||
  { echo "the capture holds $blocks blocks, not one per logical processor"; exit 1; }
echo "replay of this machine's capture ($blocks processors, library $library) agrees with the live report:"
cat "$dir/replay.cmp"
