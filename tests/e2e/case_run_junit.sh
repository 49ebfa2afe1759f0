# serivane-run --junit read back by a JUnit parser (python3-junitparser) and held against the
# JSON report of the same run: a plug with a failing switch beside a passing one, a port that
# cannot be opened under a name of hostile bytes, a pseudo-terminal, and a run stopped by Ctrl+C.
# Whatever checks the run has, the reader expects a case for each of them.
source "$(dirname "$0")/lib.sh"
e2e_begin_headless

# The distribution's interpreter first: another python3 on the path may lack the package.
PYTHON=""
for candidate in /usr/bin/python3 python3; do
  if command -v "$candidate" >/dev/null && "$candidate" -c 'import junitparser' 2>/dev/null; then
    PYTHON=$candidate
    break
  fi
done
if [[ -z $PYTHON ]]; then
  # CI installs it (scripts/install-deps.sh): there a missing parser is a failure, not a skip.
  [[ -z ${CI:-} ]] || e2e_fail "python3-junitparser is not installed"
  echo "SKIP: python3-junitparser is not installed"
  exit $E2E_SKIP
fi

port_map 1 loopback
cd "$WORK"

# readback NAME: the JUnit file NAME.xml against NAME.json.
readback() {
  "$PYTHON" "$E2E_DIR/junit_readback.py" "$1.xml" "$1.json" >"$1.readback" 2>&1 ||
    { cat "$1.readback" >&2; e2e_fail "$1.xml does not agree with $1.json"; }
  cat "$1.readback"
}

# A failing switch beside a passing plug, three passes.
run_cli 60 --no-result-file --repeat 3 --json plug.json --junit plug.xml 'loopback?cts=off' loopback
expect_status 1
readback plug
grep -qF '<failure message="RTS/CTS handshake: RTS/CTS= on &lt;-- FAILED" type="failed">' plug.xml ||
  e2e_fail "no failure for the unwired CTS"
grep -qF 'CTS stuck off (the wire is missing or broken).' plug.xml || e2e_fail "no diagnosis"

# A port that cannot be opened, named with a control character and a byte that is not UTF-8.
hostile=$'/dev/no\x01such<&\xff'
run_cli 30 --no-result-file --tests 1,2 --json bad.json --junit bad.xml "$hostile" loopback
expect_status 3
readback bad
grep -qF '<error message="' bad.xml || e2e_fail "no error for the unopened port"

# A pseudo-terminal: passes the data tests, fails the handshakes it has no lines for.
start_pty_echo
run_cli 30 --no-result-file --tests 1,2,3,4 --json pty.json --junit pty.xml "$pty"
expect_status 1
readback pty

# Standard output: the lines go to standard error.
run_cli 30 --no-result-file --tests 2 --junit - loopback
expect_status 0
head -c 200 "$WORK/run.out" | grep -qF '<testsuites name="serivane-run"' || e2e_fail "no XML on standard output"
grep -qF 'Data Tx/Rx: 256 bytes send/received --- OK' "$WORK/run.err" || e2e_fail "no lines on standard error"

# Every check beyond the tests, passing on a fully wired plug and on a pseudo-terminal where it
# can, and failing on a plug whose switches break each of them: a case per check, its failure
# with its lines and diagnosis.
checks=(--plug full --break 50 --latency 20 --sweep=9600,115200 --soak 2s)
run_cli 60 --no-result-file --tests 2 "${checks[@]}" --json checks.json --junit checks.xml \
  'loopback?wiring=full'
expect_status 0
readback checks
for name in plug break latency sweep soak; do
  grep -q "classname=\"loopback.$name\"" checks.xml || e2e_fail "no case for the $name check"
done
run_cli 60 --no-result-file --tests 2 "${checks[@]}" --json broken.json --junit broken.xml \
  'loopback?wiring=full&ri=off&breaks=lost&delay=5&rate=115200:57600&drop=5000'
expect_status 1
readback broken
# The plug, break, sweep and soak fail; the round trips only show the echo's delay (a late
# echo fails them only past the test's time limit).
[[ $(grep -c '<failure ' broken.xml) -eq 4 ]] || e2e_fail "not every broken check failed"
"$PYTHON" -c '
import json, sys
checks = json.load(open(sys.argv[1]))["ports"][0]["checks"]
median = [f["median_us"] for f in checks if f["check"] == "latency"][0]
sys.exit(0 if median >= 5000 else 1)' broken.json || e2e_fail "the round trips do not show the delay"
run_cli 60 --no-result-file --tests 2 --latency 20 --sweep=9600 --soak 1s --json ptychecks.json \
  --junit ptychecks.xml "$pty"
expect_status 0
readback ptychecks

# Ctrl+C during an endless repeat: both reports are written, the run marked stopped.
"$SERIVANE_RUN" --repeat 0 --no-result-file --json stop.json --junit stop.xml loopback \
  >"$WORK/run.out" 2>&1 &
pid=$!
E2E_CHILDREN+=("$pid")
for _ in $(seq 200); do
  grep -q 'All test(s) passed' "$WORK/run.out" 2>/dev/null && break
  sleep 0.05
done
kill -INT "$pid"
STATUS=0
wait "$pid" || STATUS=$?
expect_status 130
readback stop
grep -qF '<property name="interrupted" value="true"/>' stop.xml || e2e_fail "stop.xml not marked stopped"
echo "PASS: the JUnit reports read back by junitparser agree with the JSON reports"
