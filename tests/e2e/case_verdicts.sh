# Verdicts the tested port must earn, on the real program with the plug's fault switches.
#
# 1. Com2 fails the reopen of the Open/Close test and echoes nothing; Com1 is a good plug. The
#    failure boxes stay open long enough for status ticks to find the port closed: the run must
#    not go on on Com1, every later test fails on the closed Com2, and the exit stores Com2.
# 2. A framing error early in the data block fails the data test although the last event is the
#    receive event, and 3. single bytes at 19200 8E2 are given the time of 12-bit characters
#    (3000 ms of wire, where 10-bit characters would have allowed 2500 ms plus the timeout).
source "$(dirname "$0")/lib.sh"
e2e_begin

port_map 1 loopback
port_map 2 'loopback?openfail=1&echo=off'
seed_unattended_run "$WORK/port.txt"
reg_setting Comport 2 "Max Duration" 30000
E2E_ANSWER_DELAY=1.5 run_window 90 Return Return Return Return Return
expect_status 1
expect_answers 5
expect_result "$WORK/port.txt" "$E2E_DIR/expected/verdicts_port.txt"
stored=$("$SERIVANE_REG" query "$SETTINGS_KEY" /v Comport) || e2e_fail "no stored Comport"
[[ $stored == *Comport*REG_SZ*2* ]] || e2e_fail "the exit stored another port: $stored"

port_map 1 'loopback?frame=10'
seed_unattended_run "$WORK/line.txt"
reg_setting Comport 1 Baudrate 19200 Parity 3 Stopbits 2 "Single Bytes" 4800 "Test Timeout" 300 \
  "Test 1" False "Test 4" False "Test 5" False
run_window 60 Return
expect_status 1
expect_answers 1
expect_result "$WORK/line.txt" "$E2E_DIR/expected/verdicts_line.txt"
echo "PASS: the run stayed on the tested port, a hidden line error failed, 12-bit frames had their time"
