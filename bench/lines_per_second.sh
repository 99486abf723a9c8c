#!/bin/sh
# lines_per_second.sh PROGRAM [WINE_PREFIX]
#
# How many lines a second weigh-sim prints into a file while the simulated
# board holds one load at 100 reports a second: the count of lines in the
# file 0.5 s after the first line appears and again 20 s later. With
# WINE_PREFIX, PROGRAM is weigh-sim.exe and runs under Wine in that prefix
# (through tests/wine/run, which starts the Wine session if none runs).
#
#   bench/lines_per_second.sh build/demo/weigh-sim
#   bench/lines_per_second.sh build/windows/weigh-sim.exe /tmp/weigh-wine
set -eu
program=${1:?usage: lines_per_second.sh PROGRAM [WINE_PREFIX]}
prefix=${2:-}
seconds=20
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The board holds its load past the measured stretch, then the run ends.
printf 'rate 100\nboard 60000 00 00 1480 1523 1502 1461\nend\n' >"$work/steady.txt"
: >"$work/out.txt"

if [ -n "$prefix" ]; then
    "$here/tests/wine/run" "$prefix" "$program" "$work/steady.txt" >>"$work/out.txt" 2>"$work/err.txt" </dev/null &
else
    "$program" "$work/steady.txt" >>"$work/out.txt" 2>"$work/err.txt" </dev/null &
fi
pid=$!

lines() { wc -l <"$work/out.txt"; }
now() { date +%s.%N; }

waited=0
while [ "$(lines)" -eq 0 ]; do
    sleep 0.1
    waited=$((waited + 1))
    if [ "$waited" -gt 600 ]; then
        echo "lines_per_second: no line in 60 s" >&2
        kill "$pid" 2>/dev/null || true
        exit 1
    fi
done
sleep 0.5
t0=$(now); n0=$(lines)
sleep "$seconds"
t1=$(now); n1=$(lines)
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
awk -v n0="$n0" -v n1="$n1" -v t0="$t0" -v t1="$t1" \
    'BEGIN { printf "%d lines in %.2f s: %.1f lines a second\n", n1 - n0, t1 - t0, (n1 - n0) / (t1 - t0) }'
