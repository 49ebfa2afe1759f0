#!/usr/bin/env bash
# CI stage: the serial layer on the kernel's real drivers. Builds the static test programs,
# boots a QEMU guest (tests/guest/run-guest.sh) and runs them on the guest's second 16550 in its
# loopback mode: the serial table's real-port rows, the same table without pseudo-terminals, and
# the real-driver checks. Then, on an emulated FTDI adapter (ftdi_sio) and a four-port 16550 card
# (tests/guest/usb-cases.sh): the table and serivane-run on the adapter, five 16550s at once, the
# adapter pulled out mid-run and plugged back, its COM number kept under a new node, and a soak
# on ttyS1. Then reads QEMU's own trace for the rates and frames the chip was given.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
echo "== real UART: QEMU guest"

export DEBIAN_FRONTEND=noninteractive
packages=(qemu-system-x86 cpio xz-utils socat)
apt-get install -y --no-install-recommends "${packages[@]}" >/dev/null ||
  { apt-get update && apt-get install -y --no-install-recommends "${packages[@]}"; }

bash tests/guest/runner_test.sh

cmake --preset guest
cmake --build --preset guest --target serial_tests uart_tests uart_loop serivane-run serivane-ports

out=build/guest/run
rm -rf "$out"
bin=build/guest/tests
# A failed case does not stop the stage: the checks below still say what else went wrong.
failed=0
bash tests/guest/run-guest.sh --work "$out" --trace "$out/trace.log" --timeout 300 \
  --usb-serial --pci-serial-4x \
  --add "$bin/guest/serivane-uart-loop" --add "$bin/serial/serial_tests" \
  --add "$bin/guest/uart_tests" --add build/guest/tools/run/serivane-run \
  --add build/guest/tools/ports/serivane-ports --add tests/guest/usb-cases.sh \
  --env SERIVANE_TEST_PORT=/dev/ttyS1 --env SERIVANE_GUEST_CONSOLE=/dev/ttyS0 \
  --env GTEST_COLOR=no \
  --case loop="serivane-uart-loop /dev/ttyS1" \
  --case serial-table="serial_tests" \
  --case serial-table-without-ptys="umount /dev/pts && serial_tests \
--gtest_filter='*/PseudoTerminal:TermiosDevice.*:*/RealPort'; s=\$?; \
mount -t devpts devpts /dev/pts; exit \$s" \
  --case uart-checks="uart_tests" \
  --case serivane-run="XDG_CONFIG_HOME=/tmp/config serivane-run --result /tmp/result.txt \
/dev/ttyS1; s=\$?; echo @@result-file; base64 /tmp/result.txt; echo @@result-file-end; exit \$s" \
  --case ttyS1-lines="usb-cases.sh lines" \
  --case usb-table="usb-cases.sh table" --case usb-run="usb-cases.sh run" \
  --case usb-rate="usb-cases.sh rate" --case soak="usb-cases.sh soak" \
  --case five-ports="usb-cases.sh ports" --case usb-unplug="usb-cases.sh unplug" \
  --case usb-replug="usb-cases.sh replug" --case usb-com-number="usb-cases.sh com" \
  --case sweep="usb-cases.sh sweep" ||
  failed=1

# What the console log and QEMU's trace must also hold.
need() {  # description, count wanted, pattern, file
  local got
  got=$(grep -c -- "$3" "$4" || true)
  if [ "$got" -ge "$2" ]; then
    echo "guest: ok $1"
  else
    echo "guest: FAILED $1 ($got of $2 lines match '$3' in $4)"
    failed=1
  fi
}
log=$out/console.log
need "real-port rows ran and passed (twice: with and without ptys)" 4 \
  '^\[       OK \] AllDevices/Loopback\..*/RealPort' "$log"
need "real-port rows passed on the USB adapter" 2 \
  '^\[       OK \] AllDevices/Loopback\..*/RealPort' \
  <(sed -n '/^@@guest start usb-table$/,/^@@guest end usb-table /p' "$log")
need "pseudo-terminal rows skip when there are none" 7 '^no pseudo-terminals here: ' "$log"
# 7300 baud is asked for once; the chip makes 7200 of it (divisor 16). The kernel's probing at
# boot leaves 9600-baud frames in the trace, so the frames are checked at 4800.
for frame in "baudrate=28800 parity='N' data=8 stop=1" "baudrate=14400 parity='N' data=8 stop=1" \
  "baudrate=7200 parity='N' data=8 stop=1" \
  "baudrate=4800 parity='E' data=7 stop=1" "baudrate=4800 parity='O' data=7 stop=2" \
  "baudrate=4800 parity='E' data=8 stop=1" "baudrate=4800 parity='N' data=5 stop=1"; do
  need "the UART ran at $frame" 1 "$frame" "$out/trace.log"
done
# serivane-run's result file, line by line with its CR LF ends: all five tests passed with the
# default settings (38400 baud, 100 single bytes).
expected=(
  '^Test started [0-9/]+ [0-9:]+$'
  '^\+Open/Close --- OK   \(Duration: [0-9]+ms\)$'
  '^\+Data Tx/Rx: 256 bytes send/received --- OK$'
  '^ \(Duration: [0-9]+ms , Calculated: ~73ms\)$'
  '^\+100 bytes Tx/Rx: Single bytes send/received --- OK  \([0-9]+ms\)$'
  '^\+RTS/CTS handshake: RTS/CTS= off --- OK$'
  '^\+RTS/CTS handshake: RTS/CTS= on --- OK$'
  '^\+DTR/DSR handshake: DTR/DSR= off --- OK$'
  '^\+DTR/DSR handshake: DTR/DSR= on --- OK$'
  '^\+All test\(s\) passed [0-9/]+ [0-9:]+$'
  '^$'
)
sed -n '/^@@result-file$/,/^@@result-file-end$/p' "$log" | sed '1d;$d' | base64 -d >"$out/result.txt" ||
  true
mapfile -t lines <"$out/result.txt"
result_ok=1
[ "${#lines[@]}" = "${#expected[@]}" ] || result_ok=0
for i in "${!expected[@]}"; do
  line=${lines[$i]-}
  if [[ $line != *$'\r' ]] || ! [[ ${line%$'\r'} =~ ${expected[$i]} ]]; then
    echo "guest: result line $((i + 1)) is '${line%$'\r'}', wanted ${expected[$i]} and CR LF"
    result_ok=0
  fi
done
if [ "$result_ok" = 1 ]; then
  echo "guest: ok serivane-run's result file, ${#lines[@]} lines"
else
  echo "guest: FAILED serivane-run's result file ($out/result.txt, ${#lines[@]} lines):"
  sed 's/^/  | /' "$out/result.txt"
  failed=1
fi
echo "guest: stage took $((SECONDS - started))s"
exit "$failed"
