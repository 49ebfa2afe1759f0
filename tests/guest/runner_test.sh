#!/usr/bin/env bash
# The guest runner's verdicts, with a fake QEMU that prints what a guest would: a passing run, a
# case that fails, a guest that hangs in a case and one that dies in it. Each must give the
# runner's status and name the case.
set -euo pipefail
command -v cpio >/dev/null || { echo "cpio is not installed: the runner cannot build its initrd"; exit 77; }
command -v socat >/dev/null || { echo "socat is not installed: the runner cannot reach QEMU's monitor"; exit 77; }
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cat >"$tmp/qemu" <<'FAKE'
#!/usr/bin/env bash
# Boots nothing: checks that it was given an initrd with an init, then plays $FAKE_GUEST. Its
# monitor writes every command it gets to $FAKE_MONITOR_LOG.
monitor=""
while [ $# -gt 0 ]; do
  case $1 in
    -initrd) initrd=$2 ;;
    -monitor) monitor=${2#unix:} monitor=${monitor%%,*} ;;
  esac
  shift
done
cpio -it --quiet <"$initrd" | grep -qx init || { echo "fake qemu: no init in the initrd"; exit 1; }
if [ -n "$monitor" ]; then
  socat "UNIX-LISTEN:$monitor,fork" "OPEN:$FAKE_MONITOR_LOG,creat,append" &>/dev/null &
  mon_pid=$!
fi
printf 'Booting from ROM..\n@@guest up 2.50\n@@guest start first\nsome output\n'
case $FAKE_GUEST in
  unplug)
    # The guest asks for the adapter to go and waits until the monitor was told.
    sleep 0.5
    printf '@@host unplug\n'
    for _ in $(seq 40); do grep -q '^device_del usb0$' "$FAKE_MONITOR_LOG" 2>/dev/null && break; sleep 0.1; done
    grep -q '^device_del usb0$' "$FAKE_MONITOR_LOG" && s=0 || s=1
    printf '\n@@guest end first %s 3.00\n@@guest start second\n\n@@guest end second 0 3.50\n' $s
    kill "$mon_pid" 2>/dev/null
    ;;
  pass) printf '\n@@guest end first 0 3.00\n@@guest start second\n\n@@guest end second 0 3.50\n' ;;
  fail) printf '\n@@guest end first 0 3.00\n@@guest start second\n\n@@guest end second 3 3.50\n' ;;
  hang) sleep 60 ;;
  dies) echo 'Kernel panic - not syncing'; exit 1 ;;
esac
printf '\n@@guest done 3.60\nreboot: Power down\n'
FAKE
chmod +x "$tmp/qemu"
echo kernel >"$tmp/vmlinux"
cp "$(type -P true)" "$tmp/busybox"

mkdir -p "$tmp/modules"
for module in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
  echo module >"$tmp/modules/$module.ko"
done

# Runs the runner on the fake playing $1; its status and report go to $tmp/out.
run() {
  local status=0 usb=()
  [ "$1" = unplug ] && usb=(--usb-serial)
  rm -f "$tmp/monitor.log"
  FAKE_GUEST=$1 SERIVANE_GUEST_QEMU=$tmp/qemu SERIVANE_GUEST_KERNEL=$tmp/vmlinux \
    SERIVANE_GUEST_BUSYBOX=$tmp/busybox SERIVANE_GUEST_MODULES=$tmp/modules \
    FAKE_MONITOR_LOG=$tmp/monitor.log \
    bash "$here/run-guest.sh" --timeout 5 --work "$tmp/work" "${usb[@]}" --case first="true" \
    --case second="false" >"$tmp/out" 2>&1 || status=$?
  echo "$status"
}

failures=0
expect() {  # scenario, status, then lines the report must hold
  local scenario=$1 want=$2 got line
  shift 2
  got=$(run "$scenario")
  [ "$got" = "$want" ] || { echo "FAIL $scenario: status $got, want $want"; failures=1; }
  for line in "$@"; do
    grep -qxF -- "$line" "$tmp/out" || { echo "FAIL $scenario: no line '$line'"; failures=1; }
  done
  [ "$failures" = 0 ] || { sed 's/^/  | /' "$tmp/out"; return 0; }
  echo "ok   $scenario"
}

expect pass 0 "guest: passed first (at 3.00s)" "guest: passed second (at 3.50s)"
expect fail 1 "guest: passed first (at 3.00s)" "guest: FAILED second (exit status 3)"
expect unplug 0 "guest: passed first (at 3.00s)" "@@monitor: sent device_del usb0"
expect hang 1 "guest: FAILED first: timed out (the whole guest may take 5s)" \
  "guest: FAILED second: never started"
expect dies 1 "guest: FAILED first: the guest stopped while it ran (QEMU status 1)"
grep -q "boot to first case 2.50s" "$tmp/out" || { echo "FAIL: no boot time"; failures=1; }
exit "$failures"
