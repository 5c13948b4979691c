#!/usr/bin/env bash
# sprayl-check.exe --fill under wine, on file systems that this test makes and
# mounts and reaches through wine's Z: drive: ext4 and exFAT images on a
# size-limited tmpfs of its own, and a lying drive (the native build's FUSE
# fake drive under a loop device, formatted and mounted). Besides: a folder
# of fill files checked, --resume after Ctrl+C, the report for programs and
# the chart of a fill, the refusals of a fill of the running system's disk,
# and a drive's read errors. Judged by the program's contracts (exit codes,
# the words and numbers of the report for programs).
#
# Wine reads files through the page cache of Linux (it does not pass
# FILE_FLAG_NO_BUFFERING on), so sprayl-check.exe says that what it read may
# have come from memory: an honest drive's fill ends unconfirmed (exit 3).
# On the lying drive the test drops the fill files from that cache as they
# are written (dd iflag=nocache), as Windows would read them from the drive,
# so that the drive's lie reaches the program.
#
# Needs root (loop devices, mounts, FUSE): where they cannot be had, the test
# fails and says why; nothing is skipped.
# Usage: wine_fill_test.sh WINE SPRAYL_CHECK_EXE NATIVE_BUILD
set -uo pipefail
wine=$1
check=$2
native=$3
fake_drive=$native/tests/fake_drive/fake_drive
native_sprayl=$native/sprayl
here=$(dirname "$0")
mib=$((1 << 20))

# shellcheck source=wine_harness.sh
. "$here/wine_harness.sh"
[ "$(id -u)" -eq 0 ] || cannot_run "loop devices and mounts need root"
[ -w /dev/fuse ] || cannot_run "no /dev/fuse here"
[ -x "$fake_drive" ] && [ -x "$native_sprayl" ] ||
    cannot_run "no fake drive or sprayl in $native: build the ci preset first"
for tool in losetup mkfs.ext4 mkfs.exfat mount.exfat-fuse prlimit python3; do
    command -v $tool > /dev/null || cannot_run "$tool is missing (tools/install-deps installs it)"
done

dropper="" # the process that drops the fill files from the page cache
clean_up_first() {
    [ -n "$dropper" ] && kill "$dropper" 2> /dev/null && wait "$dropper" 2> /dev/null
}

# run_check NAME CODE RESULT ARGUMENTS...: sprayl-check.exe with its report
# for programs in $scratch/r.json; the run ended with CODE and RESULT.
run_check() {
    local name=$1 code_wanted=$2 result_wanted=$3
    shift 3
    rm -f "$scratch/r.json"
    "$wine" "$check" --json "$(win "$scratch/r.json")" "$@" > "$scratch/out" 2> "$scratch/err"
    code=$?
    [ "$code" -eq "$code_wanted" ] ||
        fail "$name: exit code $code, expected $code_wanted: $(tr -d '\r' < "$scratch/err" | tail -3)"
    local result
    result=$(field "$scratch/r.json" result 2>&1)
    [ "$result" = "\"$result_wanted\"" ] || fail "$name: result $result, expected \"$result_wanted\""
}

# Images live on a tmpfs of the test's own, never on the machine's disk.
mount_there "$scratch/ram" mount -t tmpfs -o size=160M tmpfs "$scratch/ram" ||
    cannot_run "cannot mount a tmpfs"

# A file system on an image of SIZE on the tmpfs, mounted at $point.
mount_image() { # type size name
    local image=$scratch/ram/$3.img
    point=$scratch/$3
    truncate -s "$2" "$image"
    attach "$image" || return 1
    case $1 in
    ext4) mkfs.ext4 -q -F -m 0 "$loop" && mount_there "$point" mount "$loop" "$point" ;;
    exfat) mkfs.exfat "$loop" > /dev/null && mount_there "$point" mount.exfat-fuse "$loop" "$point" ;;
    esac || return 1
    [ "$(findmnt -n -o SOURCE "$point")" = "$loop" ]
}

