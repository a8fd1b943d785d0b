#!/bin/sh
# The real program when its report, or its --json document, cannot be
# delivered: a full device and a closed standard output fail with a message
# naming the error and status 1; a pipe whose reader has gone ends with 141 (as
# a shell shows SIGPIPE) and no message, whether the program is killed by
# SIGPIPE or ignores it.
set -u
prog=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The reader of the pipe is gone well before the program writes to it.
# $form is empty for the report, --json for the document.
gone_reader() { { sleep 1; timeout 60 "$prog" $form 2>"$dir/err" </dev/null; echo $? >"$dir/rc"; } | true; }
gone_reader_sigpipe_ignored() { trap '' PIPE; gone_reader; }

for form in "" --json; do
  while IFS='|' read -r label command status message; do
    label="$label${form:+ ($form)}"
    rm -f "$dir/err" "$dir/rc"
    case $command in
      full) timeout 60 "$prog" $form >/dev/full 2>"$dir/err" </dev/null; echo $? >"$dir/rc" ;;
      closed) timeout 60 "$prog" $form >&- 2>"$dir/err" </dev/null; echo $? >"$dir/rc" ;;
      *) ("$command") ;;
    esac
    got=$(cat "$dir/rc")
    [ "$got" = "$status" ] || fail "$label: exit $got, expected $status"
    if [ -n "$message" ]; then
      grep -q -x -F "Vexmora: impossible d'écrire le rapport : $message" "$dir/err" ||
        fail "$label: no message naming the error: $(cat "$dir/err")"
    elif grep -q "impossible d'écrire" "$dir/err"; then
      fail "$label: a message for a closed pipe: $(cat "$dir/err")"
    fi
  done <<CASES
standard output on /dev/full|full|1|No space left on device
standard output closed|closed|1|Bad file descriptor
pipe reader gone|gone_reader|141|
pipe reader gone, SIGPIPE ignored|gone_reader_sigpipe_ignored|141|
CASES
done

[ "$failures" -eq 0 ] || exit 1
echo "all report delivery checks passed"
