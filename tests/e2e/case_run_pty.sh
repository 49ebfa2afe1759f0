# serivane-run on a real kernel terminal: a pseudo-terminal whose far end echoes. The data tests
# pass, the handshake tests fail (no modem lines, which the diagnosis says instead of blaming a
# wire), and the result file is the window's for the same run (both failure boxes answered OK
# there).
source "$(dirname "$0")/lib.sh"
e2e_begin_headless

start_pty_echo

port_map 1 "$pty"
reg_setting "Result FileName" "$(drive_path "$WORK/result.txt")" "Max Duration" 30000

run_cli 60 --json - COM1
expect_status 1
expect_result "$WORK/result.txt" "$E2E_DIR/expected/pty_echo.txt"
grep -qF "\"device\": \"$pty\"" "$WORK/run.out" || e2e_fail "the report does not name $pty"
grep -qF '"The device is a pseudo-terminal: it has no modem lines, so the handshake tests cannot pass on it and say nothing about wires."' \
  "$WORK/run.out" || e2e_fail "the report does not say the pseudo-terminal has no modem lines"
! grep -qF 'stuck off' "$WORK/run.out" || e2e_fail "a wire is blamed on a pseudo-terminal"
echo "PASS: serivane-run through $pty, the window's file, no wire blamed for missing modem lines"
