#!/bin/sh
# The real program kept off all but one processor where neither /sys nor /proc
# can be read (a minimal container): the walk counts as stopped short, so no
# core it did not reach is called inactive, and standard error says why, once.
# Needs root to hide both in a mount namespace of its own; skipped elsewhere.
set -eu
exe=$1
online=$(getconf _NPROCESSORS_ONLN)
if [ "$online" -lt 2 ] || ! command -v taskset >/dev/null || ! command -v unshare >/dev/null; then
  echo "SKIP: needs two processors, taskset and unshare"; exit 77
fi
unshare -m true 2>/dev/null || { echo "SKIP: no mount namespace here"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
last=$(taskset -c -p $$ | sed 's/.*[-,]//')
status=0
# /proc/stat, the one file the program reads there, is hidden rather than all
# of /proc, which a sanitized build's runtime needs for itself.
unshare -m sh -c 'mount -t tmpfs none /sys && mount --bind /dev/null /proc/stat && exec taskset -c "$1" "$2" </dev/null' \
  sh "$last" "$exe" >"$dir/out" 2>"$dir/err" || status=$?
[ "$status" = 0 ] || { echo "exit status $status"; cat "$dir/err"; exit 1; }
count=$(grep -c "ni /sys ni /proc ne disent quels processeurs sont en ligne" "$dir/err" || true)
[ "$count" = 1 ] || { echo "the note came $count times"; cat "$dir/err"; exit 1; }
grep -q "Skelvane ne peut acc" "$dir/err" && { echo "warned of processors it cannot know"; cat "$dir/err"; exit 1; }
grep -q -x "Nombre total de processeurs logiques : 1" "$dir/out" || { cat "$dir/out"; exit 1; }
grep -q "inactif" "$dir/out" && { echo "inferred inactive cores"; cat "$dir/out"; exit 1; }
echo "without /sys and /proc, the walk of processor $last infers no inactive core and says why"
