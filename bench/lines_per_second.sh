#!/bin/sh
# lines_per_second.sh PROGRAM [WINE_PREFIX]: the lines a second weigh-sim
# writes into a file, its board holding one load at 100 reports a second,
# counted for 20 s from 0.5 s after the first line. With WINE_PREFIX,
# PROGRAM is weigh-sim.exe, run under Wine through tests/wine-session/emulator.
set -eu
program=${1:?usage: lines_per_second.sh PROGRAM [WINE_PREFIX]}
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'kill "${pid:-}" 2>/dev/null; rm -rf "$work"' EXIT
printf 'rate 100\nboard 60000 00 00 1480 1523 1502 1461\nend\n' >"$work/steady.txt"
${2:+"$here/tests/wine-session/emulator" "$2"} "$program" "$work/steady.txt" >"$work/out.txt" 2>"$work/err.txt" </dev/null &
pid=$!
lines() { wc -l <"$work/out.txt"; }
for _ in $(seq 600); do [ "$(lines)" -eq 0 ] || break; sleep 0.1; done
if [ "$(lines)" -eq 0 ]; then
    echo "lines_per_second: no line in 60 s" >&2
    cat "$work/err.txt" >&2
    exit 1
fi
sleep 0.5
t0=$(date +%s.%N) n0=$(lines)
sleep 20
t1=$(date +%s.%N) n1=$(lines)
awk -v n0="$n0" -v n1="$n1" -v t0="$t0" -v t1="$t1" \
    'BEGIN { printf "%d lines in %.2f s: %.1f lines a second\n", n1 - n0, t1 - t0, (n1 - n0) / (t1 - t0) }'
