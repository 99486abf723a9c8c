#!/bin/sh
# check-zip.sh PACKAGE.zip VERSION BUILD_DIR: the programs in BUILD_DIR the
# .zip was made from (unstripped) carry no test seam; it holds exactly the
# programs, the README and the licence; under Wine, in a prefix of its own
# (tests/wine-session/emulator), weigh.exe without a board says both
# messages in order and exits with status 1.
set -eu
zip="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
version="$2" build_dir="$3"
wine_dir="$(cd "$(dirname "$0")/../wine-session" && pwd)"
fail() { echo "check-zip: FAILED: $*"; exit 1; }

"$(dirname "$0")/check-no-seams.sh" x86_64-w64-mingw32-nm "$build_dir/weigh.exe" "$build_dir/weigh-sim.exe" ||
    fail "test seams in the programs"

expected="LICENSE README.md weigh-sim.exe weigh.exe"
listed=$(cmake -E tar tf "$zip" | sort | tr '\n' ' ' | sed 's/ $//')
[ "$listed" = "$expected" ] || fail "the .zip holds '$listed', not '$expected'"
echo "check-zip: holds exactly $expected"

work=$(mktemp -d)
trap '"$wine_dir/end-session" "$work/prefix"; rm -rf "$work"' EXIT
(cd "$work" && cmake -E tar xf "$zip")
wine() { "$wine_dir/emulator" "$work/prefix" "$@"; }

shown=$(wine "$work/weigh-sim.exe" --version </dev/null 2>/dev/null | tr -d '\r')
[ "$shown" = "weigh-sim $version" ] || fail "weigh-sim.exe --version says '$shown'"

status=0
wine "$work/weigh.exe" </dev/null >"$work/out" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "weigh.exe without a board exited $status"
messages=$(tr -d '\r' <"$work/err" | grep '^Wii-Remote' | tr '\n' '|')
[ "$messages" = "Wii-Remote not found.|Wii-Remote cannot open.|" ] || fail "weigh.exe said: $(cat "$work/err")"
[ ! -s "$work/out" ] || fail "weigh.exe printed lines without a board"
echo "check-zip: weigh.exe without a board: both messages, exit status 1"
