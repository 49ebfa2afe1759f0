# Shared steps of the end-to-end cases; sourced by each case_*.sh.
#
# The programs come from the environment so that the same cases run against a build tree (CTest
# sets these) or an installed package:
#   SERIVANE_BIN       the window program          (default: serivane on PATH)
#   SERIVANE_REG       the registry editor         (default: serivane-reg on PATH)
#   SERIVANE_PTY_ECHO  the pseudo-terminal echo    (only the pseudo-terminal case needs it)
# Every case runs with its own settings folder and home in a fresh temporary folder, so no
# case ever sees the registry of the person who runs it, nor the port map of this machine.
set -euo pipefail

E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SERIVANE_BIN=${SERIVANE_BIN:-$(command -v serivane || true)}
SERIVANE_REG=${SERIVANE_REG:-$(command -v serivane-reg || true)}

readonly SETTINGS_KEY='HKLM\Software\Balvoric\RS-232 Serivane'
readonly PORTS_KEY='HKLM\Software\Balvoric\Serial Ports'
# The skip code CTest is told about (SKIP_RETURN_CODE).
readonly E2E_SKIP=77

e2e_fail() {
  echo "FAIL: $*" >&2
  if [[ -n ${WORK:-} && -s $WORK/serivane.log ]]; then
    echo "--- the program's own output:" >&2
    cat "$WORK/serivane.log" >&2
  fi
  exit 1
}

e2e_cleanup() {
  local pid
  for pid in "${E2E_CHILDREN[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  if [[ -n ${WORK:-} && -z ${E2E_KEEP:-} ]]; then
    rm -rf "$WORK"
  fi
}

# Checks the tools, makes the temporary world of one case and points the program at it.
e2e_begin() {
  local tool
  for tool in xvfb-run xdotool timeout; do
    if ! command -v "$tool" >/dev/null; then
      echo "SKIP: $tool is not installed"
      exit $E2E_SKIP
    fi
  done
  [[ -x $SERIVANE_BIN ]] || e2e_fail "no window program (SERIVANE_BIN='$SERIVANE_BIN')"
  e2e_world
}

# The same for a case that needs no display (serivane-run).
e2e_begin_headless() {
  command -v timeout >/dev/null || {
    echo "SKIP: timeout is not installed"
    exit $E2E_SKIP
  }
  e2e_world
}

e2e_world() {
  [[ -x $SERIVANE_REG ]] || e2e_fail "no registry editor (SERIVANE_REG='$SERIVANE_REG')"

  WORK=$(mktemp -d /tmp/serivane-e2e.XXXXXX)
  E2E_CHILDREN=()
  trap e2e_cleanup EXIT
  export XDG_CONFIG_HOME=$WORK/config HOME=$WORK/home XDG_RUNTIME_DIR=$WORK/run
  mkdir -p "$XDG_CONFIG_HOME" "$HOME" "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
  # Fixed locale and zone: the date-time text then has one known form to mask.
  export LC_ALL=C TZ=UTC
  unset LANG LANGUAGE
}

