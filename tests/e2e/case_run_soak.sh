# serivane-run --soak: a few seconds of checked stream on the plug and through a pseudo-terminal
# pass, a plug that loses one character in 5000 fails it, and the JSON report of each holds the
# check's figures.
source "$(dirname "$0")/lib.sh"
e2e_begin_headless
command -v python3 >/dev/null || {
  echo "SKIP: python3 is not installed (it reads the JSON reports)"
  exit $E2E_SKIP
}

# soak_json REPORT EXPRESSION: asserts EXPRESSION (Python, over `c`, the report's one check, and
# `p`, its port) holds; prints the check when it does not.
soak_json() {
  python3 - "$1" "$2" <<'PY' || e2e_fail "the report fails: $2"
import json, sys
report = json.load(open(sys.argv[1]))
p = report["ports"][0]
c = p["checks"][0]
if not eval(sys.argv[2]):
    json.dump(c, sys.stderr, indent=1)
    sys.exit(1)
PY
}

reg_setting "Max Duration" 30000

# On the plug at 115200: every character back, at the wire rate, no counters to read.
run_cli 60 --no-result-file --tests 1 --baud 115200 --soak 3s --json "$WORK/plug.json" loopback
expect_status 0
soak_json "$WORK/plug.json" 'c["check"] == "soak" and c["passed"] and not c["interrupted"]'
soak_json "$WORK/plug.json" 'c["characters_sent"] > 30000 and c["characters_ok"] == c["characters_sent"]'
soak_json "$WORK/plug.json" 'c["lost"] + c["changed"] + c["extra"] + c["out_of_order"] == 0'
soak_json "$WORK/plug.json" '0.97 < c["throughput_ratio"] <= 1.0 and c["wire_rate_baud"] == 115200'
soak_json "$WORK/plug.json" 'abs(c["ber_upper_bound"] - 3 / (c["characters_sent"] * 10)) < 1e-15'
soak_json "$WORK/plug.json" 'c["counters_available"] is False and "first_error_ms" not in c'
soak_json "$WORK/plug.json" 'c["lines"][3] == "Line counters: not available" and c["diagnosis"] == []'
grep -qE '^Soak 3s at 115200,N,8,1: [0-9]+ characters sent, [0-9]+ characters received --- OK$' \
  "$WORK/run.out" || e2e_fail "no soak line on the terminal"
grep -qF "loopback: all tests and checks passed, 1 pass" "$WORK/run.out" "$WORK/run.err" ||
  e2e_fail "no summary"

# Through a pseudo-terminal whose far end echoes (it keeps 8 data bits whatever it is told).
start_pty_echo
run_cli 60 --no-result-file --tests 1 --baud 115200 --soak 3s --json "$WORK/pty.json" "$pty"
expect_status 0
soak_json "$WORK/pty.json" 'c["passed"] and c["characters_sent"] > 1000 and c["errors"] == 0'
soak_json "$WORK/pty.json" 'c["line_settings"] == "115200,N,8,1" and c["characters_received"] == c["characters_sent"]'

# A plug that loses every 5000th character: the losses are counted, the first one placed, and
# the port fails on the soak alone.
run_cli 60 --no-result-file --tests 1 --soak 3s --json "$WORK/drop.json" 'loopback?drop=5000'
expect_status 1
soak_json "$WORK/drop.json" 'not c["passed"] and c["lost"] == c["characters_sent"] // 5000 >= 2'
soak_json "$WORK/drop.json" 'c["changed"] == c["extra"] == c["out_of_order"] == 0'
soak_json "$WORK/drop.json" 'c["first_error_character"] == 5000 and c["first_error_ms"] >= 1000'
soak_json "$WORK/drop.json" '"ber_upper_bound" not in c and not p["passed"]'
soak_json "$WORK/drop.json" 'any("lost in the stream" in d for d in p["diagnosis"])'
grep -qE '^Soak 3s at 38400,N,8,1: [0-9]+ characters sent, [0-9]+ characters received <-- FAILED$' \
  "$WORK/run.out" || e2e_fail "no failed soak line on the terminal"
grep -qF "loopback?drop=5000: FAILED (soak), 1 pass" "$WORK/run.out" "$WORK/run.err" || e2e_fail "no summary"

# Characters swapped on the wire, with the handshake on.
run_cli 60 --no-result-file --tests 1 --soak 2s --flow rts --json "$WORK/swap.json" \
  'loopback?swap=2000'
expect_status 1
soak_json "$WORK/swap.json" 'c["out_of_order"] >= 3 and c["lost"] == c["changed"] == c["extra"] == 0'
soak_json "$WORK/swap.json" 'c["flow"] == "rts" and c["title"].endswith("with RTS/CTS handshake")'
echo "PASS: serivane-run --soak passes on the plug and a pty, fails on lost and swapped characters"
