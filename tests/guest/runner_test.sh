#!/usr/bin/env bash
# The guest runner's verdicts, with a fake QEMU that prints what a guest would: a passing run, a
# case that fails, a guest that hangs in a case and one that dies in it. Each must give the
# runner's status and name the case.
set -euo pipefail
command -v cpio >/dev/null || { echo "cpio is not installed: the runner cannot build its initrd"; exit 77; }
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cat >"$tmp/qemu" <<'FAKE'
#!/usr/bin/env bash
# Boots nothing: checks that it was given an initrd with an init, then plays $FAKE_GUEST.
while [ $# -gt 0 ] && [ "$1" != -initrd ]; do shift; done
cpio -it --quiet <"$2" | grep -qx init || { echo "fake qemu: no init in the initrd"; exit 1; }
printf 'Booting from ROM..\n@@guest up 2.50\n@@guest start first\nsome output\n'
case $FAKE_GUEST in
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

# Runs the runner on the fake playing $1; its status and report go to $tmp/out.
run() {
  local status=0
  FAKE_GUEST=$1 SERIVANE_GUEST_QEMU=$tmp/qemu SERIVANE_GUEST_KERNEL=$tmp/vmlinux \
    SERIVANE_GUEST_BUSYBOX=$tmp/busybox \
    bash "$here/run-guest.sh" --timeout 3 --work "$tmp/work" --case first="true" \
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
expect hang 1 "guest: FAILED first: timed out (the whole guest may take 3s)" \
  "guest: FAILED second: never started"
expect dies 1 "guest: FAILED first: the guest stopped while it ran (QEMU status 1)"
grep -q "boot to first case 2.50s" "$tmp/out" || { echo "FAIL: no boot time"; failures=1; }
exit "$failures"