# reg_setting NAME DATA [NAME DATA ...]: stores settings as the program's own exit would.
reg_setting() {
  while (($# >= 2)); do
    "$SERIVANE_REG" add "$SETTINGS_KEY" /v "$1" /d "$2" /f >/dev/null ||
      e2e_fail "serivane-reg could not store '$1'"
    shift 2
  done
}

# port_map N TARGET: maps ComN to a device path or to the virtual plug.
port_map() {
  "$SERIVANE_REG" add "$PORTS_KEY" /v "COM$1" /d "$2" /f >/dev/null ||
    e2e_fail "serivane-reg could not map COM$1"
}

# The settings every case shares: run at once, end by itself, results to $WORK.
seed_unattended_run() {
  reg_setting "Run at Startup" True "Close When Finish" True "Result FileName" "$1"
}

# start_pty_echo [OPTION ...]: starts a pseudo-terminal whose far end echoes all it reads (for at
# most 120 s; OPTIONs such as --delay and --drop go to the echo program) and sets `pty` to its
# path.
start_pty_echo() {
  [[ -x ${SERIVANE_PTY_ECHO:-} ]] || e2e_fail "no echo program (SERIVANE_PTY_ECHO)"
  # A file of its own for each echo program: a second one in the same case must not be read
  # before it has written its terminal's name.
  local path_file
  path_file=$(mktemp "$WORK/pty.XXXXXX")
  # The far end stands for hardware, which keeps its pace whatever this machine is doing: where
  # it may, it runs at a real-time priority, so that a busy machine does not stall its sending.
  local pace=()
  if [[ $(id -u) == 0 ]] && command -v chrt >/dev/null && chrt -f 5 true 2>/dev/null; then
    pace=(chrt -f 5)
  fi
  "${pace[@]}" "$SERIVANE_PTY_ECHO" --exit-after 120 "$@" >"$path_file" &
  E2E_CHILDREN+=($!)
  for _ in $(seq 100); do
    [[ -s $path_file ]] && break
    sleep 0.05
  done
  pty=$(head -n1 "$path_file")
  [[ -c $pty ]] || e2e_fail "the echo program gave no terminal (got '$pty')"
}

# drive_path PATH: the same absolute path written with the Z: drive and backslashes.
drive_path() {
  local p=$1
  echo "Z:${p//\//\\}"
}

# run_window LIMIT_S [KEY ...]: runs the window program under a virtual X server until it ends
# by itself; every failure box that appears is answered with the next KEY (Return for OK,
# Escape for Cancel). Sets STATUS to the program's exit status (124: it did not end within
# LIMIT_S seconds) and ANSWERS to the number of failure boxes answered.
run_window() {
  local limit=$1
  shift
  local attempt
  for attempt in 1 2 3; do
    STATUS=0
    rm -f "$WORK/status"
    # The outer limit only guards against a virtual X server that never comes up.
    timeout -k 5 $((limit + 30)) \
      xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
      bash "$E2E_DIR/under_x.sh" "$WORK" "$limit" "$SERIVANE_BIN" "$@" || STATUS=$?
    [[ -s $WORK/status ]] && STATUS=$(<"$WORK/status")
    # xvfb-run -a picks its display by a look at the lock files, which another X server starting
    # at the same moment can beat; the program then never got a display and is started again.
    grep -q 'could not connect to display' "$WORK/serivane.log" 2>/dev/null || break
    echo "the virtual X server was not there (attempt $attempt); starting again" >&2
  done
  ANSWERS=$(wc -l <"$WORK/answers.log" 2>/dev/null || true)
  ANSWERS=${ANSWERS:-0}
}

expect_status() {
  [[ $STATUS == "$1" ]] || e2e_fail "exit status $STATUS, expected $1$( ((STATUS == 124)) &&
    echo ' (the program did not end by itself)')"
}

expect_answers() {
  [[ $ANSWERS == "$1" ]] || {
    cat "$WORK/answers.log" >&2 2>/dev/null || true
    e2e_fail "$ANSWERS failure box(es) answered, expected $1"
  }
}

# mask_result FILE: the result file with the texts that change from run to run replaced: the
# date-time (C locale form) and the measured milliseconds. Line ends are kept as they are.
mask_result() {
  sed -E \
    -e 's#[0-9]{2}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}#<date-time>#g' \
    -e 's#\(Duration: [0-9]+ms#(Duration: <ms>ms#' \
    -e 's#(Single bytes send/received --- OK  )\([0-9]+ms\)#\1(<ms>ms)#' \
    "$1"
}

# expect_result FILE EXPECTED: FILE, masked, must equal EXPECTED (written with LF line ends,
# compared with CR LF) byte for byte.
expect_result() {
  local actual=$1 expected=$2
  [[ -f $actual ]] || e2e_fail "no result file at $actual"
  mask_result "$actual" >"$WORK/result.masked"
  sed 's/$/\r/' "$expected" >"$WORK/result.expected"
  if ! cmp -s "$WORK/result.masked" "$WORK/result.expected"; then
    echo "--- expected (masked, CR shown as ^M):" >&2
    cat -A "$WORK/result.expected" >&2
    echo "--- got:" >&2
    cat -A "$WORK/result.masked" >&2
    e2e_fail "result file differs from $(basename "$expected")"
  fi
}

# run_cli LIMIT_S [ARG ...]: runs serivane-run (SERIVANE_RUN) with ARGs, standard output to
# $WORK/run.out and standard error to $WORK/run.err. Sets STATUS (124: it did not end in time).
run_cli() {
  local limit=$1
  shift
  [[ -x ${SERIVANE_RUN:-} ]] || e2e_fail "no serivane-run (SERIVANE_RUN='${SERIVANE_RUN:-}')"
  STATUS=0
  timeout -k 5 "$limit" "$SERIVANE_RUN" "$@" >"$WORK/run.out" 2>"$WORK/run.err" || STATUS=$?
}

# expect_in FILE TEXT: FILE holds the line TEXT (fixed string).
expect_in() {
  grep -qxF -- "$2" "$1" || {
    cat "$1" >&2
    e2e_fail "$(basename "$1") lacks the line '$2'"
  }
}

# For drivers (E2E_DRIVER, run under the virtual X server): the main window's id once it is on
# screen, waiting at most 10 s; empty when it never showed.
main_window() {
  local win
  for _ in $(seq 200); do
    win=$(xdotool search --onlyvisible --name '^RS-232 Serivane$' 2>/dev/null | head -n1) || true
    [[ -n $win ]] && {
      echo "$win"
      return
    }
    sleep 0.05
  done
}

# stored NAME: the stored setting's text, or nothing when it is not stored.
stored() {
  "$SERIVANE_REG" query "$SETTINGS_KEY" /v "$1" 2>/dev/null |
    sed -nE "s/^ *$1 +REG_SZ +(.*)\r?$/\1/p"
}
