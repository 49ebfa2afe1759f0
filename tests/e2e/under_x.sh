# Runs inside xvfb-run: starts the window program and answers its failure boxes from outside,
# as an operator would, until the program ends.
#   under_x.sh WORK LIMIT_S PROGRAM [KEY ...]
# Each failure box found is given the keyboard focus and the next KEY; boxes beyond the keys
# given are answered with Escape and logged as unexpected. A box stays open for
# E2E_ANSWER_DELAY seconds (default 0.2) before it is answered. Exits with the program's status.
# E2E_DRIVER, when set, names a script started beside the program with WORK and the program's
# process number; it drives the window as an operator would (keys, signals, screenshots), and
# what it prints goes to WORK/driver.log.
set -uo pipefail
work=$1 limit=$2 program=$3
shift 3
keys=("$@")
log=$work/answers.log
: >"$log"

timeout -k 5 "$limit" "$program" >"$work/serivane.log" 2>&1 &
pid=$!
if [[ -n ${E2E_DRIVER:-} ]]; then
  # `timeout` runs the program as its child.
  for _ in $(seq 50); do
    child=$(pgrep -P "$pid" | head -n1) && [[ -n $child ]] && break
    sleep 0.05
  done
  bash "$E2E_DRIVER" "$work" "${child:-}" >>"$work/driver.log" 2>&1 &
fi

answered=0
while kill -0 "$pid" 2>/dev/null; do
  # Only a box that is on screen: a closed box may live on unmapped.
  for win in $(xdotool search --onlyvisible --name '^RS-232 Test failed' 2>/dev/null); do
    key=${keys[answered]:-Escape}
    tag=answered
    ((answered < ${#keys[@]})) || tag=unexpected
    # No window manager runs here, so the focus is set directly before the key is typed.
    xdotool windowfocus --sync "$win" 2>/dev/null || true
    sleep "${E2E_ANSWER_DELAY:-0.2}"
    xdotool key --clearmodifiers "$key"
    echo "$tag $key window $win" >>"$log"
    answered=$((answered + 1))
    for _ in $(seq 50); do
      xdotool search --onlyvisible --name '^RS-232 Test failed' 2>/dev/null | grep -qx "$win" ||
        break
      sleep 0.1
    done
  done
  sleep 0.2
done
wait "$pid"
status=$?
# Kept apart from xvfb-run's own status, which a failure of its clean-up replaces.
echo "$status" >"$work/status"
exit "$status"
