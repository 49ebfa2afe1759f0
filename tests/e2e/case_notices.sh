# What the window says before a run stays with the run:
# 1. a stored "Result FileName" too long to read makes the window use the default file and say
#    so under "Serivane ready"; the start-up run that empties the box writes the notice again,
#    as a remark in the box and in the file it went to;
# 2. a stored port that does not exist: while the recovery pauses, the window is drawn and
#    shows why (no black window), and the lines differ from what it shows once it is ready.
source "$(dirname "$0")/lib.sh"
e2e_begin

port_map 1 loopback
seed_unattended_run "$WORK/$(printf 'x%.0s' $(seq 280)).txt"
run_window 60
expect_status 0
notice=' Setting "Result FileName" ignored: its stored text has'
file=$HOME/RS-232_Result.Txt
[[ -f $file ]] || e2e_fail "the default result file was not written"
sed -n 2p "$file" | grep -qF -- "$notice" || {
  cat -A "$file" >&2
  e2e_fail "the notice is not the run's second line"
}

reg_setting "Run at Startup" False Comport 7
cat >"$WORK/driver.sh" <<'DRIVER'
source "$E2E_DIR/lib.sh"
work=$1 pid=$2
win=$(main_window)
[[ -n $win ]] || { echo "no window"; exit 1; }
# The recovery pauses for a second from the first tick, which comes as soon as the window shows.
import -window "$win" -depth 8 "ppm:$work/pause.ppm"
sleep 2
import -window "$win" -depth 8 "ppm:$work/ready.ppm"
kill -TERM "$pid"
DRIVER
E2E_DIR=$E2E_DIR E2E_DRIVER=$WORK/driver.sh run_window 30
expect_status 143
for shot in pause ready; do
  [[ -s $WORK/$shot.ppm ]] || e2e_fail "no screenshot $shot: $(cat "$WORK/driver.log")"
  # Bytes of the picture that are not black (the header counts a few).
  lit=$(tr -d '\000' <"$WORK/$shot.ppm" | wc -c)
  size=$(stat -c %s "$WORK/$shot.ppm")
  ((lit * 2 > size)) || e2e_fail "the window is mostly black in the $shot screenshot"
done
cmp -s "$WORK/pause.ppm" "$WORK/ready.ppm" &&
  e2e_fail "the window showed the same during the pause as when ready"
echo "PASS: the notice went into the run, the recovery was drawn during its pause"
