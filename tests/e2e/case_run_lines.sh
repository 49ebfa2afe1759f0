# serivane-run's checks of the port's lines: --plug full, --break and --latency on the virtual
# plug (passing with a full plug, failing with each switch that shows a fault) and on a
# pseudo-terminal (latency passes; no modem lines and no break, which the report says).
source "$(dirname "$0")/lib.sh"
e2e_begin_headless
command -v python3 >/dev/null || {
  echo "SKIP: python3 is not installed: the reports cannot be read"
  exit $E2E_SKIP
}
reg_setting "Test Timeout" 300

# json_check FILE PYTHON: runs the expression on the report's first port (p) and its checks by
# name (c["plug"], ...); fails the case naming the expression when it is false.
json_check() {
  python3 - "$1" "$2" <<'PY' || e2e_fail "report $1: $2 does not hold"
import json, sys
report = json.load(open(sys.argv[1]))
p = report["ports"][0]
c = {check["check"]: check for check in p.get("checks", [])}
t = {test["number"]: test for test in p["tests"]}
sys.exit(0 if eval(sys.argv[2]) else 1)
PY
}

# A full plug: every check passes, and its lines are in the result file after the tests'.
run_cli 60 --tests 4,5 --plug full --break 100 --latency 50 --result "$WORK/full.txt" \
  --json "$WORK/full.json" 'loopback?wiring=full'
expect_status 0
expect_in "$WORK/full.txt" $'+Full plug: DCD and RI follow DTR and RTS --- OK\r'
expect_in "$WORK/full.txt" $' RTS on: CTS on, RI on\r'
expect_in "$WORK/full.txt" $'+Break 100ms: sent and received --- OK\r'
expect_in "$WORK/full.txt" $'+Latency: 50 round trips of one character --- OK\r'
json_check "$WORK/full.json" 'c["plug"]["passed"] and c["plug"]["dcd_follows_dtr"] and c["plug"]["ri_follows_rts"]'
json_check "$WORK/full.json" 'len(c["plug"]["items"]) == 4 and c["plug"]["items"][3] == {"output": "RTS", "on": True, "cts": True, "ri": True}'
json_check "$WORK/full.json" 'c["break"]["passed"] and c["break"]["break_event"] and c["break"]["block_intact"] and c["break"]["break_ms"] == 100'
json_check "$WORK/full.json" '1001 in [e["code"] for e in c["break"]["events"]]'
json_check "$WORK/full.json" 'c["latency"]["passed"] and c["latency"]["rounds_done"] == 50'
json_check "$WORK/full.json" 'c["latency"]["wire_us"] == 261 and c["latency"]["wire_us"] <= c["latency"]["min_us"] <= c["latency"]["median_us"] <= c["latency"]["p95_us"] <= c["latency"]["p99_us"] <= c["latency"]["max_us"]'
json_check "$WORK/full.json" 'not c["latency"]["usb_latency_timer_suspected"]'
# The tests report DCD and RI beside their own lines, without a verdict on them.
json_check "$WORK/full.json" '[l["ri"] for l in t[4]["levels"]] == [False, True] and [l["dcd"] for l in t[5]["levels"]] == [False, True]'

# The standard plug wires no RI: the tests' levels say so, nothing rings and nothing fails.
run_cli 60 --tests 4,5 --json "$WORK/standard.json" loopback
expect_status 0
json_check "$WORK/standard.json" '[l["ri"] for l in t[4]["levels"]] == [False, False] and "checks" not in p'
! grep -q 'Ring' "$WORK/run.out" || e2e_fail "the standard plug rang"

# Each switch that shows a fault fails its check, with the pins named.
fails() {  # switches, option..., then the diagnosis sentence after "--"
  local switches=$1 options=() sentence
  shift
  while [[ $1 != -- ]]; do options+=("$1"); shift; done
  sentence=$2
  run_cli 60 --tests 2 "${options[@]}" --json "$WORK/fail.json" "loopback?$switches"
  expect_status 1
  grep -qF "$sentence" "$WORK/run.out" || { cat "$WORK/run.out" >&2; e2e_fail "$switches: no '$sentence'"; }
}
fails 'wiring=full&dcd=off' --plug full -- \
  'DCD does not follow DTR: DTR 4 (20) to DCD 1 (8), DCD stuck off (the wire is missing or broken).'
json_check "$WORK/fail.json" 'not c["plug"]["passed"] and not c["plug"]["dcd_follows_dtr"] and c["plug"]["ri_follows_rts"]'
fails 'wiring=full&ri=off' --plug full -- \
  'RI does not follow RTS: RTS 7 (4) to RI 9 (22), RI stuck off (the wire is missing or broken).'
fails 'wiring=full&ri=on' --plug full -- \
  'RI stays on when RTS is off: RTS 7 (4) to RI 9 (22), RI stuck on'
json_check "$WORK/fail.json" 'p["diagnosis"] == c["plug"]["diagnosis"] and len(p["diagnosis"]) == 1'
fails 'breaks=lost' --break 50 -- 'No break came back while characters do'
json_check "$WORK/fail.json" 'not c["break"]["passed"] and not c["break"]["break_event"] and c["break"]["block_intact"]'
expect_in "$WORK/run.out" 'loopback?breaks=lost: FAILED (break), 1 pass'
fails 'delay=400' --latency 5 -- 'A character of the latency check got no echo'
json_check "$WORK/fail.json" 'not c["latency"]["passed"] and c["latency"]["rounds_done"] == 0'
expect_in "$WORK/run.out" 'Round trip 1 of 5: no echo within 301 ms'
# A slow far end within the wait passes, and the figures show its delay.
run_cli 60 --tests 2 --latency 5 --json "$WORK/late.json" 'loopback?delay=40'
expect_status 0
json_check "$WORK/late.json" 'c["latency"]["median_us"] >= 40000'

# A pseudo-terminal: its round trips are timed; it has neither modem lines nor a break, so
# those checks cannot pass and say why.
start_pty_echo
run_cli 60 --tests 2 --plug full --break 50 --latency 100 --json "$WORK/pty.json" "$pty"
expect_status 1
json_check "$WORK/pty.json" 'c["latency"]["passed"] and c["latency"]["rounds_done"] == 100 and c["latency"]["median_us"] > 0'
json_check "$WORK/pty.json" 'not c["plug"]["passed"] and not c["break"]["passed"] and "items" not in c["plug"]'
grep -qF 'The device is a pseudo-terminal: it cannot send or receive a break' "$WORK/run.out" ||
  e2e_fail "no word on the pseudo-terminal's missing break"
grep -qF 'so the full plug check cannot pass on it' "$WORK/run.out" ||
  e2e_fail "no word on the pseudo-terminal's missing modem lines"
echo "PASS: serivane-run --plug full, --break and --latency on the plug and a pseudo-terminal"
