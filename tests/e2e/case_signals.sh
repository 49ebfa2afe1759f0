# SIGTERM and SIGHUP (a logout, a service manager, a script's time limit) end the window as its
# close button does: the settings are saved, the port is closed and its lock file removed; the
# status is 128 plus the signal's number.
source "$(dirname "$0")/lib.sh"
e2e_begin

start_pty_echo
port_map 1 "$pty"
lock=/run/lock/LCK..${pty#/dev/}
lock=${lock//pts\//pts_}
cat >"$WORK/driver.sh" <<'DRIVER'
source "$E2E_DIR/lib.sh"
work=$1 pid=$2
[[ -n $(main_window) ]] || { echo "no window"; exit 1; }
for _ in $(seq 100); do
  [[ -e $E2E_LOCK ]] && break
  sleep 0.05
done
[[ -e $E2E_LOCK ]] && echo "locked"
kill "-$E2E_SIGNAL" "$pid"
DRIVER
for signal in TERM HUP; do
  reg_setting Baudrate 9600
  E2E_LOCK=$lock E2E_SIGNAL=$signal E2E_DIR=$E2E_DIR E2E_DRIVER=$WORK/driver.sh run_window 30
  expect_status $((128 + $(kill -l $signal)))
  if [[ -d /run/lock && -w /run/lock ]]; then
    grep -qx locked "$WORK/driver.log" || e2e_fail "SIG$signal: no lock file $lock while open"
  fi
  [[ ! -e $lock ]] || e2e_fail "SIG$signal: the lock file $lock is left"
  [[ $(stored "Window Height") =~ ^[0-9] ]] || e2e_fail "SIG$signal: the settings were not saved"
  [[ $(stored Baudrate) == 9600 ]] || e2e_fail "SIG$signal: the stored rate changed"
  "$SERIVANE_REG" delete "$SETTINGS_KEY" /f >/dev/null
  : >"$WORK/driver.log"
done
echo "PASS: SIGTERM and SIGHUP saved the settings and let go of the port's lock"
