# All five tests through the built-in virtual loopback plug, one pass: the program starts the
# run by itself, passes everything and ends by itself.
source "$(dirname "$0")/lib.sh"
e2e_begin

port_map 1 loopback
seed_unattended_run "$WORK/result.txt"
# A close/open on a busy machine must not read as slow: this case is about the lines.
reg_setting "Max Duration" 30000

run_window 60
expect_status 0
expect_answers 0
expect_result "$WORK/result.txt" "$E2E_DIR/expected/plug_pass.txt"
echo "PASS: five tests passed on the virtual plug and the program ended by itself"
