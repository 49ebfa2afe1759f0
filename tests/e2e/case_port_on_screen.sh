# The port the list shows is the port tested, also when the run is started from the keyboard
# with the focus still in the list: Alt+C, Down (the list shows Com2), Alt+R. Com2's plug does
# not wire RTS to CTS, so the run there fails that test (its box is answered OK), while a run
# on Com1 would pass everything. The result file names the port set up for the run, and the
# exit stores Com2.
source "$(dirname "$0")/lib.sh"
e2e_begin

port_map 1 loopback
port_map 2 'loopback?cts=off'
reg_setting "Close When Finish" True "Result FileName" "$WORK/result.txt" "Max Duration" 30000

cat >"$WORK/driver.sh" <<'DRIVER'
source "$E2E_DIR/lib.sh"
win=$(main_window)
[[ -n $win ]] || { echo "no window"; exit 1; }
# The first status tick opens Com1 about half a second after the window shows.
sleep 1.5
xdotool windowfocus --sync "$win"
xdotool key --clearmodifiers alt+c
sleep 0.3
xdotool key --clearmodifiers Down
sleep 0.3
xdotool key --clearmodifiers alt+r
DRIVER
E2E_DIR=$E2E_DIR E2E_DRIVER=$WORK/driver.sh run_window 60 Return
expect_status 1
expect_answers 1
expect_result "$WORK/result.txt" "$E2E_DIR/expected/port_on_screen.txt"
[[ $(stored Comport) == 2 ]] || e2e_fail "the exit stored Comport '$(stored Comport)', not 2"
echo "PASS: Alt+R with the list on Com2 tested Com2"
