# serivane-run without a display, on the virtual plug: the same result file as the window for the
# same run, exit statuses, a fault switch in the report, several ports at once and Ctrl+C.
source "$(dirname "$0")/lib.sh"
e2e_begin_headless

port_map 1 loopback
reg_setting "Result FileName" "$WORK/result.txt" "Max Duration" 30000

# The stored port and settings, as the window would run them (plug_pass is the window's file).
run_cli 60
expect_status 0
expect_result "$WORK/result.txt" "$E2E_DIR/expected/plug_pass.txt"
expect_in "$WORK/run.out" "COM1 (loopback): all tests passed, 1 pass"

# The window's plug_drop run answered Cancel after test 3; serivane-run answers every failure
# with OK, so the same file comes from tests 1 to 3.
reg_setting "Test Timeout" 500
port_map 1 'loopback?drop=100'
run_cli 60 --tests 1,2,3
expect_status 1
expect_result "$WORK/result.txt" "$E2E_DIR/expected/plug_drop.txt"

# A plug without RTS to CTS: the report names the wire.
run_cli 60 --tests 4 --json "$WORK/report.json" 'loopback?cts=off'
expect_status 1
grep -qF '"CTS does not follow RTS: RTS 7 (4) to CTS 8 (5), CTS stuck off (the wire is missing or broken)."' \
  "$WORK/report.json" || e2e_fail "no CTS diagnosis in the report"

# A port another program holds and a bad word: their statuses, and no result file.
rm -f "$WORK/result.txt"
run_cli 60 'loopback?busy=on'
expect_status 3
grep -qF 'in use by another program' "$WORK/run.err" || e2e_fail "busy port not explained"
run_cli 60 --stop 3
expect_status 2
grep -qF -- "--stop: '3' is not 1 or 2" "$WORK/run.err" || e2e_fail "bad value not named"
[[ ! -e $WORK/result.txt ]] || e2e_fail "a result file was written"

# Three ports at once, each with its own file.
run_cli 60 --tests 2,4 --result "$WORK/multi.txt" COM1 loopback 'loopback?cts=on'
expect_status 1
expect_in "$WORK/multi-COM1.txt" $'-Data Tx/Rx: 256 bytes send/received <-- FAILED  (254 bytes received)\r'
expect_in "$WORK/multi-loopback-2.txt" $'+RTS/CTS handshake: RTS/CTS= off --- OK\r'
expect_in "$WORK/multi-loopback-3.txt" $'-RTS/CTS handshake: RTS/CTS= off <-- FAILED\r'

# Ctrl+C during an endless repeat ends the run after the current test with the file complete:
# its last pass ends with its summary, or, when it was cut short, with the line that says so.
port_map 1 loopback
"$SERIVANE_RUN" --repeat 0 >"$WORK/run.out" 2>&1 &
pid=$!
E2E_CHILDREN+=("$pid")
for _ in $(seq 200); do
  grep -q 'Loop 2)' "$WORK/result.txt" 2>/dev/null && break
  sleep 0.05
done
kill -INT "$pid"
STATUS=0
wait "$pid" || STATUS=$?
expect_status 130
mask_result "$WORK/result.txt" | tail -n 2 >"$WORK/tail.txt"
grep -qE $'^(\\+All test\\(s\\) passed  \\(Loop [0-9]+\\)|-Pass interrupted: not every selected test ran) <date-time>\r$' "$WORK/tail.txt" ||
  { cat -A "$WORK/tail.txt" >&2; e2e_fail "the stopped run's file does not end with its summary"; }
[[ $(tail -n 1 "$WORK/tail.txt") == $'\r' ]] || e2e_fail "no empty line after the summary"
echo "PASS: serivane-run on the plug: window's files, statuses, report, several ports, Ctrl+C"
