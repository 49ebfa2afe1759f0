# serivane-run on a pseudo-terminal whose far end is slow: it sends every character back 20 ms
# after the one before it, and never sends back a '7'. The data test gets only part of its block
# in time; the rest keeps coming for seconds after it. The single-bytes test sends only '7's, so
# nothing it counts can be its own echo: it must fail, in the same run and in a run right after.
source "$(dirname "$0")/lib.sh"
e2e_begin_headless

start_pty_echo --delay 20 --drop 7

port_map 1 "$pty"
reg_setting "Result FileName" "$WORK/result.txt"

run_cli 60 --tests 2,3 COM1
expect_status 1
grep -qE $'^-Data Tx/Rx: 256 bytes send/received <-- FAILED  \\([0-9]+ bytes received\\)\r$' \
  "$WORK/result.txt" || e2e_fail "the data test did not fail on the late echo"
expect_in "$WORK/result.txt" $'-100 bytes Tx/Rx: Single bytes send/received <-- FAILED\r'
grep -qE $'^ The line did not go quiet before the test: [0-9]+ characters kept arriving from before it\r$' \
  "$WORK/result.txt" || e2e_fail "the single-bytes test does not say the line stayed busy"
grep -qE '^-TEST\(S\) FAILED !! ' "$WORK/result.txt" || e2e_fail "no failure summary"

# The leftovers of the run before are still coming: a run of the single bytes alone does not
# take them for its echo either.
run_cli 60 --tests 3 COM1
expect_status 1
grep -q -- '--- OK' "$WORK/result.txt" && {
  cat "$WORK/result.txt" >&2
  e2e_fail "the single-bytes test passed without a single echo of its own"
}
grep -qE $'^-100 bytes Tx/Rx: Single bytes send/received <-- FAILED' "$WORK/result.txt" ||
  e2e_fail "the second run's single-bytes test did not fail"
echo "PASS: serivane-run through a late echo: only the echo of the test itself counts"
