# What the tests of sprayl-check.exe under wine share, sourced by each
# (wine_check_test.sh, wine_fill_test.sh, wine_probe_test.sh): a scratch
# folder, the failures counted, Windows names of paths here, the fields of
# a report for programs, and mounts and loop devices taken down at the end,
# last first. Set $here (the tests' folder) before sourcing.

# A test that cannot run where it is fails and says why; nothing is skipped.
cannot_run() {
    echo "cannot run: $*"
    exit 1
}

failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

# Ends the test: a line for a pass, the exit code for either.
finish() { # what passed
    [ "$failures" -eq 0 ] && echo "all $1 passed"
    exit $((failures > 0))
}

# The Windows name of a path here: wine's Z: drive is the Linux root.
win() { printf 'Z:%s' "${1//\//\\}"; }

# field FILE PATH...: members of the report for programs (or counts of an
# SVG's elements), one a line.
# Debian's own python3 (tools/install-deps): a version manager's shim first
# in the PATH may take a second to start, and the fields are read often.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
field() { "$python" "$here/report_fields.py" "$@"; }

scratch=$(mktemp -d)
mounts=() # in the order mounted
loops=()
# A test that has more to stop first (a process of its own) defines
# clean_up_first.
clean_up() {
    declare -F clean_up_first > /dev/null && clean_up_first
    # A fake drive stays busy until the loop device over it goes: a second
    # round for what the first could not unmount.
    local i round
    for round in 1 2; do
        for ((i = ${#mounts[@]} - 1; i >= 0; --i)); do
            mountpoint -q "${mounts[i]}" && umount "${mounts[i]}" 2> /dev/null
        done
        # Once detached, a loop device may be another's: it leaves the list.
        for i in "${!loops[@]}"; do
            losetup -d "${loops[i]}" 2> /dev/null && unset 'loops[i]'
        done
    done
    rm -rf "$scratch"
}
trap clean_up EXIT

# Mounts what needs mounting, remembers it for the clean-up and checks that
# it is there.
mount_there() { # mount point, command...
    local point=$1
    shift
    mkdir -p "$point"
    "$@" > /dev/null || return 1
    mounts+=("$point")
    mountpoint -q "$point"
}

# A loop device over a file, in $loop.
attach() {
    loop=$(losetup --find --show "$1") || return 1
    loops+=("$loop")
}