# --- an honest drive: ext4 -------------------------------------------------
mount_image ext4 48M ext4 || cannot_run "cannot make and mount an ext4 image"
folder="$point/Füll 日本"
mkdir "$folder"
run_check "ext4 fill" 3 unconfirmed --fill "$(win "$folder")" --file-size 8M \
    --plot "$(win "$scratch/fill.svg")"
read -r mode files written read damaged memory how <<< "$(field "$scratch/r.json" mode fill.files \
    fill.bytes_written check.bytes.read check.bytes.damaged check.possibly_from_memory \
    inputs.files.0.read | tr '\n' ' ')"
[ "$mode" = '"fill"' ] && [ "${files:-0}" -ge 4 ] && [ "$written" = "$read" ] &&
    [ "$damaged" = 0 ] && [ "$memory" = true ] && [ "$how" = '"through_cache"' ] ||
    fail "ext4 fill: mode $mode, $files files, $written written, $read read, $damaged damaged," \
        "possibly from memory: $memory, read $how"
[ "$(field "$scratch/fill.svg" polyline)" -ge 1 ] 2> /dev/null || fail "ext4 fill: no rate in the chart"
# The folder of fill files, checked again as one stream.
run_check "fill folder" 3 unconfirmed "$(win "$folder")"
[ "$(field "$scratch/r.json" mode)" = '"directory"' ] &&
    [ "$("$python" -c 'import json,sys; print(len(json.load(open(sys.argv[1]))["inputs"]["files"]))' \
        "$scratch/r.json")" = "$files" ] || fail "fill folder: not the $files fill files"
# A folder with fill files is not filled again without --replace.
run_check "fill over fill files" 2 failed --fill "$(win "$folder")"
rm -r "$folder"

# Ctrl+C stops a fill; --resume goes on with it, and all of it is one run.
folder="$point/resumed"
mkdir "$folder"
rm -f "$scratch/r.json"
"$wine" "$check" --json "$(win "$scratch/r.json")" --fill "$(win "$folder")" \
    --file-size 4M > "$scratch/out" 2> "$scratch/err" &
filler=$!
for _ in $(seq 200); do
    [ -f "$folder/sprayl-00003.bin" ] && break
    sleep 0.05
done
kill -INT "$filler"
wait "$filler"
code=$?
[ "$code" -eq 130 ] && [ "$(field "$scratch/r.json" fill.interrupted)" = true ] ||
    fail "interrupted fill: exit code $code, interrupted $(field "$scratch/r.json" fill.interrupted)"
run_check "resumed fill" 3 unconfirmed --fill "$(win "$folder")" --resume --file-size 4M
[ "$(field "$scratch/r.json" check.bytes.damaged)" = 0 ] &&
    [ "$(field "$scratch/r.json" fill.files)" -ge 8 ] 2> /dev/null ||
    fail "resumed fill: $(field "$scratch/r.json" fill.files) files, damaged" \
        "$(field "$scratch/r.json" check.bytes.damaged)"
run_check "resumed fill's folder" 3 unconfirmed "$(win "$folder")"
mkdir "$point/empty"
run_check "resume of nothing" 2 failed --fill "$(win "$point/empty")" --resume
rm -r "$folder"

# The speed test: its scratch file made and removed, the user's file as it
# was. Wine writes and reads through the page cache of Linux whatever the
# flags, so the figures may be the memory's: unconfirmed, exit 3.
echo mine > "$point/empty/user.txt"
run_check "speed test" 3 unconfirmed --speed "$(win "$point")" --size 16M
for line in "sequential write" "sequential read" "random 4 KiB reads" "random 4 KiB writes" classes; do
    tr -d '\r' < "$scratch/out" | grep -q "^$line: " || fail "speed test: no \"$line:\" line"
done
[ -z "$(find "$point" -name '.sprayl-speed-*')" ] && [ "$(cat "$point/empty/user.txt")" = mine ] ||
    fail "speed test: the scratch file stayed or the user's file changed"

