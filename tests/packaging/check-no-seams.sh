#!/bin/sh
# Checks that the binaries a package is made from carry no test seam: nm,
# demangled, shows no symbol whose own name (the last part of a qualified
# name) begins with test or Test. Give it the unstripped binaries of the
# build tree, not the package's stripped copies, which would prove nothing:
# a binary without symbols fails. Checks first that it finds planted seams.
#   check-no-seams.sh NM BINARY...
set -eu
nm=$1
shift
fail() { echo "check-no-seams: FAILED: $*"; exit 1; }

# seams: of demangled symbol names on standard input, those whose own name
# begins with test or Test: arguments, a trailing template's arguments and
# any qualifier before the last :: (or "vtable for " and the like) dropped.
# Names in test_ are the C runtime's (MinGW's static winpthreads has
# test_cancel_locked), never ours: the program's names are camelCase.
seams() {
    sed -n 'h; s/(.*//; s/<.*>$//; s/.*[: ]//; /^test_/d; /^[Tt]est/ { g; p; }'
}

planted=$(printf '%s\n' 'sim::testPlanted' 'TestPlanted(int)' 'PlatformMessage(char const*)' \
    'std::vector<sim::Call>::push_back(sim::Call const&)' 'sim::Attest' 'test_cancel_locked' | seams | tr '\n' '|')
[ "$planted" = "sim::testPlanted|TestPlanted(int)|" ] || fail "the check found '$planted' of the planted seams"

for binary in "$@"; do
    symbols=$("$nm" -C -j "$binary" | grep -v '^$' || true)
    [ -n "$symbols" ] || fail "$nm finds no symbols in $binary (a stripped binary proves nothing)"
    found=$(printf '%s\n' "$symbols" | sort -u | seams)
    [ -z "$found" ] || fail "$binary carries test seams: $(echo "$found" | tr '\n' ' ')"
    echo "check-no-seams: $(basename "$binary"): $(echo "$symbols" | wc -l) symbols, no test seam"
done
