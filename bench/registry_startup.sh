#!/usr/bin/env bash
# Start-up against a large registry: serivane-run and the window program from start to exit
# with a 12 MiB hive (within the 16 MiB limit), this build against an earlier one, in the same
# run. The earlier build is BEFORE_BUILD; without it, main is checked out into a temporary
# worktree and its programs are built there.
#
#   bench/registry_startup.sh [BUILD_DIR]      (default: build/bench, made by the bench preset)
#   BEFORE_BUILD=/path/to/old/build bench/registry_startup.sh
#
# serivane-run: one Open/Close test on the virtual plug, no result file. The window: "Run at
# Startup" and "Close When Finish" with no test ticked, under a virtual X server: up to the end
# of its run (the result file's last write) and up to its exit, which saves the settings into
# the large hive. Median of RUNS.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build/bench}" && pwd)
RUNS=${RUNS:-5}
HIVE_MIB=${HIVE_MIB:-12}

work=$(mktemp -d /tmp/serivane-regbench.XXXXXX)
cleanup() {
  if [[ -n ${worktree:-} ]]; then git -C "$here/.." worktree remove --force "$worktree" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

before=${BEFORE_BUILD:-}
if [[ -z $before ]]; then
  worktree=$work/before-src
  git -C "$here/.." worktree add --detach "$worktree" main >/dev/null
  cmake -S "$worktree" -B "$work/before" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
    -DSERIVANE_BUILD_TESTS=OFF >/dev/null
  nice cmake --build "$work/before" --target serivane serivane-run serivane-reg >/dev/null
  before=$work/before
fi
before=$(cd "$before" && pwd)

for dir in "$build" "$before"; do
  for program in app/serivane tools/run/serivane-run tools/reg/serivane-reg; do
    [[ -x $dir/$program ]] || { echo "missing $dir/$program" >&2; exit 1; }
  done
done

export XDG_CONFIG_HOME=$work/config HOME=$work/home XDG_RUNTIME_DIR=$work/run LC_ALL=C
mkdir -p "$XDG_CONFIG_HOME" "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
reg=$build/tools/reg/serivane-reg
settings_key='HKLM\Software\Balvoric\RS-232 Serivane'

# The program's own keys, then other programs' keys until the hive is HIVE_MIB MiB.
"$reg" add 'HKLM\Software\Balvoric\Serial Ports' /v COM1 /d loopback /f >/dev/null
for pair in "Run at Startup:True" "Close When Finish:True" "Result FileName:$work/result.txt" \
  "Test 1:False" "Test 2:False" "Test 3:False" "Test 4:False" "Test 5:False"; do
  "$reg" add "$settings_key" /v "${pair%%:*}" /d "${pair#*:}" /f >/dev/null
done
hive=$XDG_CONFIG_HOME/serivane/registry/HKEY_LOCAL_MACHINE.reg
python3 - "$hive" "$HIVE_MIB" <<'PY'
import sys
path, mib = sys.argv[1], int(sys.argv[2])
text = open(path).read()
parts, size, n = [text], len(text), 0
while size < mib * 1024 * 1024 - 400:
    vendor, product = n // 1000, n % 1000
    key = f'\n[HKEY_LOCAL_MACHINE\\Software\\Vendor{vendor}\\Product{product}]\n'
    key += f'"Path"="C:\\\\Program Files\\\\Vendor{vendor}\\\\Product{product}"\n'
    key += f'"Version"="{vendor}.{product}.{n}"\n"Installed"="True"\n'
    parts.append(key)
    size += len(key)
    n += 1
open(path, 'w').write(''.join(parts))
PY
hive_bytes=$(stat -c %s "$hive")

now_ns() { date +%s%N; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
# Milliseconds from start to exit of "$@", median of RUNS. With RUN_OVER_LOG set, the
# milliseconds from start to the result file's last write (the start-up run over, before the
# exit saves the settings) go there too.
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
  done | median | awk '{printf "%.0f", $1 / 1000}'
}
median_ms() { median <"$1" | awk '{printf "%.0f", $1 / 1000}'; }
run_cli() { "$1/tools/run/serivane-run" --tests 1 --no-result-file; }
run_window() {
  xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "$1/app/serivane"
}

cli_before=$(start_to_exit_ms run_cli "$before")
cli_after=$(start_to_exit_ms run_cli "$build")
window_before=- window_after=- over_before=- over_after=-
if command -v xvfb-run >/dev/null; then
  window_before=$(RUN_OVER_LOG=$work/over_before.txt start_to_exit_ms run_window "$before")
  window_after=$(RUN_OVER_LOG=$work/over_after.txt start_to_exit_ms run_window "$build")
  over_before=$(median_ms "$work/over_before.txt")
  over_after=$(median_ms "$work/over_after.txt")
fi

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b > 0) printf "%.1fx", a / b; else print "-"}'; }
printf 'hive: %d bytes; median of %d starts\n' "$hive_bytes" "$RUNS"
printf '%-46s %10s %10s %8s\n' "case" "before" "after" "speed-up"
printf '%-46s %8sms %8sms %8s\n' "serivane-run --tests 1: start to exit" "$cli_before" \
  "$cli_after" "$(ratio "$cli_before" "$cli_after")"
printf '%-46s %8sms %8sms %8s\n' "window, unattended, no test: start to run over" "$over_before" \
  "$over_after" "$(ratio "$over_before" "$over_after")"
printf '%-46s %8sms %8sms %8s\n' "  the same, start to exit (the exit saves)" "$window_before" \
  "$window_after" "$(ratio "$window_before" "$window_after")"
