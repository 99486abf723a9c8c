#!/bin/sh
# lines_per_second.sh PROGRAM [WINE_PREFIX]: the lines a second weigh-sim
# writes into a file, its board holding one load at 100 reports a second,
# counted from 0.5 s after the first line for 20 s. With WINE_PREFIX,
# PROGRAM is weigh-sim.exe, run under Wine through tests/wine-session/emulator.
set -eu
program=${1:?usage: lines_per_second.sh PROGRAM [WINE_PREFIX]}
prefix=${2:-}
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'rate 100\nboard 60000 00 00 1480 1523 1502 1461\nend\n' >"$work/steady.txt"
: >"$work/out.txt"
if [ -n "$prefix" ]; then
    "$here/tests/wine-session/emulator" "$prefix" "$program" "$work/steady.txt" >>"$work/out.txt" 2>"$work/err.txt" </dev/null &
else
    "$program" "$work/steady.txt" >>"$work/out.txt" 2>"$work/err.txt" </dev/null &
fi
pid=$!
lines() { wc -l <"$work/out.txt"; }

waited=0
until [ "$(lines)" -gt 0 ]; do
    sleep 0.1
    waited=$((waited + 1))
    if [ "$waited" -gt 600 ]; then
        echo "lines_per_second: no line in 60 s" >&2
        cat "$work/err.txt" >&2
        kill "$pid" 2>/dev/null || true
        exit 1
    fi
done
sleep 0.5
t0=$(date +%s.%N) n0=$(lines)
sleep 20
t1=$(date +%s.%N) n1=$(lines)
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
awk -v n0="$n0" -v n1="$n1" -v t0="$t0" -v t1="$t1" \
    'BEGIN { printf "%d lines in %.2f s: %.1f lines a second\n", n1 - n0, t1 - t0, (n1 - n0) / (t1 - t0) }'
