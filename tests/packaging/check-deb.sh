#!/bin/sh
# Checks the .deb as a user meets it: lintian finds no error, it installs,
# the installed weigh-sim prints correct lines, the manual page renders,
# weigh without a board takes the not-found path, and removing the package
# takes away everything it installed. Needs root; it installs and removes
# the package `weigh` on this machine.
#   check-deb.sh PACKAGE.deb
set -eu
deb="$1"
version=$(dpkg-deb -f "$deb" Version)
fail() { echo "check-deb: FAILED: $*"; exit 1; }

lintian --allow-root --fail-on error "$deb" || fail "lintian reports errors"
echo "check-deb: lintian: no errors"

dpkg -i "$deb" >/dev/null
files=$(dpkg -L weigh | while read -r path; do [ -f "$path" ] && echo "$path"; done)
echo "check-deb: installed $(echo "$files" | wc -l) files"

[ "$(weigh-sim --version)" = "weigh-sim $version" ] || fail "weigh-sim --version is not $version"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'board 1500 00 00 1000 1000 1000 1000\nboard 400 00 08 1000 1000 1000 1000\nboard 500 00 00 1100 1200 1300 1400\nend\n' \
    >"$work/script"
weigh-sim "$work/script" </dev/null >"$work/out" 2>"$work/err" || fail "weigh-sim exited $?"
[ ! -s "$work/err" ] || fail "weigh-sim wrote to standard error: $(cat "$work/err")"
grep -qx '0,0, Msum 40.0(kg), Mrf 1000, Mrb 1000, Mlf 1000, Mlb 1000' "$work/out" || fail "no raw line"
grep -qx '0,8, Msum  0.0(kg), Mrf    0, Mrb    0, Mlf    0, Mlb    0' "$work/out" || fail "no zeroed line"
[ "$(tail -1 "$work/out")" = '0,0, Msum 10.0(kg), Mrf  100, Mrb  200, Mlf  300, Mlb  400' ] || fail "wrong last line"
echo "check-deb: weigh-sim printed $(wc -l <"$work/out") correct lines"

status=0
weigh </dev/null >"$work/out" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "weigh without a board exited $status"
grep -qx 'Wii-Remote cannot open.' "$work/err" || fail "weigh did not say it cannot open"
echo "check-deb: weigh without a board: exit status 1"

for page in weigh weigh-sim; do
    man -l "/usr/share/man/man1/$page.1.gz" 2>"$work/err" | grep -q '^NAME' || fail "man -l $page does not render"
    [ ! -s "$work/err" ] || fail "man -l $page warns: $(cat "$work/err")"
done
echo "check-deb: manual pages render"

dpkg -r weigh >/dev/null
for path in $files; do
    [ ! -e "$path" ] || fail "$path is still there after dpkg -r"
done
echo "check-deb: dpkg -r removed every file"
