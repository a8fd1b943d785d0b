#!/bin/sh
# goldens.py on a directory of its own: a dump without goldens, a golden
# without its dump, a report without its source line, a changed line and an
# unexpected standard error each fail, named; a rewrite keeps the headers.
set -u
python=$1
goldens=$2
replay=$3
dumps=$4
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

mkdir "$dir/dumps" "$dir/expected"
cp "$dumps/CentaurHauls00006F2_CNA_Isaiah_CPUID.txt" "$dumps/CentaurHauls0000660_C5A_Samuel_CPUID.txt" "$dir/dumps"
isaiah=$dir/expected/CentaurHauls00006F2_CNA_Isaiah_CPUID
samuel=$dir/expected/CentaurHauls0000660_C5A_Samuel_CPUID

# check WHAT STATUS [TEXT]: goldens.py exits STATUS, and says TEXT where given.
check() {
  what=$1 status=$2 text=${3:-}
  "$python" "$goldens" "$replay" --dumps "$dir/dumps" --expected "$dir/expected" >"$dir/out" 2>&1
  got=$?
  [ "$got" = "$status" ] || fail "$what: exit $got, expected $status: $(cat "$dir/out")"
  [ -z "$text" ] || grep -q -F -- "$text" "$dir/out" || fail "$what: no '$text' in: $(cat "$dir/out")"
}
rewrite() {
  "$python" "$goldens" --rewrite "$replay" --dumps "$dir/dumps" --expected "$dir/expected" >"$dir/out" 2>&1 ||
    fail "rewrite: $(cat "$dir/out")"
}

check "no goldens" 1 "$isaiah.report is missing"
check "no goldens" 1 "$samuel.json is missing"

# A rewrite writes them, with an empty source line that the check refuses until filled in.
rewrite
check "empty source" 1 "$isaiah.report: no '# source:' line"
for report in "$isaiah.report" "$samuel.report"; do
  sed -i '1c # source: a test of its own\n# a derivation line' "$report"
done
check "whole goldens" 0
grep -q -x -F '    "version": "@VERSION@"' "$isaiah.json" || fail "rewrite: the document's version is not @VERSION@"

# A line that differs is shown, and a rewrite mends it under the same header.
sed -i 's/^Cache L2 : 1 x 1024 Ko$/Cache L2 : 2 x 1024 Ko/' "$isaiah.report"
check "changed line" 1 "+Cache L2 : 1 x 1024 Ko"
rewrite
check "rewritten" 0
[ "$(head -n 2 "$isaiah.report")" = "$(printf '# source: a test of its own\n# a derivation line')" ] ||
  fail "rewrite: header not kept: $(head -n 3 "$isaiah.report")"

# Standard error is a golden's too: none expected, none written.
echo "Vexmora: a message" >"$isaiah.stderr"
check "stderr expected" 1 "$isaiah.stderr"
rm "$isaiah.stderr"

# A golden whose dump is gone.
cp "$samuel.json" "$dir/expected/Gone.json"
check "orphan" 1 "$dir/expected/Gone.json has no dump"
rewrite
[ -e "$dir/expected/Gone.json" ] && fail "rewrite: the orphan golden stays"

[ "$failures" = 0 ] && echo "golden refusals: all passed"
[ "$failures" = 0 ]
