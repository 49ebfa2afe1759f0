# serivane-run and serivane-reg export against targets a script or another user can set up, and
# against interruptions: each row gives the exit status, the message, and the state of every
# file afterwards. Nothing that is not the programs' own is overwritten, nothing is emptied,
# nothing hangs, and no lock is left behind. The rows are printed as a table at the end.
source "$(dirname "$0")/lib.sh"
e2e_begin_headless

port_map 1 loopback
readonly LOCKS=/run/lock
TABLE=()

# row NAME STATUS MESSAGE FILES: checks the last run's status and that MESSAGE is on its standard
# error ("" for nothing at all), and adds the row; FILES says what the checks after it show.
row() {
  [[ $STATUS == "$2" ]] || { cat "$WORK/run.err" >&2; e2e_fail "$1: status $STATUS, not $2"; }
  if [[ -z $3 ]]; then
    [[ ! -s $WORK/run.err ]] || { cat "$WORK/run.err" >&2; e2e_fail "$1: standard error not empty"; }
  else
    grep -qF -- "$3" "$WORK/run.err" || { cat "$WORK/run.err" >&2; e2e_fail "$1: no '$3'"; }
  fi
  TABLE+=("$(printf '%-34s | %3s | %-58.58s | %s' "$1" "$STATUS" "${3:-(none)}" "$4")")
}

# same FILE TEXT: FILE is a regular file holding exactly TEXT.
same() {
  [[ -f $1 && ! -L $1 && $(cat "$1") == "$2" ]] || e2e_fail "$1 changed"
}

# no_leftovers FOLDER: no temporary file of a replacement stands in FOLDER.
no_leftovers() {
  ! compgen -G "$1/.*.new" >/dev/null || e2e_fail "a temporary file was left in $1: $(ls -a "$1")"
}

reg() {
  STATUS=0
  timeout -k 5 20 "$SERIVANE_REG" "$@" >"$WORK/run.out" 2>"$WORK/run.err" || STATUS=$?
}

cd "$WORK"
echo victim >victim.txt
echo "alias ls='rm -rf ~'" >bashrc
mkdir folder shared && chmod 1777 shared
mkfifo fifo
ln -s ../victim.txt shared/planted
ln -s bashrc own-link
plant_owner=""
if [[ $(id -u) == 0 ]]; then
  chown -h 12345:12345 shared/planted
  plant_owner=yes
fi

# Links.
if [[ -n $plant_owner ]]; then
  run_cli 20 --tests 1 --json shared/planted
  row "--json: another user's link" 3 "is a link that another user put in the shared folder" \
    "victim.txt unchanged"
  same victim.txt victim
  run_cli 20 --tests 1 --result shared/planted
  row "--result: another user's link" 3 "is a link that another user put in the shared folder" \
    "victim.txt unchanged"
  same victim.txt victim
  reg export 'HKLM\Software' shared/planted /y
  row "export: another user's link" 1 "is a link that another user put in the shared folder" \
    "victim.txt unchanged"
  same victim.txt victim
fi
run_cli 20 --tests 1 --json own-link
row "--json: own link to another file" 3 "it is not a file this program wrote" "bashrc unchanged"
same bashrc "alias ls='rm -rf ~'"
run_cli 20 --tests 1 --result own-link
row "--result: own link to another file" 3 "not a result file of this program" "bashrc unchanged"
same bashrc "alias ls='rm -rf ~'"

