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
// other types (dword:, hex...:) are skipped with a warning naming their line. The whole file is
// checked before anything changes: a malformed line or an unknown root key names its line number
// and leaves every hive as it was. Each hive an import touches is written once, in the order the
// file first names them; should a later hive fail to be written (it does not parse, the disk is
// full), the earlier ones keep the import. A key's class is taken from its last-write line; its
// time is not: the keys an import writes are last written at the time of the import.
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
  bool interactive = false;  // standard input is a terminal: questions may be asked
};

// `args` are the arguments after the program's name.
int RunRegCommand(const std::vector<std::string>& args, RegConsole& console);

}  // namespace serivane::tools
