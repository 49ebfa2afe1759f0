// The hive file format: the tree of a root key as the text of reg_text.h, with the header
// "REGEDIT4". Each key is written as
//
//   [HKEY_LOCAL_MACHINE\Software\Balvoric\RS-232 Serivane]
//   ;last-write=2026-12-06T10:37:50.1234567Z class="..."
//   "Baudrate"="38400"
//
// every key on its own line, parents before children, names as first written. A text of nothing
// but blank lines is an empty hive. A person may edit the file; a key without a last-write line
// reads as last written at the zero file time. Deletions and values of other types than strings
// have no place in a hive.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "settings/key_tree.h"
#include "settings/reg_result.h"

namespace serivane::settings {

// The tree of a hive file's bytes: kBadHive, naming `file_name` and the line, when they do not
// parse or break a limit of the tree; kInvalidHandle for an unknown root. With `part`, every key
// is checked but only the key `part`, its parents and the keys below it are kept, so that a
// reader of a few keys of a large hive does not build the rest.
RegResult<RegKeyNode> ParseHive(std::string_view bytes, std::uint32_t root,
                                const std::string& file_name,
                                const std::vector<std::string>* part = nullptr);

// The hive text of a tree ("REGEDIT4", then every key); `root_name` is the first part of every
// key line. AppendKeyText writes one key and its subkeys, with `path` the key's full name.
std::string FormatHive(std::string_view root_name, const RegKeyNode& tree);
void AppendKeyText(std::string& out, const std::string& path, const RegKeyNode& key);

}  // namespace serivane::settings
