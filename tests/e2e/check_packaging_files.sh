# The files installed beside the programs must be read without complaint by the tools that use
# them: the desktop entry by the desktop-entry validator, the manual pages by man (groff).
set -euo pipefail
packaging=$(cd "$(dirname "$0")/../../packaging" && pwd)
command -v man >/dev/null && command -v desktop-file-validate >/dev/null || {
  echo "SKIP: man or desktop-file-validate is not installed"
  exit 77
}
status=0
# The validator prints hints for entries it still accepts; a hint is a fault here too.
if [[ -n $(desktop-file-validate "$packaging/serivane.desktop" 2>&1) ]]; then
  desktop-file-validate "$packaging/serivane.desktop" || true
  echo "FAIL: serivane.desktop" >&2
  status=1
fi
for page in "$packaging"/*.1; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  if [[ -n $warnings ]]; then
    echo "$warnings" >&2
    echo "FAIL: $(basename "$page")" >&2
    status=1
  fi
  # Every page must name itself and say how it is used.
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null)
  for section in NAME SYNOPSIS DESCRIPTION "SEE ALSO"; do
    grep -qx "$section" <<<"$text" || {
      echo "FAIL: $(basename "$page") has no $section section" >&2
      status=1
    }
  done
done
exit $status
