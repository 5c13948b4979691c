#!/bin/bash
# bench/quality against stand-ins for dieharder, RNG_test and the program,
# which answer with known results: the counts, the listed results and the
# first failure in the summary, and the refusals.
#
#   quality_script_test.sh PATH/TO/bench/quality
set -u
quality=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

expect_line() { # summary, line (a fixed string that must be a whole line)
    grep -qxF -- "$2" "$1" || fail "no line '$2' in $1:"$'\n'"$(cat "$1")"
}

mkdir "$work/bin" "$work/practrand"

# The program: a banner for -h, zeros otherwise.
cat > "$work/program" <<'EOF'
#!/bin/bash
if [ "${1:-}" = -h ]; then echo "stand-in v0" >&2; exit 1; fi
exec cat /dev/zero
EOF

# dieharder: reads some input and gives one result per run, two for test
# 102 (one of them WEAK), a FAILED one for test 3, and for -a a mixture.
cat > "$work/bin/dieharder" <<'EOF'
#!/bin/bash
if [ "$1" = -l ]; then echo "#   dieharder version 9.8.7 Copyright"; exit 0; fi
head -c 4096 > /dev/null
echo "        test_name   |ntup| tsamples |psamples|  p-value |Assessment"
line() { printf '%20s|%4s|%10s|%8s|%10s|%s\n' "$1" 0 100 100 "$2" "$3"; }
case "$*" in
*"-d 102 "*) line sts_serial 0.50000000 "  PASSED  "; line sts_serial 0.99990000 "   WEAK   " ;;
*"-d 3 "*) line rank_6x8 0.00000001 "  FAILED  " ;;
*"-d 200 -n 6 "*) [ "$DIEHARDER_SILENT" = yes ] || line rgb_bitdist 0.40000000 "  PASSED  " ;;
*"-a "*) for i in 1 2 3; do line many 0.3 "  PASSED  "; done; line one 0.0001 "   WEAK   " ;;
*) line other 0.25000000 "  PASSED  " ;;
esac
EOF

# RNG_test: a first failure at 256 kilobytes, after a clean 128 kilobytes,
# and a later one that the summary must not take for the first.
cat > "$work/practrand/RNG_test" <<'EOF'
#!/bin/bash
echo "$*" > "$(dirname "$0")/arguments"
head -c 4096 > /dev/null
cat <<'OUT'
RNG_test using PractRand version 0.94
rng=RNG_stdin32, seed=unknown
length= 128 kilobytes (2^17 bytes), time= 0.1 seconds
  no anomalies in 120 test result(s)

rng=RNG_stdin32, seed=unknown
length= 256 kilobytes (2^18 bytes), time= 0.2 seconds
  Test Name                         Raw       Processed     Evaluation
  [Low8/32]BRank(12):128(1)         R= +68.9  p~=  8.9e-22    FAIL !!!!!!!
  [Low1/32]DC6-9x1Bytes-1           R=  +5.1  p =  1.0e-3   unusual
  ...and 130 test result(s) without anomalies

rng=RNG_stdin32, seed=unknown
length= 512 kilobytes (2^19 bytes), time= 0.4 seconds
  Test Name                         Raw       Processed     Evaluation
  BRank(12):256(1)                  R= +99.0  p~=  1e-30    FAIL !!!!!!!!
  ...and 140 test result(s) without anomalies
OUT
EOF
chmod +x "$work/program" "$work/bin/dieharder" "$work/practrand/RNG_test"

base_path=$work/bin:/usr/bin:/bin
export DIEHARDER_SILENT=no

# Quick mode, with PractRand: eight runs, nine results.
PATH=$work/practrand:$base_path "$quality" -m quick -p 2MB -o "$work/quick.txt" "$work/program" \
    > "$work/quick.out" 2>&1 || fail "quick mode ended with $?: $(cat "$work/quick.out")"
grep -q "^  results: 9, PASSED 7, WEAK 1, FAILED 1, in [0-9]* min [0-9]* s$" "$work/quick.txt" ||
    fail "wrong counts in quick mode: $(cat "$work/quick.txt")"
expect_line "$work/quick.txt" "    sts_serial|   0|       100|     100|0.99990000|   WEAK   "
expect_line "$work/quick.txt" "    rank_6x8|   0|       100|     100|0.00000001|  FAILED  "
grep -q "dieharder version 9.8.7, quick" "$work/quick.txt" || fail "no dieharder version"
grep -q "^program: .*(stand-in v0)$" "$work/quick.txt" || fail "no program banner"
grep -q "^sprayl statistical quality, [0-9]\{4\}-[0-9][0-9]-[0-9][0-9] [0-9:]* UTC$" \
    "$work/quick.txt" || fail "no date"
expect_line "$work/quick.txt" "  longest length tested: 512 kilobytes (2^19 bytes)"
expect_line "$work/quick.txt" \
    "  first failure at 256 kilobytes (2^18 bytes): [Low8/32]BRank(12):128(1)         R= +68.9  p~=  8.9e-22    FAIL !!!!!!!"
grep -q -- "-tlmax 2MB" "$work/practrand/arguments" || fail "RNG_test was not given -tlmax 2MB"
# The complete output of the batteries is kept beside the summary.
[ "$(grep -c '^== ' "$work/quick.log")" = 9 ] || fail "the log does not hold the nine runs"

# Full mode, no RNG_test on PATH.
PATH=$base_path "$quality" -m full -o "$work/full.txt" "$work/program" > /dev/null 2>&1 ||
    fail "full mode ended with $?"
grep -q "^  results: 4, PASSED 3, WEAK 1, FAILED 0, in " "$work/full.txt" ||
    fail "wrong counts in full mode: $(cat "$work/full.txt")"
grep -q "all tests: sprayl | dieharder -a -g 200" "$work/full.txt" || fail "full mode not named"
expect_line "$work/full.txt" "PractRand: no RNG_test on PATH, not run"

# PractRand not asked for.
PATH=$work/practrand:$base_path "$quality" -p none -o "$work/none.txt" "$work/program" \
    > /dev/null 2>&1 || fail "-p none ended with $?"
expect_line "$work/none.txt" "PractRand: not asked for"

# Refusals: an unknown mode, a missing program, a test that gives no result.
PATH=$base_path "$quality" -m slow -o "$work/x.txt" "$work/program" > /dev/null 2>&1
[ $? = 2 ] || fail "an unknown mode is not refused with 2"
PATH=$base_path "$quality" -o "$work/x.txt" "$work/no-such-program" > /dev/null 2>&1
[ $? = 2 ] || fail "a missing program is not refused with 2"
DIEHARDER_SILENT=yes PATH=$base_path "$quality" -p none -o "$work/x.txt" "$work/program" \
    > /dev/null 2>&1
[ $? = 1 ] || fail "a dieharder run without results does not end with 1"

[ "$failures" = 0 ] && echo "quality script: all checks passed"
exit $((failures > 0))
