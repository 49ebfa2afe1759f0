# serivane-run on a pseudo-terminal whose far end is slow: it sends every character back 20 ms
# after the one before it, and never sends back a '7'. The data test gets only part of its block
# in time; the rest keeps coming for seconds after it. The single-bytes test sends only '7's, so
# nothing it counts can be its own echo: it must fail.
source "$(dirname "$0")/lib.sh"
e2e_begin_headless

start_pty_echo --delay 20 --drop 7

port_map 1 "$pty"
reg_setting "Result FileName" "$WORK/result.txt"

run_cli 60 --tests 2,3 COM1
expect_status 1
grep -qE $'^-Data Tx/Rx: 256 bytes send/received <-- FAILED  \\([0-9]+ bytes received\\)\r$' \
  "$WORK/result.txt" || e2e_fail "the data test did not fail on the late echo"
# It fails either because the line never went quiet before it, or, where a busy machine stalled
# the far end long enough to look quiet, because more came back than it sent.
grep -qE $'^-100 bytes Tx/Rx: Single bytes send/received <-- FAILED(  \\(10[1-9] bytes received\\))?\r$' \
  "$WORK/result.txt" || e2e_fail "the single-bytes test did not fail on the late echo"
if ! grep -qE $'^ The line did not go quiet before the test: [0-9]+ characters kept arriving from before it\r$' \
  "$WORK/result.txt"; then
  grep -qE $'FAILED  \\(10[1-9] bytes received\\)\r$' "$WORK/result.txt" ||
    e2e_fail "the single-bytes test does not say the line stayed busy"
fi
grep -qE '^-TEST\(S\) FAILED !! ' "$WORK/result.txt" || e2e_fail "no failure summary"

# A far end still sending what it was sent before this program started (a backlog of 2000
# characters, one every millisecond): the single bytes of a new run do not take it for their echo.
start_pty_echo --delay 1 --drop 7
printf '%02000d' 0 >"$pty"
port_map 1 "$pty"
run_cli 60 --tests 3 COM1
expect_status 1
grep -q -- '--- OK' "$WORK/result.txt" && {
  cat "$WORK/result.txt" >&2
  e2e_fail "the single-bytes test passed without a single echo of its own"
}
grep -qE $'^-100 bytes Tx/Rx: Single bytes send/received <-- FAILED(  \\([0-9]+ bytes received\\))?\r$' \
  "$WORK/result.txt" || e2e_fail "the single-bytes test did not fail on the backlog"
echo "PASS: serivane-run through a late echo: only the echo of the test itself counts"