# What is not a regular file is refused before any open: nothing waits on the pipe.
run_cli 20 --tests 1 --json fifo
row "--json: FIFO" 3 "it is not a regular file" "fifo still a FIFO, no wait"
run_cli 20 --tests 1 --result fifo
row "--result: FIFO" 3 "it is not a regular file" "fifo still a FIFO, no wait"
reg export 'HKLM\Software' fifo /y
row "export: FIFO" 1 "it is not a regular file" "fifo still a FIFO, no wait"
[[ -p fifo ]] || e2e_fail "the FIFO was replaced"
run_cli 20 --tests 1 --json /dev/full
row "--json: device (/dev/full)" 3 "it is not a regular file" "nothing opened"
run_cli 20 --tests 1 --result /dev/null
row "--result: device (/dev/null)" 3 "it is not a regular file" "nothing opened"
run_cli 20 --tests 1 --json folder
row "--json: folder" 3 "it is not a regular file" "folder empty"
[[ -z $(ls -A folder) ]] || e2e_fail "something was written into the folder"

# Standard output that takes nothing, and a result file that stops taking lines mid-run.
STATUS=0
timeout 20 "$SERIVANE_RUN" --tests 1 --json - --no-result-file >/dev/full 2>"$WORK/run.err" || STATUS=$?
row "--json -: standard output full" 3 "cannot write the report to standard output" "-"
STATUS=0
timeout 20 "$SERIVANE_RUN" --tests 1 --json - --no-result-file >&- 2>"$WORK/run.err" || STATUS=$?
row "--json -: standard output closed" 3 "cannot write the report to standard output" "-"
# The limit holds for every file the program writes: its output goes through a pipe.
STATUS=0
(trap '' XFSZ; ulimit -f 0; exec timeout 20 "$SERIVANE_RUN" --tests 1,2 --result full.txt) 2>&1 |
  cat >"$WORK/run.err" || STATUS=$?
row "--result: disk full during the run" 3 "Result file error: cannot write" "full.txt empty"
[[ ! -s full.txt ]] || e2e_fail "full.txt holds something"
rm -f "$HOME/RS-232_Result.Txt"
run_cli 20 --tests 1 --no-result-file
row "--no-result-file" 0 "" "no file written"
[[ ! -e $HOME/RS-232_Result.Txt ]] || e2e_fail "--no-result-file wrote the stored result file"

# The registry's own files.
"$SERIVANE_REG" add 'HKCU\Software\Mine' /v kept /d yes /f >/dev/null
hive=$XDG_CONFIG_HOME/serivane/registry/HKEY_LOCAL_MACHINE.reg
user_hive=$XDG_CONFIG_HOME/serivane/registry/HKEY_CURRENT_USER.reg
hive_before=$(cat "$hive")
user_before=$(cat "$user_hive")
reg export 'HKLM\Software\Balvoric' "$hive" /y
row "export: the live HKLM hive" 1 "one of the registry's own files" "hive unchanged"
reg export 'HKLM\Software\Balvoric' "$user_hive" /y
row "export: the live HKCU hive" 1 "one of the registry's own files" "HKCU hive unchanged"
same "$hive" "$hive_before"
same "$user_hive" "$user_before"

# A report replaced whole: an earlier report is kept until the new one is complete, so a run
# killed at any point leaves it as it was.
run_cli 20 --tests 1 --json report.json --no-result-file
row "--json: new file" 0 "" "report.json written"
earlier=$(cat report.json)
"$SERIVANE_RUN" --repeat 0 --json report.json --result killed.txt >/dev/null 2>&1 &
pid=$!
E2E_CHILDREN+=("$pid")
for _ in $(seq 200); do
  grep -q 'Loop 2)' killed.txt 2>/dev/null && break
  sleep 0.02
done
kill -KILL "$pid"
STATUS=0
wait "$pid" 2>/dev/null || STATUS=$?
: >"$WORK/run.err"
row "--json: SIGKILL during the run" 137 "" "report.json the earlier report"
same report.json "$earlier"
no_leftovers .

# SIGTERM while a test waits for an echo that never comes: the run ends within a second, the
# result file and the report are complete and say the run was stopped.
"$SERIVANE_RUN" --tests 2,3 --timeout 10000 --json term.json --result term.txt \
  'loopback?echo=off' >"$WORK/run.out" 2>"$WORK/run.err" &
