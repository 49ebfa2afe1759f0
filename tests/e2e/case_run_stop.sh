# serivane-run stopped by SIGINT (Ctrl+C) while a pass is under way, at 1200 baud on the plug where
# the data test alone takes two seconds: the pass that did not run all its tests is no pass. Its
# file ends with the line that says so, and the report counts it neither as passed nor as a pass,
# also in an endless repeat after whole passes.
source "$(dirname "$0")/lib.sh"
e2e_begin_headless

# stop_during PATTERN_COUNT PATTERN ARG...: starts serivane-run with ARGs, sends SIGINT once the
# result file holds PATTERN_COUNT lines matching PATTERN, and waits for it to end.
stop_during() {
  local count=$1 pattern=$2
  shift 2
  rm -f "$WORK/r.txt" "$WORK/r.json"
  "$SERIVANE_RUN" --baud 1200 --result "$WORK/r.txt" --json "$WORK/r.json" "$@" \
    >"$WORK/run.out" 2>&1 &
  local pid=$!
  E2E_CHILDREN+=("$pid")
  local seen
  for _ in $(seq 400); do
    seen=$(grep -c -- "$pattern" "$WORK/r.txt" 2>/dev/null || true)
    ((${seen:-0} >= count)) && break
    sleep 0.05
  done
  kill -INT "$pid"
  STATUS=0
  wait "$pid" || STATUS=$?
}

# expect_cut_short PASSES: the file ends with the cut pass and the report says not passed.
expect_cut_short() {
  expect_status 130
  mask_result "$WORK/r.txt" | tail -n 2 >"$WORK/tail.txt"
  [[ $(head -n 1 "$WORK/tail.txt") == $'-Pass interrupted: not every selected test ran <date-time>\r' ]] ||
    { cat -A "$WORK/r.txt" >&2; e2e_fail "the cut pass does not end with the line that says so"; }
  [[ $(tail -n 1 "$WORK/tail.txt") == $'\r' ]] || e2e_fail "no empty line after the cut pass"
  grep -qF 'All test(s) passed <date-time>' <(mask_result "$WORK/r.txt") &&
    e2e_fail "a cut pass wrote the summary of a whole pass"
  tr -d ' \n' <"$WORK/r.json" >"$WORK/r.flat"
  grep -qF "\"passes\":$1,\"passed\":false,\"interrupted\":true" "$WORK/r.flat" ||
    { cat "$WORK/r.json" >&2; e2e_fail "the report does not say: $1 passes, not passed"; }
  local passes="$1 passes"
  (($1 == 1)) && passes="1 pass"
  expect_in "$WORK/run.out" "loopback: not every selected test ran, $passes, stopped"
}

# During the data test of the only pass: tests 3 to 5 never ran.
stop_during 1 'Open/Close' loopback
expect_cut_short 0
grep -qF 'Data Tx/Rx: 256 bytes send/received --- OK' "$WORK/r.txt" ||
  e2e_fail "the test that was running when the signal came did not finish"

# An endless repeat stopped in its second pass: the first pass counts, the second does not.
stop_during 2 'Open/Close' --repeat 0 loopback
expect_cut_short 1
grep -qE '^\+All test\(s\) passed  \(Loop 1\) ' "$WORK/r.txt" || e2e_fail "pass 1 lost its summary"
echo "PASS: serivane-run stopped during a pass: no pass summary, not passed, not counted"
