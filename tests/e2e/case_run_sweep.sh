# serivane-run --sweep: a passing sweep on the plug (one rate it refuses) and on a pseudo-terminal
# (not timed), and a failing one on a plug whose wire runs 250000 at 230400; the result file and
# the JSON report of each.
source "$(dirname "$0")/lib.sh"
e2e_begin_headless
command -v python3 >/dev/null || {
  echo "SKIP: python3 is not installed (it reads the JSON report)"
  exit $E2E_SKIP
}

reg_setting "Result FileName" "$WORK/result.txt"

# json_check FILE PYTHON: runs PYTHON with `check` as the report's only sweep and `items` as its
# rates; a failed assert fails the case.
json_check() {
  python3 - "$1" "$2" <<'PY' || e2e_fail "the report $1 is not as it should be"
import json, sys
report = json.load(open(sys.argv[1]))
(port,) = report["ports"]
(check,) = [c for c in port["checks"] if c["check"] == "sweep"]
items = check["items"]
try:
    exec(sys.argv[2])
except AssertionError as e:
    print(json.dumps(check, indent=1), file=sys.stderr)
    sys.exit(f"assertion failed: {e}")
PY
}

# The plug, with 460800 beyond its highest rate: it is refused, said, and fails nothing.
run_cli 60 --tests 2 --sweep 9600,460800,115200 --json "$WORK/pass.json" 'loopback?maxrate=230400'
expect_status 0
expect_in "$WORK/result.txt" $'+Rate sweep of 3 rates at N,8,1: 2 passed, 1 refused --- OK\r'
expect_in "$WORK/result.txt" $' 460800: refused (460800 baud: this port makes at most 230400)\r'
expect_in "$WORK/result.txt" $' Highest rate that passed: 115200\r'
expect_in "$WORK/run.out" "loopback?maxrate=230400: all tests and checks passed, 1 pass"
json_check "$WORK/pass.json" '
assert check["passed"] is True and check["timed"] is True, "passed and timed"
assert check["highest_passed_baud"] == 115200, "highest"
assert [i["asked_baud"] for i in items] == [9600, 460800, 115200], "rates in order"
assert [i["result"] for i in items] == ["passed", "refused", "passed"], "results"
for i in (items[0], items[2]):
    assert i["wire_time_ms"] == 200 and i["off_rate"] is False, "wire time"
    assert abs(i["measured_baud"] - i["asked_baud"]) < i["asked_baud"] * 0.03, "measured"
    assert i["about_baud"] == i["asked_baud"], "about"
assert "measured_baud" not in items[1] and "at most 230400" in items[1]["reason"], "refusal"
assert port["settings"] == "38400,N,8,1", "the run settings"
'

# The wire runs 250000 at 230400: that rate fails, said with both rates, and so does the run.
run_cli 60 --tests 2 --sweep 9600,250000 --json "$WORK/fail.json" 'loopback?rate=250000:230400'
expect_status 1
expect_in "$WORK/result.txt" $'-Rate sweep of 2 rates at N,8,1: 1 passed, 1 failed <-- FAILED\r'
grep -qE $'^ asked 250000, runs at about 230400: 5000 characters in [0-9]+ ms, wire time 200 ms\r$' \
  "$WORK/result.txt" || { cat "$WORK/result.txt" >&2; e2e_fail "no line of the rate that runs off"; }
expect_in "$WORK/run.out" "loopback?rate=250000:230400: FAILED (sweep), 1 pass"
json_check "$WORK/fail.json" '
assert check["passed"] is False and check["rates_off"] == 1, "failed, one off"
assert check["highest_passed_baud"] == 9600, "highest"
assert items[1]["result"] == "failed" and items[1]["off_rate"] is True, "flagged"
assert items[1]["about_baud"] == 230400, "about"
assert abs(items[1]["measured_baud"] - 230400) < 230400 * 0.02, "measured"
assert items[1]["reason"] == "asked 250000, runs at about 230400", "reason"
assert any("runs at about 230400" in d for d in port["diagnosis"]), "diagnosis"
'

# A pseudo-terminal takes every rate and echoes at once: passed, and not timed.
start_pty_echo
run_cli 60 --tests 2 --sweep 50,9600,4000000 --json "$WORK/pty.json" "$pty"
expect_status 0
expect_in "$WORK/result.txt" $' A pseudo-terminal has no wire timing: the rates were not timed\r'
expect_in "$WORK/result.txt" $' Highest rate that passed: 4000000\r'
json_check "$WORK/pty.json" '
assert check["passed"] is True and check["timed"] is False, "passed, not timed"
assert [i["result"] for i in items] == ["passed"] * 3, "results"
assert not any("measured_baud" in i or "off_rate" in i for i in items), "no rate measured"
assert [i["characters"] for i in items] == [16, 192, 32768], "block sizes"
'
echo "PASS: serivane-run --sweep on the plug, its rate switch and a pseudo-terminal"
