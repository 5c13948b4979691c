#!/usr/bin/env bash
# sprayl.exe checked by sprayl-check.exe, both under wine: a bounded stream
# through a pipe, a file with one damaged byte, inputs it must refuse, a name
# outside any ANSI code page, and --fill on a folder of a small file system.
# Usage: wine_check_test.sh WINE SPRAYL_EXE SPRAYL_CHECK_EXE
set -uo pipefail
wine=$1
sprayl=$2
check=$3
scratch=$(mktemp -d)
trap 'mountpoint -q "$scratch/mnt" && umount "$scratch/mnt"; rm -rf "$scratch"' EXIT
failures=0

fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

# expect NAME CODE LINE: the last run ended with CODE and printed LINE. The
# report is text, so on Windows its lines end with CR LF.
expect() {
    [ "$code" -eq "$2" ] || fail "$1: exit code $code, expected $2"
    tr -d '\r' < "$scratch/out" | grep -qxF -- "$3" ||
        fail "$1: no line \"$3\" in: $(cat "$scratch/out")"
}

run_check() {
    "$wine" "$check" "$@" > "$scratch/out" 2> "$scratch/err"
    code=$?
}

"$wine" "$sprayl" | head -c 50000005 | "$wine" "$check" > "$scratch/out" 2> "$scratch/err"
code=$?
expect "pipe" 0 "result: intact"
expect "pipe" 0 "bytes read: 50000005 (47.68 MiB)"
[ -s "$scratch/err" ] && fail "pipe: standard error not empty: $(cat "$scratch/err")"

"$wine" "$sprayl" | head -c 100000 > "$scratch/damaged.bin"
byte=$(od -An -tu1 -j 50000 -N 1 "$scratch/damaged.bin" | tr -d ' ')
printf "\\$(printf %o $((byte ^ 1)))" |
    dd of="$scratch/damaged.bin" bs=1 seek=50000 conv=notrunc status=none
run_check "$scratch/damaged.bin"
expect "damaged file" 1 \
    "first bad byte: offset 50000, 48.83 KiB in (block 4, offset 848 in the block)"
expect "damaged file" 1 "bytes altered: 1 (1 byte)"

head -c 16 "$scratch/damaged.bin" > "$scratch/short.bin"
run_check "$scratch/short.bin"
expect "16 bytes" 2 "result: NOT CHECKED, too short"

run_check "$scratch/missing.bin"
[ "$code" -eq 2 ] || fail "missing file: exit code $code, expected 2"
grep -qF "cannot open \"$scratch/missing.bin\"" "$scratch/err" ||
    fail "missing file: message does not name it: $(cat "$scratch/err")"

# Ctrl+C (wine hands a SIGINT to the process as CTRL_C_EVENT): the report so
# far, and 130.
"$wine" "$sprayl" | "$wine" "$check" > "$scratch/out" 2> "$scratch/err" &
checker=$!
sleep 2
kill -INT "$checker"
wait "$checker"
code=$?
[ "$code" -eq 130 ] || fail "Ctrl+C: exit code $code, expected 130"
tr -d '\r' < "$scratch/out" | grep -q "INCOMPLETE" || fail "Ctrl+C: no report: $(cat "$scratch/out")"

# Every name opens: the wide command line, and CreateFileW.
unicode="$scratch/my fill – Ünïcødé 日本.bin"
"$wine" "$sprayl" | head -c 300000 > "$unicode"
run_check "$unicode"
expect "non-ANSI name" 0 "result: intact"
expect "non-ANSI name" 0 "read: around the cache (FILE_FLAG_NO_BUFFERING)"

run_check '/?'
expect "/?" 0 "usage: sprayl-check [--size N] [FILE...]"
run_check --version
expect "--version" 0 "sprayl-check $(sed -n 's/^project(sprayl VERSION \([0-9.]*\).*/\1/p' \
    "$(dirname "$0")/../../../CMakeLists.txt")"

# --fill fills until the file system is full: only ever a small one of its
# own, loop-mounted (as root).
mkdir "$scratch/mnt"
truncate -s 8M "$scratch/fs.img"
if [ "$(id -u)" -eq 0 ] && mkfs.ext2 -q -F -m 0 "$scratch/fs.img" 2>/dev/null &&
    mount -o loop "$scratch/fs.img" "$scratch/mnt" 2>/dev/null; then
    folder="$scratch/mnt/Füll 日本"
    mkdir "$folder"
    run_check --fill "$folder" --file-size 3000000
    expect "--fill" 0 "result: intact"
    expect "--fill" 0 "files: 3, in this order as one stream"
    expect "--fill" 0 "  sprayl-00003.bin: intact"
    # The files hold one stream: read as one input, it checks intact too.
    cat "$folder"/sprayl-0000[123].bin | "$wine" "$check" > "$scratch/out" 2> "$scratch/err"
    code=$?
    expect "fill files joined" 0 "result: intact"
    run_check "$folder"
    expect "fill folder" 0 "files: 3, in this order as one stream"
else
    echo "skipped --fill: no loop-mounted file system here (needs root and a loop device)"
fi

[ "$failures" -eq 0 ] && echo "all wine checks passed"
exit $((failures > 0))
