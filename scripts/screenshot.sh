#!/usr/bin/env bash
# Takes a picture of the window after a passed run on the built-in virtual loopback plug, under a
# virtual X server, for the README.
#
#   scripts/screenshot.sh [OUTPUT.png]        (default: docs/screenshot.png)
#
# The programs come from SERIVANE_BIN and SERIVANE_REG, else from build/release, else from PATH.
# The run uses settings of its own in a temporary folder: the caller's settings are not touched.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [[ ${1:-} == --under-x ]]; then
  # Second half, inside xvfb-run: start the program, wait for its run to pass, take the picture.
  out=$2
  "$SERIVANE_BIN" >"$SHOT_WORK/serivane.log" 2>&1 &
  pid=$!
  for _ in $(seq 600); do
    grep -q '^+All test(s) passed' "$SHOT_WORK/result.txt" 2>/dev/null && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -q '^+All test(s) passed' "$SHOT_WORK/result.txt" 2>/dev/null; then
    echo "screenshot: the run did not pass; the program said:" >&2
    cat "$SHOT_WORK/serivane.log" >&2
    kill "$pid" 2>/dev/null || true
    exit 1
  fi
  sleep 1 # let the window paint its last lines
  win=$(xdotool search --onlyvisible --name '^RS-232 Serivane$' | head -n1)
  import -window "$win" "png:$out"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  exit 0
fi

out=$(realpath -m "${1:-$root/docs/screenshot.png}")
pick() { # pick NAME CANDIDATE...: the first executable candidate, else NAME on PATH
  local name=$1 c
  shift
  for c in "$@"; do
    [[ -n $c && -x $c ]] && {
      echo "$c"
      return
    }
  done
  command -v "$name" || true
}
SERIVANE_BIN=$(pick serivane "${SERIVANE_BIN:-}" "$root/build/release/app/serivane")
SERIVANE_REG=$(pick serivane-reg "${SERIVANE_REG:-}" "$root/build/release/tools/reg/serivane-reg")
for tool in "$SERIVANE_BIN" "$SERIVANE_REG" xvfb-run xdotool import; do
  command -v "$tool" >/dev/null || {
    echo "screenshot: '$tool' not found (build the release preset, or set SERIVANE_BIN/SERIVANE_REG)" >&2
    exit 1
  }
done

SHOT_WORK=$(mktemp -d /tmp/serivane-shot.XXXXXX)
trap 'rm -rf "$SHOT_WORK"' EXIT
export SHOT_WORK SERIVANE_BIN
export XDG_CONFIG_HOME=$SHOT_WORK/config HOME=$SHOT_WORK/home XDG_RUNTIME_DIR=$SHOT_WORK/run
mkdir -p "$XDG_CONFIG_HOME" "$HOME" "$XDG_RUNTIME_DIR" "$(dirname "$out")"
chmod 700 "$XDG_RUNTIME_DIR"

settings='HKLM\Software\Balvoric\RS-232 Serivane'
"$SERIVANE_REG" add 'HKLM\Software\Balvoric\Serial Ports' /v COM1 /d loopback /f >/dev/null
"$SERIVANE_REG" add "$settings" /v "Run at Startup" /d True /f >/dev/null
"$SERIVANE_REG" add "$settings" /v "Result FileName" /d "$SHOT_WORK/result.txt" /f >/dev/null

timeout 120 xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
  bash "$0" --under-x "$out"
echo "screenshot: $out"
