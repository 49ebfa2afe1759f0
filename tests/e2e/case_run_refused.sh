# serivane-run with stored values that no option would accept: it runs with the defaults, says
# so on standard error (not for a value an option replaces), and changes nothing stored.
source "$(dirname "$0")/lib.sh"
e2e_begin_headless

port_map 1 loopback
reg_setting "Result FileName" "$WORK/result.txt" "Max Duration" 30000
reg_setting Baudrate 49 "Test Timeout" -100000 "Single Bytes" 100000 "Test 4" maybe
cp "$XDG_CONFIG_HOME/serivane/registry/HKEY_LOCAL_MACHINE.reg" "$WORK/hive.before"

run_cli 60 --bits 8
expect_status 0
expect_result "$WORK/result.txt" "$E2E_DIR/expected/plug_pass.txt"
for notice in \
  'Setting "Baudrate" ignored: its stored value "49" is not one the program accepts (50 to 4000000).' \
  'Setting "Test Timeout" ignored: its stored value "-100000" is not one the program accepts (0 to 2147483647).' \
  'Setting "Single Bytes" ignored: its stored value "100000" is not one the program accepts (1 to 32767).' \
  'Setting "Test 4" ignored: its stored value "maybe" is not one the program accepts (True, False or a number).'; do
  expect_in "$WORK/run.err" "serivane-run: $notice The default is used, and the stored value is left as it is."
done
cmp -s "$WORK/hive.before" "$XDG_CONFIG_HOME/serivane/registry/HKEY_LOCAL_MACHINE.reg" ||
  e2e_fail "the run changed the registry"

# An option replaces the stored value: nothing to say about it.
run_cli 60 --baud 38400 --timeout 2000 --single-bytes 100 --tests 1,2,3,4,5
expect_status 0
[[ ! -s $WORK/run.err ]] || { cat "$WORK/run.err" >&2; e2e_fail "a replaced value was reported"; }
echo "PASS: serivane-run: refused stored values said on standard error, defaults used, hive kept"
