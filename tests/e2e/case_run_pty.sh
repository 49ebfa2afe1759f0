# serivane-run on a real kernel terminal: a pseudo-terminal whose far end echoes. The data tests
# pass, the handshake tests fail (no modem lines), and the result file is the window's for the
# same run (both failure boxes answered OK there).
source "$(dirname "$0")/lib.sh"
e2e_begin_headless

start_pty_echo

port_map 1 "$pty"
reg_setting "Result FileName" "$(drive_path "$WORK/result.txt")" "Max Duration" 30000

run_cli 60 --json - COM1
expect_status 1
expect_result "$WORK/result.txt" "$E2E_DIR/expected/pty_echo.txt"
grep -qF "\"device\": \"$pty\"" "$WORK/run.out" || e2e_fail "the report does not name $pty"
grep -qF '"DSR does not follow DTR: DTR 4 (20) to DSR 6 (6), DSR stuck off (the wire is missing or broken)."' \
  "$WORK/run.out" || e2e_fail "no DSR diagnosis in the report"
echo "PASS: serivane-run through $pty, the window's file, handshake faults diagnosed"
