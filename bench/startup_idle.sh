#!/usr/bin/env bash
# The window program from start to exit and at rest, against a plain window of the same kind
# (bench/window_only) measured in the same run, under a virtual X server.
#
#   bench/startup_idle.sh [BUILD_DIR]        (default: build/bench, made by the bench preset)
#
# Start to exit: an unattended run with no test ticked ("Run at Startup" and "Close When
# Finish" on), median of RUNS starts, against window_only showing its window and quitting; also
# the part up to the end of the run (the result file's last write), before the exit saves the
# settings.
# At rest: the port open on the virtual plug and on a pseudo-terminal whose far end echoes;
# wake-ups are the context switches of all the program's threads over IDLE_S seconds, CPU is
# their run time, and the poll calls are counted by strace where it may attach.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build/bench}" && pwd)
RUNS=${RUNS:-10}
IDLE_S=${IDLE_S:-10}

if [[ -z ${DISPLAY:-} ]]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "$0" "$build"
fi

serivane=$build/app/serivane
reg=$build/tools/reg/serivane-reg
window_only=$build/bench/window_only
for program in "$serivane" "$reg" "$window_only"; do
  [[ -x $program ]] || { echo "missing $program (build the bench preset first)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/serivane-bench.XXXXXX)
children=()
cleanup() {
  local pid
  for pid in "${children[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME=$work/config HOME=$work/home XDG_RUNTIME_DIR=$work/run LC_ALL=C
mkdir -p "$XDG_CONFIG_HOME" "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

settings_key='HKLM\Software\Balvoric\RS-232 Serivane'
ports_key='HKLM\Software\Balvoric\Serial Ports'
setting() { "$reg" add "$settings_key" /v "$1" /d "$2" /f >/dev/null; }
map_com1() { "$reg" add "$ports_key" /v COM1 /d "$1" /f >/dev/null; }

now_ns() { date +%s%N; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# Milliseconds from start to exit of "$@", median of RUNS. With RUN_OVER_LOG set, the
# milliseconds from start to the result file's last write go there too.
start_to_exit_ms() {
  local i t0 t1
  for ((i = 0; i < RUNS; i++)); do
    rm -f "$work/result.txt"
    t0=$(now_ns)
    "$@" >/dev/null 2>&1 || { echo "$* failed" >&2; exit 1; }
    t1=$(now_ns)
    if [[ -n ${RUN_OVER_LOG:-} ]]; then
      echo $((($(stat -c %.9Y "$work/result.txt" | tr -d .) - t0) / 1000)) >>"$RUN_OVER_LOG"
    fi
    echo $(((t1 - t0) / 1000))
  done | median | awk '{printf "%.1f", $1 / 1000}'
}

# Context switches and CPU nanoseconds summed over the threads of process $1.
switches() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches/ {n += $2} END {print n}'; }
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{n += $1} END {print n}'; }

# "wake-ups/s CPU-ms/min polls/s" of process $1 over IDLE_S seconds, after it has settled.
idle_probe() {
  local pid=$1 s0 c0 s1 c1 polls
  sleep 2
  s0=$(switches "$pid") c0=$(cpu_ns "$pid")
  sleep "$IDLE_S"
  s1=$(switches "$pid") c1=$(cpu_ns "$pid")
  polls=-
  if command -v strace >/dev/null && timeout -s INT "$IDLE_S" strace -f -c -qq -e trace=poll,ppoll,epoll_wait,select,pselect6 \
    -p "$pid" -o "$work/strace.txt" 2>/dev/null || [[ -e $work/strace.txt ]]; then
    polls=$(awk '$NF ~ /^(poll|ppoll|epoll_wait|select|pselect6)$/ {n += $4} END {print n + 0}' \
      "$work/strace.txt")
    polls=$(awk -v n="$polls" -v s="$IDLE_S" 'BEGIN {printf "%.1f", n / s}')
  fi
  awk -v ds=$((s1 - s0)) -v dc=$((c1 - c0)) -v s="$IDLE_S" -v p="$polls" \
    'BEGIN {printf "%.1f %.1f %s", ds / s, dc / 1e6 / s * 60, p}'
}

# Starts "$@" in the background and prints its idle figures.
idle_of() {
  "$@" >/dev/null 2>&1 &
  local pid=$!
  children+=("$pid")
  idle_probe "$pid"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# --- start to exit --------------------------------------------------------------------------
map_com1 loopback
setting "Run at Startup" True
setting "Close When Finish" True
setting "Result FileName" "$work/result.txt"
for n in 1 2 3 4 5; do setting "Test $n" False; done
base_ms=$(start_to_exit_ms "$window_only")
run_ms=$(RUN_OVER_LOG=$work/run_over.txt start_to_exit_ms "$serivane")
run_over_ms=$(median <"$work/run_over.txt" | awk '{printf "%.1f", $1 / 1000}')

# --- at rest --------------------------------------------------------------------------------
setting "Run at Startup" False
setting "Close When Finish" False
read -r base_wake base_cpu base_poll <<<"$(idle_of "$window_only" --stay)"
read -r plug_wake plug_cpu plug_poll <<<"$(idle_of "$serivane")"

python3 - "$work/pty.path" <<'PY' &
# The far end of a pseudo-terminal: writes back all it reads.
import os, pty, select, sys, tty
master, slave = pty.openpty()
tty.setraw(slave)
with open(sys.argv[1], "w") as f:
    f.write(os.ttyname(slave) + "\n")
while True:
    select.select([master], [], [])
    os.write(master, os.read(master, 4096))
PY
children+=($!)
for _ in $(seq 100); do [[ -s $work/pty.path ]] && break; sleep 0.05; done
map_com1 "$(head -n1 "$work/pty.path")"
read -r pty_wake pty_cpu pty_poll <<<"$(idle_of "$serivane")"

# --- report ---------------------------------------------------------------------------------
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b > 0) printf "%.2fx", a / b; else print "-"}'; }
printf '%-44s %10s %10s %8s\n' "case" "serivane" "window" "ratio"
printf '%-44s %8sms %8sms %8s\n' "unattended run, no test: start to exit" "$run_ms" "$base_ms" \
  "$(ratio "$run_ms" "$base_ms")"
printf '%-44s %8sms %8sms %8s\n' "  of which start to end of run (before exit)" "$run_over_ms" \
  "$base_ms" "$(ratio "$run_over_ms" "$base_ms")"
printf '%-44s %10s %10s %8s\n' "idle, plug: wake-ups/s" "$plug_wake" "$base_wake" \
  "$(ratio "$plug_wake" "$base_wake")"
printf '%-44s %10s %10s %8s\n' "idle, plug: CPU ms/min" "$plug_cpu" "$base_cpu" \
  "$(ratio "$plug_cpu" "$base_cpu")"
printf '%-44s %10s %10s %8s\n' "idle, plug: poll calls/s (strace)" "$plug_poll" "$base_poll" \
  "$(ratio "$plug_poll" "$base_poll")"
printf '%-44s %10s %10s %8s\n' "idle, pseudo-terminal: wake-ups/s" "$pty_wake" "$base_wake" \
  "$(ratio "$pty_wake" "$base_wake")"
printf '%-44s %10s %10s %8s\n' "idle, pseudo-terminal: CPU ms/min" "$pty_cpu" "$base_cpu" \
  "$(ratio "$pty_cpu" "$base_cpu")"
printf '%-44s %10s %10s %8s\n' "idle, pseudo-terminal: poll calls/s (strace)" "$pty_poll" \
  "$base_poll" "$(ratio "$pty_poll" "$base_poll")"
