#!/bin/sh
# The real program's command line: --help and --version answer on standard
# output with status 0; --json takes no other argument; anything else is
# refused on standard error with the usage line and status 2, and nothing is
# reported. An answer that cannot be written fails as the report does.
set -u
prog=$1
version=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
usage='Usage : vexmora [--json | --help | --version]'

# label;arguments (split on spaces; EMPTY is one empty argument);status;first line of standard output;standard error
while IFS=';' read -r label arguments status out err; do
  # shellcheck disable=SC2086
  if [ "$arguments" = EMPTY ]; then set -- ""; else set -- $arguments; fi
  timeout 60 "$prog" "$@" </dev/null >"$dir/out" 2>"$dir/err"
  got=$?
  [ "$got" = "$status" ] || fail "$label: exit $got, expected $status"
  [ "$(head -n 1 "$dir/out")" = "$out" ] || fail "$label: standard output begins: $(head -n 3 "$dir/out")"
  if [ -z "$err" ]; then
    [ ! -s "$dir/err" ] || fail "$label: standard error: $(cat "$dir/err")"
  else
    [ "$(cat "$dir/err")" = "$(printf '%s\n%s' "$err" "$usage")" ] ||
      fail "$label: standard error: $(cat "$dir/err")"
  fi
done <<CASES
help;--help;0;$usage;
version;--version;0;vexmora $version;
unknown option;--hlep;2;;Vexmora: argument inconnu : --hlep
short help is not an option;-h;2;;Vexmora: argument inconnu : -h
an operand;rapport.txt;2;;Vexmora: argument inconnu : rapport.txt
an empty argument;EMPTY;2;;Vexmora: argument inconnu : 
help with a second argument;--help extra;2;;Vexmora: argument en trop : extra
version then help;--version --help;2;;Vexmora: argument en trop : --help
json then help;--json --help;2;;Vexmora: argument en trop : --help
json with an operand;--json x;2;;Vexmora: argument en trop : x
json twice;--json --json;2;;Vexmora: argument en trop : --json
help then json;--help --json;2;;Vexmora: argument en trop : --json
an operand then json;x --json;2;;Vexmora: argument inconnu : x
json misspelt;--jsn;2;;Vexmora: argument inconnu : --jsn
json with a tail;--jsonx;2;;Vexmora: argument inconnu : --jsonx
json with a value;--json=yes;2;;Vexmora: argument inconnu : --json=yes
help with a tail;--helpx;2;;Vexmora: argument inconnu : --helpx
version with a tail;--version2;2;;Vexmora: argument inconnu : --version2
CASES

# What the help promises, in UTF-8 as the terminal shows it.
timeout 60 "$prog" --help >"$dir/out" 2>/dev/null
iconv -f UTF-8 -t UTF-8 "$dir/out" >/dev/null 2>&1 || fail "help: not UTF-8"
for promise in "écrit un rapport en français" "il ne prend pas d'autre" "Codes de retour" \
               "  2        argument inconnu ou en trop" "man vexmora" "  --json     écrit le même rapport en un document JSON" \
               "sans attendre de touche" "vexmora.schema.json"; do
  grep -q -F -- "$promise" "$dir/out" || fail "help: no \"$promise\""
done

# The answer is checked as the report is: a full device fails with status 1.
timeout 60 "$prog" --help >/dev/full 2>"$dir/err"
got=$?
[ "$got" = 1 ] || fail "help on /dev/full: exit $got, expected 1"
grep -q "No space left on device" "$dir/err" || fail "help on /dev/full: no message: $(cat "$dir/err")"

[ "$failures" -eq 0 ] || exit 1
echo "all command line checks passed"
