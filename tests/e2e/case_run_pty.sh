# serivane-run on a real kernel terminal: a pseudo-terminal whose far end echoes. The data tests
# pass, the handshake tests fail (no modem lines), and the result file is the window's for the
# same run (both failure boxes answered OK there).
source "$(dirname "$0")/lib.sh"
e2e_begin_headless

[[ -x ${SERIVANE_PTY_ECHO:-} ]] || e2e_fail "no echo program (SERIVANE_PTY_ECHO)"
"$SERIVANE_PTY_ECHO" --exit-after 120 >"$WORK/pty.path" &
E2E_CHILDREN+=($!)
for _ in $(seq 100); do
  [[ -s $WORK/pty.path ]] && break
  sleep 0.05
done
pty=$(head -n1 "$WORK/pty.path")
[[ -c $pty ]] || e2e_fail "the echo program gave no terminal (got '$pty')"

port_map 1 "$pty"
reg_setting "Result FileName" "$(drive_path "$WORK/result.txt")" "Max Duration" 30000

run_cli 60 --json - COM1
expect_status 1
expect_result "$WORK/result.txt" "$E2E_DIR/expected/pty_echo.txt"
grep -qF "\"device\": \"$pty\"" "$WORK/run.out" || e2e_fail "the report does not name $pty"
grep -qF '"DSR does not follow DTR: DTR 4 (20) to DSR 6 (6), DSR stuck off (the wire is missing or broken)."' \
  "$WORK/run.out" || e2e_fail "no DSR diagnosis in the report"
echo "PASS: serivane-run through $pty, the window's file, handshake faults diagnosed"
