#!/usr/bin/env bash
# tools/gtest-summary on the outputs a test program can leave: the counts of its runner's summary, and a
# failure for a run without one or one whose exit status contradicts it.
set -euo pipefail
summary=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

printf '[==========] 4 tests from 1 test suite ran. (3 ms total)\n[  PASSED  ] 4 tests.\n' >"$dir/pass"
printf '[  PASSED  ] 1 test.\n' >"$dir/one"
printf '[  PASSED  ] 59 tests.\n[  FAILED  ] 3 tests, listed below:\n[  FAILED  ] A.b\n' >"$dir/some-failed"
printf '[  FAILED  ] 1 test, listed below:\n[  FAILED  ] A.b\n' >"$dir/all-failed"
printf 'wine: could not load kernel32.dll, status c0000135\n' >"$dir/nothing"
: >"$dir/empty"

# log, exit status, expected output, expected status
while read -r log status expected_out expected_status; do
  out=$("$summary" "$dir/$log" "$status") && got=0 || got=$?
  [ "$out" = "${expected_out/_/ }" ] && [ "$got" -eq "$expected_status" ] ||
    fail "$log with exit status $status: printed '$out' and exited $got, expected '${expected_out/_/ }' and $expected_status"
done <<'CASES'
pass 0 4_0 0
one 0 1_0 0
pass 3 4_1 1
some-failed 1 59_3 1
all-failed 1 0_1 1
nothing 0 0_1 1
empty 0 0_1 1
empty 139 0_1 1
CASES
echo "gtest-summary: all cases passed"
