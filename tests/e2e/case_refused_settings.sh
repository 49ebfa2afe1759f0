# Stored values that no menu, input box or option accepts (a rate of 1 bit/s, a negative time
# limit, more single bytes than a run can send): the window runs with the defaults instead, says
# so on standard error, and leaves the stored values as they are at exit.
source "$(dirname "$0")/lib.sh"
e2e_begin

port_map 1 loopback
seed_unattended_run "$WORK/result.txt"
reg_setting Baudrate 1 "Test Timeout" -100000 "Max Duration" -32768 "Single Bytes" 100000

run_window 60
expect_status 0
expect_answers 0
# The defaults' run: 38400 baud (the calculated wire time), 100 single bytes, nothing slow; the
# notices shown at start are repeated as remarks at the head of the run.
expect_result "$WORK/result.txt" "$E2E_DIR/expected/refused_settings.txt"
for notice in \
  'Setting "Baudrate" ignored: its stored value "1" is not one the program accepts (50 to 4000000).' \
  'Setting "Test Timeout" ignored: its stored value "-100000" is not one the program accepts (0 to 2147483647).' \
  'Setting "Max Duration" ignored: its stored value "-32768" is not one the program accepts (0 to 32767).' \
  'Setting "Single Bytes" ignored: its stored value "100000" is not one the program accepts (1 to 32767).'; do
  grep -qF "serivane: $notice The default is used, and the stored value is left as it is." \
    "$WORK/serivane.log" || e2e_fail "not said: $notice"
done
for pair in Baudrate=1 "Test Timeout=-100000" "Max Duration=-32768" "Single Bytes=100000"; do
  stored=$("$SERIVANE_REG" query "$SETTINGS_KEY" /v "${pair%%=*}") || e2e_fail "${pair%%=*} gone"
  [[ $stored == *REG_SZ*" ${pair#*=}"* ]] || e2e_fail "the exit changed ${pair%%=*}: $stored"
done
echo "PASS: refused stored values: the defaults ran, the window said so, the values stayed stored"
