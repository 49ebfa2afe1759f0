#!/usr/bin/env bash
# Measures the test suite by planted faults: plants each one-line fault of a list in turn, builds
# the program and its tests in build/faults, runs the whole suite, and puts the file back.
#
#   scripts/plant-faults.sh [FAULTS-FILE] [ID...]
#
# FAULTS-FILE defaults to scripts/faults.txt (its head describes the format); IDs pick faults
# from it (all when none is given). For each fault the result is one of
#   caught by <test>   the first test that failed (a timeout counts as caught)
#   not caught         the whole suite passed with the fault in place
#   does not build     the fault does not compile (the list needs fixing)
#   not found          the original line is no longer in the file (the code has moved on)
#   ambiguous          the original line occurs more than once in the file
# and the script ends with a markdown table and the share caught. Logs go to
# build/faults/plant-logs/, the table also to build/faults/plant-results.md.
#
# Environment: PLANT_BASELINE=0 skips the run of the suite on the unchanged code (by default a
# failing suite stops the script before any fault is planted, as every fault would read caught);
# PLANT_JOBS sets ctest's parallel jobs (4), PLANT_TIMEOUT the timeout per test (90 s).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
faults_file=${1:-$root/scripts/faults.txt}
[ $# -gt 0 ] && shift
wanted=("$@")
build=$root/build/faults
logs=$build/plant-logs
pending=$build/plant-pending
jobs=${PLANT_JOBS:-4}
timeout=${PLANT_TIMEOUT:-90}

if [ ! -f "$faults_file" ]; then
  echo "plant-faults: no such faults file: $faults_file" >&2
  exit 2
fi
mkdir -p "$logs"

# --- The planted file is always put back ---------------------------------------------------------

backup=""   # the original of the file a fault is planted in, while one is
target=""

restore() {
  if [ -n "$backup" ] && [ -f "$backup" ]; then
    # A plain copy, not one that keeps the times: the file must look newer than the object built
    # from the fault, so that the next build compiles it again.
    cat "$backup" >"$target"
    if ! cmp -s "$backup" "$target"; then
      echo "plant-faults: could not restore $target; its original is in $backup" >&2
      return 1
    fi
    rm -f "$backup" "$pending"
  fi
  backup=""
  target=""
}

on_signal() {
  echo >&2
  echo "plant-faults: interrupted; restoring ${target:-nothing}" >&2
  restore
  exit 130
}
trap on_signal INT TERM HUP
trap restore EXIT

# A run that was killed outright (kill -9, a crash) leaves its pending file: put that back first.
if [ -f "$pending" ]; then
  { IFS= read -r old_target; IFS= read -r old_backup; } <"$pending"
  if [ -f "$old_backup" ]; then
    echo "plant-faults: restoring $old_target, left planted by an earlier run" >&2
    target=$old_target
    backup=$old_backup
    restore || exit 1
  else
    rm -f "$pending"
  fi
fi

# --- The list ------------------------------------------------------------------------------------

ids=() files=() descs=() origs=() repls=()
parse_error=0
while IFS= read -r line || [ -n "$line" ]; do
  case $line in
    '## '*)
      head=${line#'## '}
      id=${head%% *}
      rest=${head#"$id"}
      rest=${rest# }
      file=${rest%%:*}
      desc=${rest#"$file"}
      desc=${desc#:}
      desc=${desc# }
      ids+=("$id") files+=("$file") descs+=("$desc") origs+=("") repls+=("")
      have_orig[${#ids[@]}]=0
      have_repl[${#ids[@]}]=0
      ;;
    '-' | '- '*)
      if [ ${#ids[@]} -eq 0 ]; then
        echo "plant-faults: a '-' line before the first '## ' line: $line" >&2
        parse_error=1
        continue
      fi
      text=${line#-}
      origs[${#ids[@]}-1]=${text# }
      have_orig[${#ids[@]}]=1
      ;;
    '+' | '+ '*)
      if [ ${#ids[@]} -eq 0 ]; then
        echo "plant-faults: a '+' line before the first '## ' line: $line" >&2
        parse_error=1
        continue
      fi
      text=${line#+}
      repls[${#ids[@]}-1]=${text# }
      have_repl[${#ids[@]}]=1
      ;;
    '#'* | '') ;;
    *)
      if [ -z "${line//[[:space:]]/}" ]; then continue; fi
      echo "plant-faults: a line that is no part of the format: $line" >&2
      parse_error=1
      ;;
  esac
done <"$faults_file"
for i in "${!ids[@]}"; do
  if [ "${have_orig[$((i + 1))]}" != 1 ] || [ "${have_repl[$((i + 1))]}" != 1 ]; then
    echo "plant-faults: ${ids[$i]} needs one '-' line and one '+' line" >&2
    parse_error=1
  fi
done
[ "$parse_error" = 0 ] || exit 2

selected=()
for i in "${!ids[@]}"; do
  if [ ${#wanted[@]} -eq 0 ]; then
    selected+=("$i")
    continue
  fi
  for w in "${wanted[@]}"; do
    if [ "$w" = "${ids[$i]}" ]; then selected+=("$i"); fi
  done
done
for w in "${wanted[@]}"; do
  found=0
  for i in "${!ids[@]}"; do [ "$w" = "${ids[$i]}" ] && found=1; done
  [ "$found" = 1 ] || echo "plant-faults: no fault $w in $faults_file" >&2
done
if [ ${#selected[@]} -eq 0 ]; then
  echo "plant-faults: no fault to plant" >&2
  exit 2
fi

# --- Building and testing ------------------------------------------------------------------------

configure() {
  # As the dev preset (Debug, Ninja), without -Werror: a planted fault may well warn.
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSERIVANE_WERROR=OFF \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >"$logs/configure.log" 2>&1
}

build_all() {
  cmake --build "$build" >"$1" 2>&1
}

# Runs the suite; prints the first failing test as "name (status)", or nothing when all passed.
run_suite() {
  local log=$1 status first
  ctest --test-dir "$build" -j"$jobs" --timeout "$timeout" --stop-on-failure >"$log" 2>&1
  status=$?
  [ $status -eq 0 ] && return 0
  # Progress lines: " 12/140 Test  #12: name ......***Failed    0.02 sec", in finishing order. A
  # test that skips itself shows as "***Skipped" there too, and is no failure.
  first=$(grep -v -- '\*\*\*Skipped' "$log" |
    sed -nE 's/^ *[0-9]+\/[0-9]+ +Test +#[0-9]+: ([^ ]+) .*\*\*\*([A-Za-z]+).*$/\1 (\2)/p' | head -n 1)
  if [ -z "$first" ]; then
    first=$(sed -nE 's/^ *[0-9]+\/[0-9]+ +Test +#[0-9]+: ([^ ]+) .*(Exception|Timeout|Not Run).*$/\1 (\2)/p' \
      "$log" | head -n 1)
  fi
  if [ -z "$first" ]; then
    first=$(sed -nE '/The following tests FAILED/,$ s/^[[:space:]]+[0-9]+ - (.+) \((.+)\)$/\1 (\2)/p' \
      "$log" | head -n 1)
  fi
  echo "${first:-the suite (ctest status $status)}"
  return 1
}

# The number of lines of $1 that are exactly $2.
count_lines() {
  local n=0 line
  while IFS= read -r line || [ -n "$line" ]; do
    [[ $line == "$2" ]] && n=$((n + 1))
  done <"$1"
  echo "$n"
}

plant() {
  local file=$1 orig=$2 repl=$3 line
  while IFS= read -r line || [ -n "$line" ]; do
    if [[ $line == "$orig" ]]; then
      printf '%s\n' "$repl"
    else
      printf '%s\n' "$line"
    fi
  done <"$backup" >"$file"
}

seconds() {
  date +%s
}

echo "plant-faults: configuring $build"
if ! configure; then
  echo "plant-faults: configuring failed; see $logs/configure.log" >&2
  exit 1
fi
echo "plant-faults: building the unchanged code"
if ! build_all "$logs/baseline-build.log"; then
  echo "plant-faults: the unchanged code does not build; see $logs/baseline-build.log" >&2
  exit 1
fi
if [ "${PLANT_BASELINE:-1}" != 0 ]; then
  echo "plant-faults: running the suite on the unchanged code"
  start=$(seconds)
  if failed=$(run_suite "$logs/baseline-test.log"); then
    echo "plant-faults: the suite passes ($(($(seconds) - start)) s)"
  else
    echo "plant-faults: the suite fails without any fault ($failed); see" \
      "$logs/baseline-test.log" >&2
    exit 1
  fi
fi

results=() times=()
caught=0 missed=0 broken=0 unplaced=0
for i in "${selected[@]}"; do
  id=${ids[$i]} file=${files[$i]} orig=${origs[$i]} repl=${repls[$i]}
  path=$root/$file
  start=$(seconds)
  result=""
  if [ ! -f "$path" ]; then
    result="not found (no file $file)"
  else
    n=$(count_lines "$path" "$orig")
    if [ "$n" -eq 0 ]; then
      result="not found (the line is no longer in $file)"
    elif [ "$n" -gt 1 ]; then
      result="ambiguous ($n lines of $file match)"
    fi
  fi
  if [ -n "$result" ]; then
    unplaced=$((unplaced + 1))
    echo "plant-faults: $id: $result"
    results[$i]=$result
    times[$i]=0
    continue
  fi

  echo "plant-faults: $id $file: ${descs[$i]}"
  backup=$(mktemp "${TMPDIR:-/tmp}/plant-faults.XXXXXX")
  target=$path
  cat "$path" >"$backup"
  printf '%s\n%s\n' "$target" "$backup" >"$pending"
  plant "$path" "$orig" "$repl"

  if ! build_all "$logs/$id-build.log"; then
    result="does not build"
    broken=$((broken + 1))
  elif failed=$(run_suite "$logs/$id-test.log"); then
    result="not caught"
    missed=$((missed + 1))
  else
    result="caught by $failed"
    caught=$((caught + 1))
  fi
  restore || exit 1
  times[$i]=$(($(seconds) - start))
  results[$i]=$result
  echo "plant-faults: $id: $result (${times[$i]} s)"
done

# The code as it was, built again, so that the tree is left as it was found.
build_all "$logs/final-build.log" || echo "plant-faults: the restored code does not build" >&2

{
  echo "| Fault | File | What | Result | Seconds |"
  echo "|---|---|---|---|---|"
  for i in "${selected[@]}"; do
    echo "| ${ids[$i]} | ${files[$i]} | ${descs[$i]} | ${results[$i]} | ${times[$i]} |"
  done
  echo
  planted=$((caught + missed))
  if [ "$planted" -gt 0 ]; then
    echo "Caught $caught of $planted planted faults ($((100 * caught / planted)) %);" \
      "$broken did not build, $unplaced could not be placed."
  else
    echo "No fault was planted; $broken did not build, $unplaced could not be placed."
  fi
} | tee "$build/plant-results.md"
