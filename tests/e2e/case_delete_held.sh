# Delete held down before the program starts: the key's only event came before the window
# existed, so the program must read the key's state from the X server. It then skips the
# start-up run, so it neither writes a result file nor ends by itself.
source "$(dirname "$0")/lib.sh"
e2e_begin

port_map 1 loopback
seed_unattended_run "$WORK/result.txt"

STATUS=0
timeout -k 5 60 xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" bash -c '
  # The server lets go of a key when the client that pressed it leaves: xdotool stays.
  xdotool keydown Delete sleep 4 keyup Delete &
  sleep 0.5
  "$1" >"$2/serivane.log" 2>&1 &
  pid=$!
  # Well past the first status tick: a start-up run would have ended the program by now.
  sleep 3
  kill -0 "$pid" 2>/dev/null || exit 3
  kill "$pid"
' _ "$SERIVANE_BIN" "$WORK" || STATUS=$?

((STATUS != 3)) || e2e_fail "the program ended by itself: a start-up run took place"
expect_status 0
[[ ! -e $WORK/result.txt ]] || e2e_fail "a start-up run wrote $WORK/result.txt"
echo "PASS: Delete held before the start skipped the start-up run"