# --- exFAT (a file system in user space, as Windows sticks come) -----------
mount_image exfat 32M exfat || cannot_run "cannot make and mount an exFAT image"
run_check "exFAT fill" 3 unconfirmed --fill "$(win "$point")" --file-size 8M
[ "$(field "$scratch/r.json" fill.files)" -ge 3 ] 2> /dev/null ||
    fail "exFAT fill: $(field "$scratch/r.json" fill.files) files"

# --- fills refused: the disk of the running system -------------------------
# C:\ is a folder of the wine prefix, and Z:\ is the root of Linux: both on
# the machine's own disk. Should a refusal ever fail, the file size limit
# stops the fill at once.
mkdir "$scratch/on-the-disk"
for target in 'C:\users\Public' "$(win "$scratch/on-the-disk")"; do
    rm -f "$scratch/r.json"
    prlimit --fsize=$mib "$wine" "$check" --json "$(win "$scratch/r.json")" --fill "$target" \
        > "$scratch/out" 2> "$scratch/err"
    code=$?
    [ "$code" -eq 2 ] || fail "fill of $target: exit code $code, expected a refusal (2)"
done
[ -z "$(ls "$scratch/on-the-disk")" ] || fail "a fill wrote to the machine's disk"

# --- a drive's read errors ---------------------------------------------------
# The fake drive's file holds 8 MiB of the 16 it claims; past them, reads fail.
mount_there "$scratch/errors" "$fake_drive" --claims 16M --holds 8M --past errors -s \
    "$scratch/errors" || cannot_run "the fake drive does not start"
"$native_sprayl" | head -c $((16 * mib)) | dd of="$scratch/errors/drive" bs=1M iflag=fullblock \
    status=none 2> /dev/null
run_check "read errors" 1 damaged "$(win "$scratch/errors/drive")"
unreadable=$(field "$scratch/r.json" check.bytes.by_kind.unreadable)
[ "${unreadable:-0}" -ge $((8 * mib)) ] 2> /dev/null ||
    fail "read errors: $unreadable bytes unreadable, expected 8 MiB"

# --- a lying drive: claims 256 MiB, holds 32 ---------------------------------
mount_there "$scratch/fake" "$fake_drive" --claims 256M --holds 32M --past wrap -s "$scratch/fake" ||
    cannot_run "the fake drive does not start"
attach "$scratch/fake/drive" || cannot_run "no loop device can be had here"
# Without a journal (it would lie where the drive loses writes) and without
# the background zeroing of inode tables (whose writes would land on the
# fill's data at times of their own).
mkfs.ext4 -q -F -O ^has_journal "$loop" &&
    mount_there "$scratch/lying" mount -o noinit_itable "$loop" "$scratch/lying" &&
    [ "$(findmnt -n -o SOURCE "$scratch/lying")" = "$loop" ] ||
    cannot_run "cannot format and mount the fake drive"
(
    while :; do
        for file in "$scratch"/lying/*.bin; do
            [ -f "$file" ] && dd if="$file" iflag=nocache count=0 status=none 2> /dev/null
        done
        sleep 0.02
    done
) &
dropper=$!
run_check "lying drive" 1 damaged --fill "$(win "$scratch/lying")" --file-size 4M
kill "$dropper" && wait "$dropper" 2> /dev/null
dropper=""
# Stopped soon after the 32 MiB that the drive holds, far short of the
# 238 MiB that its file system offers; and what it holds is the first size
# that the verdict gives: an estimate from the fill's data, which leaves out
# the file system's own, some MiB of the 32.
written=$(field "$scratch/r.json" fill.bytes_written)
[ "${written:-0}" -gt 0 ] && [ "${written:-0}" -lt $((96 * mib)) ] 2> /dev/null ||
    fail "lying drive: $written bytes written before it stopped"
verdict=$(field "$scratch/r.json" fill.drive_verdict)
holds=$(grep -o '[0-9.]* MiB' <<< "$verdict" | head -1 | cut -d' ' -f1)
awk -v h="${holds:-0}" 'BEGIN { exit !(h >= 0.85 * 32 && h <= 1.08 * 32) }' ||
    fail "lying drive: the verdict says $verdict"

finish "wine fill checks"
