#!/bin/sh
# check-no-seams.sh NM BINARY...: nm, demangled, shows no symbol whose own
# name begins with test or Test. Give it the build tree's unstripped
# binaries: a binary without symbols proves nothing, and fails. It first
# finds planted seams.
set -eu
nm=$1
shift
fail() { echo "check-no-seams: FAILED: $*"; exit 1; }

# seams: the demangled names on standard input whose own name (arguments, a
# trailing template's arguments and qualifiers or "vtable for " dropped)
# begins with test or Test. test_ names are the C runtime's (MinGW's
# winpthreads has test_cancel_locked); the program's are camelCase.
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