pid=$!
E2E_CHILDREN+=("$pid")
for _ in $(seq 200); do
  grep -q 'Test started' term.txt 2>/dev/null && break
  sleep 0.02
done
sleep 0.2
start=$(date +%s%N)
kill -TERM "$pid"
STATUS=0
wait "$pid" || STATUS=$?
took=$((($(date +%s%N) - start) / 1000000))
# The running test is cut half a second after the signal; the margin is for a busy machine (the
# echo wait alone would last ten seconds).
((took < 2000)) || e2e_fail "SIGTERM took $took ms to end the run"
: >"$WORK/run.err"
row "SIGTERM during a test" 143 "" "report interrupted, file complete (${took} ms)"
grep -qF '"interrupted": true' term.json || e2e_fail "the report is not marked interrupted"
grep -qF $' Error: the run was stopped\r' term.txt || e2e_fail "the result file does not say why"
grep -qE $'^-Pass interrupted: not every selected test ran .*\r$' term.txt ||
  e2e_fail "the result file does not end the cut pass as interrupted"

# Two quick Ctrl+C on eight terminals: every lock released, the report written.
ptys=()
for i in 1 2 3 4 5 6 7 8; do
  "$SERIVANE_PTY_ECHO" --exit-after 60 >"pty$i.path" &
  E2E_CHILDREN+=($!)
done
for i in 1 2 3 4 5 6 7 8; do
  for _ in $(seq 100); do [[ -s pty$i.path ]] && break; sleep 0.02; done
  ptys+=("$(head -n1 "pty$i.path")")
done
locks=()
for p in "${ptys[@]}"; do
  name=${p#/dev/}
  locks+=("$LOCKS/LCK..${name//\//_}")
done
"$SERIVANE_RUN" --repeat 0 --tests 1,2,3 --json ctrlc.json --no-result-file "${ptys[@]}" \
  >"$WORK/run.out" 2>&1 &
pid=$!
E2E_CHILDREN+=("$pid")
for _ in $(seq 200); do
  [[ -e ${locks[7]} ]] && break
  sleep 0.02
done
sleep 0.2
# The second may find the program already gone, or come before the first was taken.
kill -INT "$pid"
sleep 0.005
kill -INT "$pid" 2>/dev/null || true
STATUS=0
wait "$pid" || STATUS=$?
: >"$WORK/run.err"
row "two Ctrl+C, eight terminals" 130 "" "no lock left, report interrupted"
for lock in "${locks[@]}"; do
  [[ ! -e $lock ]] || e2e_fail "$lock was left behind"
done
grep -qF '"interrupted": true' ctrlc.json || e2e_fail "the report is not marked interrupted"

# A port whose name holds backslashes and dots: its result file stays in the folder asked for.
mkdir -p sub out
ln -s "${ptys[0]}" 'sub/p\..\..\..\escaped'
run_cli 30 --tests 2 --result out/r.txt "$WORK/sub/p\\..\\..\\..\\escaped" loopback
row "port named p\\..\\..\\..\\escaped" 0 "" "out/r-p_.._.._.._escaped.txt"
[[ -f 'out/r-p_.._.._.._escaped.txt' && -f out/r-loopback.txt ]] ||
  e2e_fail "the result files are not where they were asked for: $(ls out)"
[[ -z $(find "$WORK" /tmp -maxdepth 2 -name 'escaped*' 2>/dev/null) ]] ||
  e2e_fail "a file escaped the folder"
expect_in "$WORK/run.out" \
  "p_.._.._.._escaped ($WORK/sub/p\\..\\..\\..\\escaped): all tests passed, 1 pass, results in out/r-p_.._.._.._escaped.txt"

printf '%-34s | %3s | %-58s | %s\n' "case" "st" "message" "files afterwards"
printf '%s\n' "${TABLE[@]}"
echo "PASS: hostile targets and interruptions: nothing overwritten, emptied, hung or left locked"
