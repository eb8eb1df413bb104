#!/usr/bin/env bash
# test_bench_script.sh BENCH_SCRIPT
# The benchmark driver runs every bench_* executable at any depth, each after a header, and
# fails when one fails, after running the rest.
set -uo pipefail
bench=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; [ -f "$work/out" ] && cat "$work/out"; exit 1; }

tool() { mkdir -p "$(dirname "$1")"; printf '#!/bin/sh\n%s\n' "$2" >"$1"; chmod +x "$1"; }
b="$work/build/bench"
tool "$b/store/bench_b_store" 'echo figure-b'
tool "$b/bench_a_top" 'echo figure-a'
tool "$b/deep/er/bench_c_fail" 'echo figure-c; exit 3'
tool "$b/notbench_x" 'echo must-not-run'
tool "$b/CMakeFiles/bench_x.dir/bench_inside" 'echo must-not-run'
mkdir -p "$b/bench_dir.d"
printf 'data\n' >"$b/bench_data.txt"

bash "$bench" "$work/build" >"$work/out" 2>&1
[ $? -eq 1 ] || fail "a failing benchmark must fail the run"
grep -q must-not-run "$work/out" && fail "ran something that is not a benchmark"
headers=$(grep '^=== bench_[a-z_]* (' "$work/out" | cut -d' ' -f2 | tr '\n' ' ')
[ "$headers" = "bench_a_top bench_b_store bench_c_fail " ] || fail "headers or order: $headers"
for f in figure-a figure-b figure-c; do grep -qx $f "$work/out" || fail "no $f"; done
grep -q 'bench_c_fail failed with status 3' "$work/out" || fail "failure not named"
grep -q '1 of 3 failed: bench_c_fail' "$work/out" || fail "summary"

rm "$b/deep/er/bench_c_fail"
bash "$bench" "$work/build" >"$work/out" 2>&1 || fail "all passing must pass"
grep -q '2 benchmarks ran' "$work/out" || fail "summary of a clean run"

bash "$bench" "$work/none" >"$work/out" 2>&1 && fail "a build folder without benchmarks folder must fail"
bash "$bench" >"$work/out" 2>&1
[ $? -eq 2 ] || fail "usage"
echo PASS
