#!/bin/sh
# Where the steady display's time goes: weigh-sim, holding one load at 100
# reports a second, with its output on a pseudo-terminal (script(1) makes
# one), profiled twice after its start-up:
#   1. perf, sampling the CPU clock (the only event a machine without
#      hardware counters has), kernel included, for SECONDS;
#   2. callgrind, counting the instructions of the display pass, of the
#      reader's step and of the sleep's user-side part (the start-up's busy
#      wait is left out).
#
#   bench/profile.sh [BUILD_DIR] [SECONDS]    (default build/bench, 10)
#
# Needs linux-perf and valgrind; writes into a temporary folder it names.
set -eu
build=${1:-build/bench}
seconds=${2:-10}
sim="$(cd "$build" && pwd)/weigh-sim"
out=$(mktemp -d /tmp/weigh-profile.XXXXXX)
echo "profile: $out"

# Start-up takes about 1.2 s; the script lasts past the sampling.
cat >"$out/steady.txt" <<EOF
rate 100
board $(( (seconds + 5) * 1000 )) 00 00  1480 1523 1502 1461
end
EOF

if command -v perf >/dev/null; then
    script -q -c "$sim $out/steady.txt" /dev/null >/dev/null &
    runner=$!
    sleep 3
    pid=$(pgrep -n -f "^$sim $out/steady.txt" || true)
    if [ -n "$pid" ]; then
        perf record -q -e cpu-clock -F 10000 -g -p "$pid" -o "$out/perf.data" -- sleep "$seconds" 2>/dev/null
        echo "== perf: by thread and by user space or kernel"
        perf report -i "$out/perf.data" --no-children --sort pid,dso --stdio -g none 2>/dev/null | grep -v '^#' | grep -v '^$' | head -12
        echo "== perf: by function"
        perf report -i "$out/perf.data" --no-children --sort sym --stdio -g none 2>/dev/null | grep -v '^#' | grep -v '^$' | head -25
    fi
    wait "$runner" || true
fi

if command -v valgrind >/dev/null; then
    cat >"$out/short.txt" <<EOF
rate 100
board 6000 00 00  1480 1523 1502 1461
end
EOF
    script -q -c "valgrind -q --tool=callgrind --callgrind-out-file=$out/callgrind.out \
        '--toggle-collect=DisplayPass*' '--toggle-collect=ReadDeviceReport*' '--toggle-collect=PlatformSleep*' \
        $sim $out/short.txt" /dev/null >/dev/null || true
    echo "== callgrind: instructions, inclusive, and calls (Nx)"
    callgrind_annotate --auto=no --inclusive=yes --tree=caller "$out/callgrind.out" 2>/dev/null \
        | grep -E 'PROGRAM TOTALS|^ *[0-9,]+ .*(<|\*) ' \
        | grep -E 'PROGRAM TOTALS|DisplayPass|FormatReading|snprintf|fwrite|ReadDeviceReport|ReadReport|MomentAt|PlatformSleep' \
        | head -24
fi
