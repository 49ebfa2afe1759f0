// The registry export text format: reading and writing it, without any file or lock.
//
// The hive files of the registry store and the files of `serivane-reg export`/`import` are this
// text. Reading accepts two headers:
//
//   REGEDIT4                                  8-bit text, as the program writes it
//   Windows Registry Editor Version 5.00      usually UTF-16LE with a byte-order mark
//
// A UTF-16LE (byte-order mark FF FE) or UTF-8 (EF BB BF) text is turned into UTF-8 first; any
// other text is taken byte for byte, since the program keeps names and texts as 8-bit bytes.
// Lines end with LF or CR LF. What follows the header:
//
//   [HKEY_LOCAL_MACHINE\Software\Balvoric]     a key: root name, backslash, path
//   ;last-write=2026-12-06T10:37:50.1234567Z class="Text"
//                                              the key's last-write time (UTC, 100 ns) and class;
//                                              class="" is left out when the class is empty
//   "Baudrate"="38400"                         a string value
//   @="text"                                   the key's unnamed value
//   [-HKEY_...\Path]   "name"=-                delete a key / a value (import files only)
//   "name"=dword:0000001f  "name"=hex(2):41,00  values of other types: read and skipped (hex
//                                              data may go on over lines ending in a backslash)
//   ; anything                                 a comment, ignored
//
// Inside quotes a backslash escapes: \\ backslash, \" quote, \n line feed, \r carriage return,
// \t tab, \xHH any other byte (two hexadecimal digits). Writing escapes every byte below 32 and
// 127 this way, so a text with line breaks or control characters stays on one line; bytes above
// 127 are written as they are. Files written by other programs escape only \\ and \", which this
// reader reads the same way. Any other escape is an error.
//
// A key name cannot hold a control character or a backslash (the backslash separates keys), so
// key paths are written without escapes; the key line ends at its last "]".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace serivane::settings {

inline constexpr std::string_view kRegedit4Header = "REGEDIT4";

struct RegTextValue {
  std::string name;  // empty = the unnamed value ("@")
  bool remove = false;
  // The text of a string value; nullopt for a value of another type (see `type`).
  std::optional<std::string> text;
  std::string type;  // "dword", "hex", "hex(2)" ... for values of another type; empty for strings
  int line = 0;
};

struct RegTextKey {
  std::string path;  // as written between the brackets, root name included
  bool remove = false;
  std::optional<std::string> class_name;
  std::optional<std::int64_t> last_write;  // file time
  std::vector<RegTextValue> values;
  int line = 0;
};

struct RegTextDocument {
  std::vector<RegTextKey> keys;  // in file order; a key may appear more than once
};

struct RegTextError {
  int line = 0;  // 1-based; 0 when the whole text is at fault
  std::string message;
};

struct RegTextParse {
  std::optional<RegTextError> error;  // set: nothing of `document` may be used
  RegTextDocument document;
};

RegTextParse ParseRegText(std::string_view bytes);

// Escapes `text` for a place between quotes (no quotes added).
std::string EscapeRegText(std::string_view text);

// `text` made safe to show on a terminal: control characters are written as the escapes above
// (\n, \r, \t, \xHH), and so are the 8-bit control characters (bytes 80 to 9F that are not part
// of a UTF-8 sequence, and U+0080 to U+009F as UTF-8), which a terminal would take as commands.
// Backslashes and quotes stay as they are, so that paths read as they are stored.
std::string EscapeForTerminal(std::string_view text);

// The file time (100 ns units since 1601-01-01 UTC) as "YYYY-MM-DDThh:mm:ss.fffffffZ", as the
// last-write lines hold it.
std::string FileTimeText(std::int64_t file_time);

// The file time now.
std::int64_t FileTimeNow();

}  // namespace serivane::settings
