#!/usr/bin/env bash
# A cross-built sprayl-check of a 32-bit target, under its emulator, checks a
# stream of the native sprayl longer than 4 GiB: every byte is counted and
# found intact, where a size_t of 32 bits meets offsets past 4 GiB.
#
# Usage: cross_long_stream_test.sh EMULATOR [ARGUMENT...] -- CROSS_CHECK NATIVE_DIR
set -uo pipefail
emulator=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    emulator+=("$1")
    shift
done
[ $# -eq 3 ] || { echo "usage: $0 EMULATOR [ARGUMENT...] -- CROSS_CHECK NATIVE_DIR" >&2; exit 2; }
cross_check=$2
native_sprayl=$3/sprayl
[ -x "$native_sprayl" ] || { echo "no native $native_sprayl: build the ci preset first" >&2; exit 2; }
fields=$(dirname "$0")/../tools/sprayl-check/tests/report_fields.py
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# 4 GiB and a part of a block beyond.
size=$(((4 << 30) + 12345))
"$native_sprayl" | head -c $size |
    "${emulator[@]}" "$cross_check" --json "$scratch/r.json" > "$scratch/out" 2>&1
code=$?
got=$(python3 "$fields" "$scratch/r.json" result check.bytes.read check.bytes.intact | tr '\n' ' ')
if [ "$code" -eq 0 ] && [ "$got" = "\"intact\" $size $((size - 16)) " ]; then
    echo "passed: $size bytes intact"
    exit 0
fi
echo "FAILED: exit code $code, result, bytes read and intact: $got"
cat "$scratch/out"
exit 1
