#!/bin/sh
# soak.sh WEIGH_SIM WORK_DIR [SECONDS]: weigh-sim for 60 s against a board
# sending as fast as the reader takes, buttons and loads changing. Passes
# when the run ends by itself with status 0, standard error is empty (no
# sanitizer report), and peak RSS at 60 s is within 1 MiB of that at 10 s.
set -eu
sim="$1" work="$2" seconds="${3:-60}"
mkdir -p "$work"
script="$work/soak.script" errors="$work/soak.stderr"

# A board whose loads walk and whose A button is held now and then; never
# Home, so the reader runs to the end.
{
    echo "rate 0"
    i=0
    while [ $i -lt 120 ]; do
        buttons=00
        [ $((i % 10)) -eq 3 ] && buttons=08
        echo "board 500 $(printf %02x $((i % 7))) $buttons $((1000 + i * 37 % 5000)) $((2000 + i * 53 % 4000)) $((1500 + i * 11 % 3000)) $((65535 - i * 97 % 60000))"
        i=$((i + 1))
    done
    echo "end 0"
} >"$script"
# 120 stretches of 500 ms is 60 s; stretched to the run asked for.
[ "$seconds" -eq 60 ] || sed -i "s/^board 500 /board $((seconds * 1000 / 120)) /" "$script"

peak() { sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$1/status"; }

started=$(date +%s)
WEIGH_SIM_STATS=1 "$sim" "$script" </dev/null >/dev/null 2>"$errors" &
pid=$!
sleep $((seconds / 6))
early=$(peak $pid)
sleep $((seconds - seconds / 6 - 1))
late=$(peak $pid)
status=0
wait $pid || status=$?
ended=$(date +%s)

echo "soak: ${seconds}s run took $((ended - started))s, exit status $status"
stats=$(sed -n 's/^weigh-sim: \([0-9]*\) reports delivered.*/\1/p' "$errors")
sed -i '/^weigh-sim: [0-9]* reports delivered/d' "$errors"
echo "soak: ${stats:-?} reports taken by the reader, $(( ${stats:-0} / seconds )) a second on average"
echo "soak: peak RSS ${early} KiB at $((seconds / 6)) s, ${late} KiB at $((seconds - 1)) s, growth $((late - early)) KiB"
fail=0
[ -n "$early" ] && [ -n "$late" ] || { echo "soak: FAILED: weigh-sim was gone before its end"; exit 1; }
[ "$status" -eq 0 ] || { echo "soak: FAILED: exit status $status"; fail=1; }
[ ! -s "$errors" ] || { echo "soak: FAILED: standard error was not empty:"; head -50 "$errors"; fail=1; }
[ $((late - early)) -le 1024 ] || { echo "soak: FAILED: peak RSS grew by more than 1 MiB"; fail=1; }
exit $fail
