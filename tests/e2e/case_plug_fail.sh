# A plug that loses every 100th character: the data test gets 254 of its 256 characters back
# and the single-bytes test 99 of 100 (the plug counts characters across the run). The first
# failure box is answered OK, so the pass goes on; the second Cancel, so the two handshake
# tests are skipped. The run ends after that pass and the program still ends by itself.
source "$(dirname "$0")/lib.sh"
e2e_begin

port_map 1 'loopback?drop=100'
seed_unattended_run "$WORK/result.txt"
# Short waits for an echo that never completes; this value has no menu, only the registry.
reg_setting "Test Timeout" 500 "Max Duration" 30000

run_window 60 Return Escape
expect_status 1
expect_answers 2
expect_result "$WORK/result.txt" "$E2E_DIR/expected/plug_drop.txt"
echo "PASS: lost characters reported, failure boxes answered, program ended by itself"
