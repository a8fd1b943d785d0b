#!/bin/sh
# The manual page tells what the key prompt does as the program does it:
# Ctrl-C is a key like any other (exit 0), the signals that end the prompt
# with 128 + the signal come from elsewhere, and a stop gives the terminal back.
# Exit 77 (skipped) where man cannot render the page.
set -u
page=$1
text=$(MANWIDTH=200 man -l "$page" 2>/dev/null | tr -s ' \n' '  ') || true
[ -n "$text" ] || { echo "man cannot render $page here"; exit 77; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The sentence naming the signals that end the prompt.
ending=$(printf '%s\n' "$text" | grep -o 'Interrompu pendant cette attente[^.]*\.')
[ -n "$ending" ] || fail "no sentence on the signals that end the prompt"
case $ending in *Ctrl*) fail "a key among the signals that end the prompt: $ending" ;; esac
for signal in SIGTERM SIGHUP SIGQUIT SIGINT; do
  case $ending in *"$signal"*) ;; *) fail "$signal missing from: $ending" ;; esac
done
printf '%s\n' "$text" | grep -q 'Toute touche termine l.attente, Ctrl.C[^.]*code de retour 0' ||
  fail "Ctrl-C is not said to be a key that ends the prompt with 0"
printf '%s\n' "$text" | grep -q 'SIGTSTP' || fail "nothing said of a stop at the prompt"

[ "$failures" -eq 0 ] || exit 1
echo "the manual page tells the prompt's keys and signals as the program handles them"
