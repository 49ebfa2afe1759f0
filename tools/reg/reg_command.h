// serivane-reg: the registry editor on the command line, with the syntax of the platform's
// `reg` tool so that instructions written for it work here:
//
//   query  KEY [/v NAME | /ve] [/s]
//   add    KEY [/v NAME | /ve] [/t REG_SZ] [/d DATA] [/f]
//   delete KEY [/v NAME | /ve | /va] [/f]
//   export KEY FILE [/y]
//   import FILE
//
// KEY is a root key, long or short (HKEY_LOCAL_MACHINE/HKLM, HKEY_CURRENT_USER/HKCU,
// HKEY_CLASSES_ROOT/HKCR, HKEY_USERS/HKU, HKEY_CURRENT_CONFIG/HKCC), then "\" and the path.
// Operations and switches are taken in any letter case, with "/" or "-" in front. Only string
// values exist (REG_SZ); a value shows or is given without its terminating NUL.
//
// `delete KEY` removes the key with everything below it; a root key cannot be deleted. Without
// /f, `add` over an existing value and `delete` ask "(Yes/No)" when standard input is a terminal
// and refuse otherwise, saying to use /f; `export` asks the same before it replaces a file, unless
// /y. `export` writes REGEDIT4 text (see settings/reg_text.h) with the key, its subkeys and their
// last-write lines. `import` reads that text or a "Windows Registry Editor Version 5.00" file
// (UTF-16LE with byte-order mark, CR LF), including [-KEY] and "name"=- deletions; values of
// other types (dword:, hex...:) are skipped with a warning naming their line. FILE must be a
// regular file of at most 16 MiB. An import is all or nothing: the whole file is checked, and
// every hive it touches is locked and read, before anything changes; a malformed line, an unknown
// root key, a key beyond the registry's limits or a hive that does not parse names its cause and
// leaves every hive as it was, and so does a hive that cannot be written. A key's class is taken
// from its last-write line; its time is not: the keys an import writes are last written at the
// time of the import.
//
// `query` on a terminal shows control characters in names and texts as export writes them (\n,
// \x1B), so that a stored value cannot move the cursor or retitle the terminal; into a pipe or a
// file it writes the bytes as stored.
//
// Exit status 0 on success, 1 on failure with the reason on the error stream.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace serivane::tools {

struct RegConsole {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  bool interactive = false;   // standard input is a terminal: questions may be asked
  bool out_terminal = false;  // standard output is a terminal: control characters are escaped
};

// `args` are the arguments after the program's name.
int RunRegCommand(const std::vector<std::string>& args, RegConsole& console);

}  // namespace serivane::tools
