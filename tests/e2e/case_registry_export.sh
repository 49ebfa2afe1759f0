# The settings the program writes at its own exit, read back with serivane-reg export: from a
# registry that holds only the two switches of an unattended run, the exit stores the sixteen
# values, every one but the two switches at its default, and never "Single Bytes" nor
# "Test Timeout". The default result file "C:\RS-232_Result.Txt" lands in the home folder.
source "$(dirname "$0")/lib.sh"
e2e_begin

port_map 1 loopback
reg_setting "Run at Startup" True "Close When Finish" True

run_window 60
expect_status 0
expect_answers 0
grep -q $'^+All test(s) passed .*\r$' "$HOME/RS-232_Result.Txt" 2>/dev/null ||
  e2e_fail "no passed run in the default result file $HOME/RS-232_Result.Txt"

"$SERIVANE_REG" export "$SETTINGS_KEY" "$WORK/export.reg" /y >/dev/null ||
  e2e_fail "serivane-reg export failed"

# The export may be UTF-16 with a byte-order mark, as the format's newer version is written.
if [[ $(head -c2 "$WORK/export.reg" | od -An -tx1 | tr -d ' ') == fffe ]]; then
  iconv -f UTF-16 -t UTF-8 "$WORK/export.reg" >"$WORK/export.utf8" && mv "$WORK/export.utf8" "$WORK/export.reg"
fi

# The values of the settings key, one "name=data" a line, unescaped, sorted; the window's
# height depends on the screen and is only checked to be a number.
awk '
  { sub(/\r$/, "") }
  /^\[/ {
    key = tolower($0); sub(/^\[hklm\\/, "[hkey_local_machine\\", key)
    inkey = (key == "[hkey_local_machine\\software\\balvoric\\rs-232 serivane]")
    next
  }
  inkey && /^".*"=".*"$/ {
    split($0, parts, /"="/)
    name = substr(parts[1], 2); data = substr(parts[2], 1, length(parts[2]) - 1)
    gsub(/\\\\/, "\\", data); gsub(/\\"/, "\"", data)
    print name "=" data
  }' "$WORK/export.reg" | LC_ALL=C sort >"$WORK/values.txt"

sed -E 's/^(Window Height=)[0-9]+(\.[0-9]+)?$/\1<number>/' "$WORK/values.txt" >"$WORK/values.masked"
if ! cmp -s "$WORK/values.masked" "$E2E_DIR/expected/registry_export.txt"; then
  echo "--- export file:" >&2
  cat "$WORK/export.reg" >&2
  diff "$E2E_DIR/expected/registry_export.txt" "$WORK/values.masked" >&2 || true
  e2e_fail "the exported settings differ from the sixteen expected values"
fi
echo "PASS: the exit stored the sixteen values, read back by serivane-reg export"
