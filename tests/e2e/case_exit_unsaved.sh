# Settings that cannot be saved (the hive's lock path is a folder) and a start-up run that ends
# the program: the program runs once and ends by itself, with status 1, no box to click and the
# system's reason on standard error.
source "$(dirname "$0")/lib.sh"
e2e_begin

port_map 1 loopback
seed_unattended_run "$WORK/result.txt"
lock=$XDG_CONFIG_HOME/serivane/registry/HKEY_LOCAL_MACHINE.reg.lock
rm -f "$lock"
mkdir "$lock"

run_window 30
expect_status 1
expect_answers 0
grep -qF "Failed to write new value to Baudrate from Registry. (cannot open $lock: Is a directory)" \
  "$WORK/serivane.log" || e2e_fail "the reason is not on standard error"
runs=$(grep -c '^Test started' "$WORK/result.txt" || true)
[[ $runs == 1 ]] || e2e_fail "$runs runs, expected 1"
echo "PASS: one run, then the program ended with status 1 and said why"
