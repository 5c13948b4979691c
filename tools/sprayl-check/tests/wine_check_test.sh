#!/usr/bin/env bash
# sprayl.exe and sprayl-check.exe under wine: streams and files checked,
# intact and with each kind of damage that a file can hold, the refusals,
# Ctrl+C, a name outside any ANSI code page, the chart, and what the check
# says of how it read. Judged by the program's contracts (exit codes, the
# words of the report for programs), not by the sentences of its report.
# Usage: wine_check_test.sh WINE SPRAYL_EXE SPRAYL_CHECK_EXE
set -uo pipefail
wine=$1
sprayl=$2
check=$3
here=$(dirname "$0")
# shellcheck source=wine_harness.sh
. "$here/wine_harness.sh"

# expect NAME CODE RESULT: the last run ended with CODE, and its report for
# programs ($scratch/r.json) gives RESULT as the run's result.
expect() {
    [ "$code" -eq "$2" ] || fail "$1: exit code $code, expected $2: $(tr -d '\r' < "$scratch/err")"
    local result
    result=$(field "$scratch/r.json" result 2>&1)
    [ "$result" = "\"$3\"" ] || fail "$1: result $result, expected \"$3\""
}

check_file() { # options and files...; the report for programs in $scratch/r.json
    rm -f "$scratch/r.json"
    "$wine" "$check" --json "$(win "$scratch/r.json")" "$@" > "$scratch/out" 2> "$scratch/err"
    code=$?
}

# A stream of sprayl.exe: intact, and every byte counted.
size=50000005
"$wine" "$sprayl" | head -c $size |
    "$wine" "$check" --json "$(win "$scratch/r.json")" > "$scratch/out" 2> "$scratch/err"
code=$?
expect "stream" 0 intact
[ "$(field "$scratch/r.json" mode check.bytes.read | tr '\n' ' ')" = "\"stream\" $size " ] ||
    fail "stream: $(field "$scratch/r.json" mode check.bytes.read | tr '\n' ' ')"
[ -s "$scratch/err" ] && fail "stream: standard error not empty: $(cat "$scratch/err")"

# Files are read through wine, which reads them through the page cache of
# Linux whatever the flags (it does not pass FILE_FLAG_NO_BUFFERING on): what
# was read may have come from memory, and the check says so.
size=$((4 * 1024 * 1024 + 5))
"$wine" "$sprayl" | head -c $size > "$scratch/stream.bin"
check_file "$(win "$scratch/stream.bin")"
expect "intact file" 3 unconfirmed
[ "$(field "$scratch/r.json" check.possibly_from_memory inputs.files.0.read | tr '\n' ' ')" = \
    'true "through_cache" ' ] || fail "intact file: not read through the cache: $(cat "$scratch/r.json")"
echo "under wine, sprayl-check.exe reads files through the page cache: result unconfirmed, exit 3"

# Each kind of damage a file can hold (a drive's read errors are in
# wine_fill_test.sh): how to make it from the stream, and the least of it
# that the check must count. 64 KiB from 1 MiB on is damaged.
"$wine" "$sprayl" | head -c $size > "$scratch/other-run.bin"
damage() { # kind: writes $scratch/damaged.bin
    cp "$scratch/stream.bin" "$scratch/damaged.bin"
    local into=(of="$scratch/damaged.bin" bs=64K seek=16 count=1 conv=notrunc status=none)
    case $1 in
    altered)
        local byte
        byte=$(od -An -tu1 -j 50000 -N 1 "$scratch/stream.bin" | tr -d ' ')
        printf "\\$(printf %o $((byte ^ 1)))" |
            dd of="$scratch/damaged.bin" bs=1 seek=50000 conv=notrunc status=none ;;
    blank) dd if=/dev/zero "${into[@]}" ;;
    misplaced) dd if="$scratch/stream.bin" skip=48 "${into[@]}" ;;
    stale) dd if="$scratch/other-run.bin" skip=16 "${into[@]}" ;;
    foreign) head -c 65536 /dev/urandom | dd "${into[@]}" iflag=fullblock ;;
    esac
}
while read -r kind least; do
    damage "$kind"
    check_file "$(win "$scratch/damaged.bin")"
    expect "$kind" 1 damaged
    counted=$(field "$scratch/r.json" "check.bytes.by_kind.$kind")
    [ "${counted:-0}" -ge "$least" ] 2>/dev/null ||
        fail "$kind: $counted bytes of the kind, expected at least $least"
done <<'EOF'
altered 1
blank 65000
misplaced 65000
stale 65000
foreign 65000
EOF
# The altered byte is found where it is.
damage altered
check_file "$(win "$scratch/damaged.bin")"
[ "$(field "$scratch/r.json" check.stretches.0.start)" = 50000 ] ||
    fail "altered: first damage at $(field "$scratch/r.json" check.stretches.0.start), not 50000"
