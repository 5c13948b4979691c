#!/usr/bin/env bash
# sprayl-check.exe --probe under wine, on regular files that stand for a
# drive (--file-as-drive), reached through wine's Z: drive: a genuine one
# (an image on a tmpfs of the test's own) and lying ones (the native build's
# FUSE fake drive, whose file "drive" claims more than it holds), each
# holding the user's data first. Besides: the refusals, a probe stopped by
# Ctrl+C, and one killed part way, then put back with --restore. Judged by
# the program's contracts: exit codes, the result line, the capacity on the
# "real:" line, and a checksum of what the drive holds before and after.
#
# Whole drives (\\.\PhysicalDriveN) are not probed on Windows yet: they are
# refused with the reason.
#
# Needs root (mounts, FUSE): where they cannot be had, the test fails and
# says why; nothing is skipped.
# Usage: wine_probe_test.sh WINE SPRAYL_CHECK_EXE NATIVE_BUILD
set -uo pipefail
wine=$1
check=$2
native=$3
fake_drive=$native/tests/fake_drive/fake_drive
mib=$((1 << 20))
here=$(dirname "$0")
# shellcheck source=wine_harness.sh
. "$here/wine_harness.sh"
[ "$(id -u)" -eq 0 ] || cannot_run "mounts need root"
[ -w /dev/fuse ] || cannot_run "no /dev/fuse here"
[ -x "$fake_drive" ] || cannot_run "no fake drive in $native: build the ci preset first"

# Two tmpfs of the test's own: one for the genuine drive's image and the
# copies of the user's data, one for the backups.
mount_there "$scratch/drives" mount -t tmpfs -o size=128M tmpfs "$scratch/drives" &&
    mount_there "$scratch/backups" mount -t tmpfs -o size=64M tmpfs "$scratch/backups" ||
    cannot_run "cannot mount a tmpfs"
backups=$scratch/backups

# probe NAME CODE ARGUMENTS...: sprayl-check.exe, its report in
# $scratch/out and $scratch/err; it ended with CODE.
probe() {
    local name=$1 code_wanted=$2
    shift 2
    "$wine" "$check" "$@" > "$scratch/out" 2> "$scratch/err"
    code=$?
    [ "$code" -eq "$code_wanted" ] ||
        fail "$name: exit code $code, expected $code_wanted: $(tr -d '\r' < "$scratch/err" | tail -3)"
}
# The value of a report line ("result", "real": its first word).
line() { tr -d '\r' < "$scratch/out" | sed -n "s/^$1: //p" | head -1; }
first_word() { line "$1" | cut -d' ' -f1; }
# The checksum of the first BYTES of a file.
sum_of() { head -c "$2" "$1" | md5sum; }

# --- a genuine drive: an image of the user's data --------------------------
image=$scratch/drives/genuine.img
head -c $((24 * mib)) /dev/urandom > "$image"
before=$(sum_of "$image" $((24 * mib)))
probe "genuine" 0 --probe "$(win "$image")" --file-as-drive --backup "$(win "$backups/genuine")"
[ "$(line result)" = genuine ] && [ "$(first_word real)" = $((24 * mib)) ] ||
    fail "genuine: result $(line result), real $(line real)"
[ "$(sum_of "$image" $((24 * mib)))" = "$before" ] || fail "genuine: the drive's bytes changed"
[ ! -e "$backups/genuine" ] || fail "genuine: the backup was kept after a whole restore"

# --- refused, with one line, exit code 2 and nothing written ----------------
echo "the user's" > "$backups/taken"
mkdir "$scratch/drives/folder"
head -c $((2 * mib)) /dev/urandom > "$scratch/drives/small.img"
drive=$(win "$image")
# name | arguments | a part of the message
refusals=(
    "no --file-as-drive|--probe $drive --backup $(win "$backups/r")|not available on Windows yet"
    "a physical drive|--probe \\\\.\\PhysicalDrive0 --file-as-drive|not available on Windows yet"
    "a drive letter|--probe E: --file-as-drive|not available on Windows yet"
    "a folder|--probe $(win "$scratch/drives/folder") --file-as-drive|is not a regular file"
    "a small file|--probe $(win "$scratch/drives/small.img") --file-as-drive|smaller than the probe needs"
    "a backup that exists|--probe $drive --file-as-drive --backup $(win "$backups/taken")|exists already"
    "the drive as its backup|--probe $drive --file-as-drive --backup $drive|is the drive probed"
    "a restore from no backup|--restore $(win "$backups/taken") $drive --file-as-drive|not a probe backup"
)
for refusal in "${refusals[@]}"; do
    IFS='|' read -r name arguments wanted <<< "$refusal"
    read -ra arguments <<< "$arguments"
    probe "$name" 2 "${arguments[@]}"
    err=$(tr -d '\r' < "$scratch/err")
    [[ $err == *"$wanted"* ]] && [ "$(wc -l <<< "$err")" -eq 1 ] ||
        fail "$name: \"$err\", expected one line with \"$wanted\""
