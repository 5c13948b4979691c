#!/usr/bin/env bash
# tools/check-house against small trees: one in order passes, and each
# breach of a rule alone fails, named.
set -euo pipefail
check_house=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

# A tree in order: layers that include downwards, the one reader of
# mountinfo, the allowed stop flag.
make_tree() {
    rm -rf "$scratch/tree" && mkdir -p "$scratch/tree" && cd "$scratch/tree"
    mkdir -p generator text device check probe tools/sprayl-check/system platform
    printf '#pragma once\nint next_word();\n' > generator/generator.h
    printf '#pragma once\n' > text/text_sizes.h
    printf '#pragma once\nstruct ProbeDevice {};\n' > device/device.h
    printf '#include "generator.h"\n#include "text_sizes.h"\nconst int rows = 3;\n' > check/stream_check.cpp
    printf '#pragma once\n#include "device.h"\n' > probe/probe.h
    printf '#pragma once\n#include "device.h"\n#include "text_sizes.h"\n' > tools/sprayl-check/system/probe_drive.h
    printf '#include <unistd.h>\nvolatile int stop_requested = 0;\nconst char* const name = "x";\nint f(int a) { static int calls; return a + calls++; }\nconst char* mounts() { return read("/proc/self/mountinfo"); }\n' > tools/sprayl-check/system/system_posix.cpp
    printf '#include "probe.h"\n#include "probe_drive.h"\nnamespace {\nconst char* const names[] = {"a"};\nstruct Options { int n; };\n}\nint main() { return 0; }\n' > tools/sprayl-check/check_main.cpp
    cd - > /dev/null
}

# expect CASE EXIT TEXT: check-house on the tree exits EXIT and says TEXT.
expect() {
    local out code=0
    out=$("$check_house" "$scratch/tree") || code=$?
    if [ "$code" != "$2" ] || ! grep -qF -- "$3" <<< "$out"; then
        echo "FAIL: $1: exit $code, expected $2 and \"$3\":"
        echo "$out"
        failures=$((failures + 1))
    fi
}

make_tree
expect "a tree in order" 0 "the house is in order"

make_tree
seq 601 > "$scratch/tree/check/stream_check.h"
expect "a long file" 1 "check/stream_check.h: 601 lines, more than 600"
make_tree
mkdir -p "$scratch/tree/check/tests" && seq 700 > "$scratch/tree/check/tests/long_test.cpp"
expect "a long test" 0 "the house is in order"

make_tree
printf 'namespace {\nchar buffer[64];\nconst char* last_name = nullptr;\n}\n' >> "$scratch/tree/tools/sprayl-check/check_main.cpp"
expect "a mutable array" 1 "check_main.cpp:9: buffer is a mutable file-scope variable"
expect "a pointer to constant text" 1 "check_main.cpp:10: last_name is a mutable file-scope variable"

make_tree
printf '#pragma once\n#include "probe.h"\n' > "$scratch/tree/tools/sprayl-check/system/probe_drive_posix.h"
expect "the system layer includes the probe" 1 "probe_drive_posix.h:2: includes probe.h of probe/"
make_tree
printf '#include "probe_drive.h"\n' >> "$scratch/tree/check/stream_check.cpp"
expect "the engine includes the system layer" 1 "check/stream_check.cpp:4: includes probe_drive.h"
make_tree
printf '#include "text_sizes.h"\n' >> "$scratch/tree/generator/generator.h"
expect "the generator includes another layer" 1 "generator/generator.h:3: includes text_sizes.h"
make_tree
printf '#include <sys/stat.h>\n' >> "$scratch/tree/check/stream_check.cpp"
expect "the engine includes a system header" 1 "check/stream_check.cpp:4: #include <sys/stat.h>"

make_tree
printf 'unsigned gcd(unsigned a, unsigned b) { return b ? gcd(b, a %% b) : a; }\n' > "$scratch/tree/check/a.cpp"
printf 'static unsigned long common_gcd(unsigned long a, unsigned long b) {\n  return a + b;\n}\n' > "$scratch/tree/probe/b.cpp"
expect "two greatest common divisors" 1 "the greatest common divisor is in 2 places"
make_tree
printf 'const char* p = "/proc/self/mountinfo";\n' > "$scratch/tree/tools/sprayl-check/system/mounts.cpp"
expect "two mountinfo readers" 1 "the mountinfo reader is in 2 places"
make_tree
printf '#include <ctime>\nvoid n(timespec* t) { clock_gettime(CLOCK_MONOTONIC, t); }\n' > "$scratch/tree/platform/a.h"
printf 'auto t = std::chrono::steady_clock::now();\n' > "$scratch/tree/probe/c.cpp"
expect "two monotonic clocks" 1 "the monotonic clock is in 2 places"

[ "$failures" = 0 ] && echo "check-house: every case as expected"
[ "$failures" = 0 ]