# Bytes lost from the middle: a jump in the stream.
{ head -c 1000000 "$scratch/stream.bin"; tail -c +1001001 "$scratch/stream.bin"; } > "$scratch/lost.bin"
check_file "$(win "$scratch/lost.bin")"
expect "bytes lost" 1 damaged
[ "$(field "$scratch/r.json" check.slip_count)" -ge 1 ] 2>/dev/null || fail "bytes lost: no jump found"

# Files in order are one stream; out of order, they are not.
split -b 1500000 -d "$scratch/stream.bin" "$scratch/part-"
parts=("$(win "$scratch/part-00")" "$(win "$scratch/part-01")" "$(win "$scratch/part-02")")
check_file "${parts[@]}"
expect "files in order" 3 unconfirmed
[ "$(field "$scratch/r.json" check.bytes.read)" = $size ] || fail "files in order: not all read"
check_file "${parts[0]}" "${parts[2]}" "${parts[1]}"
expect "files out of order" 1 damaged
# Shorter than --size says.
check_file --size $((size + 100)) "$(win "$scratch/stream.bin")"
[ "$code" -ne 0 ] && [ "$(field "$scratch/r.json" check.bytes.missing)" = 100 ] ||
    fail "--size: exit code $code, missing $(field "$scratch/r.json" check.bytes.missing)"

# The chart: damage is shaded, so the damaged file's holds more rectangles.
damage blank
"$wine" "$check" --plot "$(win "$scratch/intact.svg")" "$(win "$scratch/stream.bin")" > /dev/null 2>&1
"$wine" "$check" --plot "$(win "$scratch/damaged.svg")" "$(win "$scratch/damaged.bin")" > /dev/null 2>&1
intact_shapes=$(field "$scratch/intact.svg" polyline rect | tr '\n' ' ')
damaged_shapes=$(field "$scratch/damaged.svg" polyline rect | tr '\n' ' ')
read -r intact_lines intact_rects <<< "$intact_shapes"
read -r _ damaged_rects <<< "$damaged_shapes"
[ "${intact_lines:-0}" -ge 1 ] && [ "${damaged_rects:-0}" -gt "${intact_rects:-0}" ] ||
    fail "--plot: intact chart $intact_shapes, damaged chart $damaged_shapes"

# Refusals: inputs that cannot be checked, and usage errors (no report).
head -c 16 "$scratch/stream.bin" > "$scratch/short.bin"
check_file "$(win "$scratch/short.bin")"
expect "16 bytes" 2 too_short
check_file "$(win "$scratch/missing.bin")"
expect "missing file" 2 failed
tr -d '\r' < "$scratch/err" | grep -qF "missing.bin" || fail "missing file: not named: $(cat "$scratch/err")"
while IFS='|' read -r name arguments; do
    eval "set -- $arguments"
    "$wine" "$check" "$@" > "$scratch/out" 2> "$scratch/err" < /dev/null
    code=$?
    [ "$code" -eq 2 ] || fail "$name: exit code $code, expected 2"
    [ -s "$scratch/err" ] || fail "$name: no reason given"
done <<'EOF'
unknown option|--no-such-option
fill with a file|--fill 'Z:\no-such-folder' stream.bin
resume without fill|--resume stream.bin
chart to standard output|--plot - stream.bin
standard input among files|- stream.bin
size that is no number|--size many stream.bin
EOF

# Ctrl+C (wine hands a SIGINT to the process as CTRL_C_EVENT): the report so
# far, and 130. Once a MiB has gone through, the check is reading, and so
# its handler is in place.
rm -f "$scratch/r.json"
"$wine" "$sprayl" | { head -c 1048576; touch "$scratch/flowing"; cat; } |
    "$wine" "$check" --json "$(win "$scratch/r.json")" > "$scratch/out" 2> "$scratch/err" &
checker=$!
for _ in $(seq 1200); do
    [ -f "$scratch/flowing" ] && break
    sleep 0.05
done
kill -INT "$checker"
wait "$checker"
code=$?
expect "Ctrl+C" 130 interrupted

# Every name opens: the wide command line, and CreateFileW.
unicode="$scratch/my fill – Ünïcødé 日本.bin"
cp "$scratch/stream.bin" "$unicode"
check_file "$(win "$unicode")"
expect "non-ANSI name" 3 unconfirmed

"$wine" "$check" '/?' > "$scratch/out" 2>&1
code=$?
[ "$code" -eq 0 ] && tr -d '\r' < "$scratch/out" | grep -q "^usage: sprayl-check" ||
    fail "/?: exit code $code: $(cat "$scratch/out")"
"$wine" "$check" --version > "$scratch/out" 2>&1
code=$?
version=$(sed -n 's/^project(sprayl VERSION \([0-9.]*\).*/\1/p' "$here/../../../CMakeLists.txt")
[ "$code" -eq 0 ] && tr -d '\r' < "$scratch/out" | grep -qxF "sprayl-check $version" ||
    fail "--version: exit code $code: $(cat "$scratch/out")"

finish "wine checks"
