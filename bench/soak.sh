#!/usr/bin/env bash
# Soak: the window program repeats test runs on the virtual loopback plug for a while under a
# virtual X server, and its resident memory and open descriptors are sampled every 10 seconds.
# Memory or descriptors that keep growing from pass to pass show a leak; a flat line does not.
# Takes minutes by design, so no test suite runs it.
#
#   bench/soak.sh [SECONDS]          (default 600)
#
# The programs come from SERIVANE_BIN and SERIVANE_REG (default: the ci build tree). Settings,
# home and results live in a temporary folder; the samples go to standard output and to
# samples.csv there, which is kept and named at the end.
set -euo pipefail

if [[ ${1:-} == --under-x ]]; then
  # Inside xvfb-run: start the program, tick the repeat box and press Run by their access keys,
  # then sample until the time is up.
  work=$2 duration=$3
  "$SERIVANE_BIN" >"$work/serivane.log" 2>&1 &
  pid=$!
  win=
  for _ in $(seq 100); do
    win=$(xdotool search --onlyvisible --name '^RS-232 Serivane$' 2>/dev/null | head -1) || true
    [[ -n $win ]] && break
    sleep 0.1
  done
  [[ -n $win ]] || { echo "the window did not show" >&2; kill "$pid"; exit 1; }
  sleep 1.5  # the first status tick opens the port
  # No window manager runs here, so the focus is set directly before the keys are typed.
  xdotool windowfocus --sync "$win"
  xdotool key --clearmodifiers alt+e
  sleep 0.3
  xdotool key --clearmodifiers alt+r
  echo "seconds,rss_kib,descriptors,passes" | tee "$work/samples.csv"
  start=$SECONDS
  while ((SECONDS - start <= duration)); do
    kill -0 "$pid" 2>/dev/null || { echo "the program ended by itself" >&2; exit 1; }
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
    fds=$(find "/proc/$pid/fd" -mindepth 1 -maxdepth 1 | wc -l)
    passes=$(grep -c 'All test(s) passed' "$work/result.txt" 2>/dev/null || true)
    echo "$((SECONDS - start)),$rss,$fds,${passes:-0}" | tee -a "$work/samples.csv"
    sleep 10
  done
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  exit 0
fi

duration=${1:-600}
root=$(cd "$(dirname "$0")/.." && pwd)
export SERIVANE_BIN=${SERIVANE_BIN:-$root/build/ci/app/serivane}
SERIVANE_REG=${SERIVANE_REG:-$root/build/ci/tools/reg/serivane-reg}
for tool in xvfb-run xdotool "$SERIVANE_BIN" "$SERIVANE_REG"; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

work=$(mktemp -d /tmp/serivane-soak.XXXXXX)
export XDG_CONFIG_HOME=$work/config HOME=$work/home XDG_RUNTIME_DIR=$work/run LC_ALL=C TZ=UTC
mkdir -p "$XDG_CONFIG_HOME" "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
"$SERIVANE_REG" add 'HKLM\Software\Balvoric\Serial Ports' /v COM1 /d loopback /f >/dev/null
"$SERIVANE_REG" add 'HKLM\Software\Balvoric\RS-232 Serivane' /v 'Result FileName' \
  /d "$work/result.txt" /f >/dev/null

xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" bash "$0" --under-x "$work" "$duration"

awk -F, 'NR == 2 {first_rss = $2; first_fds = $3}
         NR > 1 {if ($2 > max_rss) max_rss = $2; if ($3 > max_fds) max_fds = $3; last = $0}
         END {split(last, l, ",");
              printf "RSS KiB first %d last %d max %d; descriptors first %d last %d max %d; " \
                     "passes %d in %d s\n", first_rss, l[2], max_rss, first_fds, l[3], max_fds,
                     l[4], l[1]}' "$work/samples.csv"
echo "samples: $work/samples.csv"
