# A real kernel terminal: Com1 is mapped to a pseudo-terminal whose far end echoes all it
# reads. The data tests pass through the terminal layer (every byte value, 0 and 255 included);
# the handshake tests must fail, since a pseudo-terminal has no modem lines, and both failure
# boxes are answered OK. The program must neither hang nor crash on the missing lines.
source "$(dirname "$0")/lib.sh"
e2e_begin

start_pty_echo

port_map 1 "$pty"
# The result path in drive-letter form, as settings carried from another machine hold it.
seed_unattended_run "$(drive_path "$WORK/result.txt")"
reg_setting "Max Duration" 30000

run_window 60 Return Return
expect_status 1
expect_answers 2
expect_result "$WORK/result.txt" "$E2E_DIR/expected/pty_echo.txt"
echo "PASS: data through $pty, handshake failures reported, program ended by itself"
