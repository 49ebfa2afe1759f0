# An unattended window (Run at Startup and Close when finished) tells a script how it went by
# its exit status, and says on standard error what went wrong:
# 1. the stored port does not exist: nothing is tested, status 3, the stored port is kept;
# 2. the result file cannot be created: the run goes on, status 3;
# 3. no display at all: one line naming serivane-run, status 2, and neither the COM port map
#    nor the settings are touched.
# (A passed run ends with 0 and a failed one with 1: case_plug_pass and case_plug_fail.)
source "$(dirname "$0")/lib.sh"
e2e_begin

port_map 1 loopback
port_map 7 "$WORK/absent"
seed_unattended_run "$WORK/result.txt"
reg_setting Comport 7
run_window 30
expect_status 3
expect_answers 0
grep -qx "serivane: Com-port 7: Cannot open $WORK/absent: .*; no test was run" \
  "$WORK/serivane.log" || e2e_fail "standard error does not say why"
[[ ! -e $WORK/result.txt ]] || e2e_fail "a result file was written although nothing was tested"
[[ $(stored Comport) == 7 ]] || e2e_fail "the stored port became '$(stored Comport)'"

seed_unattended_run "$WORK/no-such-folder/result.txt"
reg_setting Comport 1
run_window 30
expect_status 3
grep -qF "serivane: Result file error: cannot create $WORK/no-such-folder/result.txt" \
  "$WORK/serivane.log" || e2e_fail "standard error does not name the refused result file"

rm -rf "$XDG_CONFIG_HOME"
mkdir "$XDG_CONFIG_HOME"
for display in '' ':87'; do
  status=0
  env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY="$display" \
    timeout -k 5 20 "$SERIVANE_BIN" >"$WORK/out.log" 2>"$WORK/err.log" || status=$?
  [[ $status == 2 ]] || e2e_fail "no display '$display': status $status, expected 2"
  [[ $(wc -l <"$WORK/err.log") == 1 ]] && grep -q 'serivane-run' "$WORK/err.log" ||
    e2e_fail "no display '$display': not one line naming serivane-run: $(cat "$WORK/err.log")"
  [[ -z $(ls -A "$XDG_CONFIG_HOME") ]] || e2e_fail "no display '$display': the registry was touched"
done
echo "PASS: status 3 for a missing port and a refused result file, 2 without a display"
