#!/bin/sh
# check-deb.sh PACKAGE.deb BUILD_DIR: the binaries in BUILD_DIR the .deb
# was made from (unstripped) carry no test seam; lintian finds no error; it
# installs; weigh-sim prints correct lines; the manual pages render; weigh
# without a board takes the not-found path; the purge removes everything.
# It installs and purges `weigh` here: run it as root or with sudo.
set -eu
deb="$1" build_dir="$2"
version=$(dpkg-deb -f "$deb" Version)
as_root=""
[ "$(id -u)" -eq 0 ] || as_root="sudo"
fail() { echo "check-deb: FAILED: $*"; exit 1; }

work=$(mktemp -d) installed=no
# A failed check leaves nothing installed either.
trap 'rm -rf "$work"; [ $installed = no ] || $as_root dpkg --purge weigh >/dev/null || true' EXIT

"$(dirname "$0")/check-no-seams.sh" nm "$build_dir/weigh" "$build_dir/weigh-sim" || fail "test seams in the binaries"

# lintian leaves its index databases in TMPDIR: in ours, they go with it.
mkdir "$work/lintian"
TMPDIR="$work/lintian" lintian --allow-root --fail-on error "$deb" || fail "lintian reports errors"
echo "check-deb: lintian: no errors"
$as_root dpkg -i "$deb" >/dev/null || fail "dpkg -i did not install it"
installed=yes
files=$(dpkg -L weigh | while read -r path; do [ -f "$path" ] && echo "$path"; done)
echo "check-deb: installed $(echo "$files" | wc -l) files"

[ "$(weigh-sim --version)" = "weigh-sim $version" ] || fail "weigh-sim --version is not $version"

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

$as_root dpkg --purge weigh >/dev/null || fail "dpkg --purge failed"
installed=no
for path in $files; do
    [ ! -e "$path" ] || fail "$path is still there after dpkg --purge"
done
status=$(dpkg-query -W -f='${db:Status-Abbrev}' weigh 2>/dev/null || true)
case "$status" in "" | "un "*) ;; *) fail "dpkg still knows weigh after the purge: '$status'" ;; esac
echo "check-deb: dpkg --purge removed every file and left no trace"
