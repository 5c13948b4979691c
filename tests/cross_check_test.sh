#!/usr/bin/env bash
# A cross-built sprayl and sprayl-check, run under an emulator, against the
# native ones: the cross-built sprayl's stream checks intact with the native
# sprayl-check (and with its own), and the cross-built sprayl-check finds a
# byte flipped in a native stream at its exact offset.
#
# Usage: cross_check_test.sh EMULATOR [ARGUMENT...] -- CROSS_SPRAYL CROSS_CHECK NATIVE_DIR
# NATIVE_DIR is a native build of sprayl (build/ci), with sprayl and
# tools/sprayl-check/sprayl-check in it.
set -uo pipefail
emulator=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    emulator+=("$1")
    shift
done
[ $# -eq 4 ] || { echo "usage: $0 EMULATOR [ARGUMENT...] -- CROSS_SPRAYL CROSS_CHECK NATIVE_DIR" >&2; exit 2; }
cross_sprayl=$2
cross_check=$3
native_sprayl=$4/sprayl
native_check=$4/tools/sprayl-check/sprayl-check
for program in "$native_sprayl" "$native_check"; do
    [ -x "$program" ] || { echo "no native $program: build the ci preset first" >&2; exit 2; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

# expect NAME CODE LINE: the last check ended with CODE and printed LINE.
expect() {
    [ "$code" -eq "$2" ] || fail "$1: exit code $code, expected $2"
    grep -qxF -- "$3" "$scratch/out" || fail "$1: no line \"$3\" in: $(cat "$scratch/out")"
}

# Not a whole number of blocks: the reader stops in the middle of one.
size=$((4 * 1024 * 1024 + 5))

"${emulator[@]}" "$cross_sprayl" | head -c $size > "$scratch/cross.bin"
statuses=("${PIPESTATUS[@]}")
[ "${statuses[0]}" -eq 0 ] || fail "cross sprayl: exit code ${statuses[0]} when the reader left"
"$native_check" --size $size "$scratch/cross.bin" > "$scratch/out" 2>&1
code=$?
expect "cross stream, native check" 0 "result: intact"
"${emulator[@]}" "$cross_check" --size $size "$scratch/cross.bin" > "$scratch/out" 2>&1
code=$?
expect "cross stream, cross check" 0 "result: intact"

"$native_sprayl" | head -c $size > "$scratch/native.bin"
for offset in 16 1234567 $((size - 1)); do
    cp "$scratch/native.bin" "$scratch/flipped.bin"
    byte=$(od -An -tu1 -j $offset -N 1 "$scratch/flipped.bin" | tr -d ' ')
    printf "\\$(printf %o $((byte ^ 0x40)))" |
        dd of="$scratch/flipped.bin" bs=1 seek=$offset count=1 conv=notrunc status=none
    "${emulator[@]}" "$cross_check" "$scratch/flipped.bin" > "$scratch/out" 2>&1
    code=$?
    expect "flipped byte at $offset, cross check" 1 "result: DAMAGED"
    grep -q "^first bad byte: offset $offset," "$scratch/out" ||
        fail "flipped byte at $offset: not reported there: $(cat "$scratch/out")"
done

[ $failures -eq 0 ] && echo "passed" || echo "$failures failed"
[ $failures -eq 0 ]
