#!/usr/bin/env bash
# Prints, for each part of the program, its lines of C++ code, the lines of its tests under
# tests/<part> and the tests' share of the code (tests / code). A line counts when it is neither
# blank nor only a comment. Uses cloc when it is installed, a small awk counter otherwise (the two
# agree on this code base, which keeps comments to // lines and /* */ blocks).
#
#   scripts/test-share.sh
#
# The COM port map lives in serial/portmap today and in a top-level portmap/ later; it counts as a
# part of its own either way, and serial/ is counted without it.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# The C++ files (sources and headers) under the given folders, one a line, minus any under
# the folders given after "--".
cxx_files() {
  local dirs=() skip=() d
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    [ -d "$1" ] && dirs+=("$1")
    shift
  done
  [ $# -gt 0 ] && shift
  skip=("$@")
  [ ${#dirs[@]} -gt 0 ] || return 0
  find "${dirs[@]}" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.hpp' -o -name '*.cc' \) |
    while IFS= read -r f; do
      for d in "${skip[@]}"; do
        case $f in "$d"/*) continue 2 ;; esac
      done
      printf '%s\n' "$f"
    done | sort
}

count_awk() {
  awk '
    { line = $0; sub(/^[ \t]+/, "", line); sub(/[ \t\r]+$/, "", line) }
    in_block { if (index(line, "*/")) { in_block = 0; rest = substr(line, index(line, "*/") + 2);
                                         sub(/^[ \t]+/, "", rest); if (rest != "") n++ } next }
    line == "" { next }
    line ~ /^\/\// { next }
    line ~ /^\/\*/ { if (!index(substr(line, 3), "*/")) in_block = 1; next }
    { n++ }
    END { print n + 0 }' "$@"
}

# The lines of code of the files read from stdin.
count() {
  local list
  list=$(mktemp)
  cat >"$list"
  if [ ! -s "$list" ]; then
    echo 0
  elif command -v cloc >/dev/null 2>&1; then
    cloc --quiet --csv --list-file="$list" --force-lang=C++,h 2>/dev/null |
      awk -F, '$2 == "SUM" { print $5; found = 1 } END { if (!found) print 0 }'
  else
    xargs -d '\n' cat <"$list" | count_awk
  fi
  rm -f "$list"
}

printf '%-9s %6s %6s %6s\n' part code tests share
total_code=0 total_tests=0
for part in common settings serial portmap engine app tools; do
  case $part in
    serial) code=$(cxx_files serial -- serial/portmap | count) ;;
    portmap) code=$(cxx_files serial/portmap portmap | count) ;;
    *) code=$(cxx_files "$part" | count) ;;
  esac
  tests=$(cxx_files "tests/$part" | count)
  total_code=$((total_code + code))
  total_tests=$((total_tests + tests))
  share=-
  [ "$code" -gt 0 ] && share="$((100 * tests / code)) %"
  printf '%-9s %6d %6d %6s\n' "$part" "$code" "$tests" "$share"
done
printf '%-9s %6d %6d %6s\n' all "$total_code" "$total_tests" "$((100 * total_tests / total_code)) %"