done
[ "$(sum_of "$image" $((24 * mib)))" = "$before" ] || fail "a refused probe wrote to the drive"
[ "$(cat "$backups/taken")" = "the user's" ] || fail "a refused probe wrote over a file"
[ ! -e "$backups/r" ] || fail "a refused probe left a backup"
rm "$image"

# --- lying drives: claim 256 MiB, hold 16 ----------------------------------
holds=$((16 * mib))
# A fake drive in $scratch/NAME doing MODE past what it holds, the user's
# data in what it holds; $fake is its file.
start_fake() { # name mode
    mount_there "$scratch/$1" "$fake_drive" --claims 256M --holds 16M --past "$2" -s \
        "$scratch/$1" || cannot_run "the fake drive does not start"
    fake=$scratch/$1/drive
    head -c $holds /dev/urandom > "$scratch/drives/user"
    dd if="$scratch/drives/user" of="$fake" bs=1M conv=notrunc status=none
    before=$(sum_of "$fake" $holds)
    [ "$(md5sum < "$scratch/drives/user")" = "$before" ] || cannot_run "the fake drive lost data"
}
for mode in wrap zeros; do
    start_fake "$mode" "$mode"
    probe "$mode" 1 --probe "$(win "$fake")" --file-as-drive --backup "$(win "$backups/$mode")"
    [ "$(line result)" = FAKE ] && [ "$(first_word real)" = $holds ] ||
        fail "$mode: result $(line result), real $(line real)"
    [ "$(sum_of "$fake" $holds)" = "$before" ] || fail "$mode: the user's data is not as it was"
    [ ! -e "$backups/$mode" ] || fail "$mode: the backup was kept after a whole restore"
done

# --- stopped part way: by Ctrl+C, and killed then restored ------------------
# stopped_probe NAME SIGNAL: a probe of $fake stopped by SIGNAL once its
# backup holds 2 MB; its exit code in $code.
stopped_probe() {
    local backup=$backups/$1
    "$wine" "$check" --probe "$(win "$fake")" --file-as-drive --backup "$(win "$backup")" \
        > "$scratch/out" 2> "$scratch/err" &
    local pid=$!
    while kill -0 $pid 2> /dev/null && [ "$(stat -c %s "$backup" 2> /dev/null || echo 0)" -lt 2000000 ]; do
        :
    done
    kill -"$2" $pid 2> /dev/null
    wait $pid
    code=$?
}
start_fake stopped wrap
stopped_probe interrupted INT
[ "$code" -eq 130 ] && [ "$(line result)" = "INCOMPLETE, stopped on request" ] &&
    [ -z "$(line real)" ] || fail "Ctrl+C: exit code $code, result $(line result), real $(line real)"
[ "$(sum_of "$fake" $holds)" = "$before" ] || fail "Ctrl+C: the user's data is not as it was"
[ ! -e "$backups/interrupted" ] || fail "Ctrl+C: the backup was kept after a whole restore"

stopped_probe killed KILL
[ "$code" -eq 137 ] && [ -s "$backups/killed" ] ||
    fail "kill: exit code $code, expected 137 with a backup: the probe ended before it was killed"
[ "$(sum_of "$fake" $holds)" != "$before" ] || fail "kill: killed before it wrote anything"
probe "restore" 0 --restore "$(win "$backups/killed")" "$(win "$fake")" --file-as-drive
[ "$(line result)" = restored ] || fail "restore: result $(line result)"
[ "$(sum_of "$fake" $holds)" = "$before" ] || fail "restore: the user's data is not as it was"
[ ! -e "$backups/killed" ] || fail "restore: the backup was kept after a whole restore"

finish "wine probe checks"
