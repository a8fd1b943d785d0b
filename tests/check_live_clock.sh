#!/bin/sh
# The live report's classic clock against the kernel's time-stamp counter rate
# (the first "cpu MHz" of /proc/cpuinfo, which on a virtual machine with an
# invariant counter is that rate), within 0.1 %, and the temperature section
# this processor's vendor and sensor call for. Exit 77 (skipped) where the
# system cannot tell. The two readings of each end of the measurement are
# adjacent, but a run preempted between them is off; up to five runs are tried.
set -eu
exe=$1

[ -r /proc/cpuinfo ] || { echo "no /proc/cpuinfo"; exit 77; }
field() { sed -n "s/^$1[[:space:]]*: //p" /proc/cpuinfo | head -n 1; }
kernel=$(field 'cpu MHz')
vendor=$(field 'vendor_id')
flags=" $(field 'flags') "
[ -n "$kernel" ] && [ -n "$vendor" ] || { echo "/proc/cpuinfo lacks cpu MHz or vendor_id"; exit 77; }
case "$flags" in *" constant_tsc "*) ;; *) echo "no constant-rate counter: cpu MHz is not its rate"; exit 77 ;; esac
# On bare metal with frequency scaling, cpu MHz is the current core clock instead.
case "$flags" in *" hypervisor "*) ;; *) echo "not a virtual machine: cpu MHz follows the core clock"; exit 77 ;; esac

out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=1
for attempt in 1 2 3 4 5; do
  timeout 60 "$exe" </dev/null >"$out" 2>/dev/null
  classic=$(sed -n 's/^Methode classique : \([0-9.]*\) MHz$/\1/p' "$out")
  if [ -n "$classic" ] && awk -v c="$classic" -v k="$kernel" 'BEGIN { d = (c - k) / k; exit !(d < 0.001 && d > -0.001) }'; then
    status=0
    break
  fi
  echo "run $attempt: classic ${classic:-(none)} MHz against the kernel's $kernel MHz"
done

# Leaf 6 EAX bit 0 is what the kernel shows as the dts flag.
case "$vendor" in
  GenuineIntel)
    case "$flags" in
      *" dts "*) section="Support Intel DTS : " ;;
      *) section="Support Intel DTS : Non" ;;
    esac ;;
  AuthenticAMD) section="Support AMD TTP : " ;;
  *) section="" ;;
esac
if [ -n "$section" ]; then
  grep -q -F -- "$section" "$out" || { echo "expected a line starting: $section"; status=1; }
else
  ! grep -q "^Support " "$out" || { echo "no temperature section expected for $vendor"; status=1; }
fi
[ "$status" -eq 0 ] || cat "$out"
exit "$status"
