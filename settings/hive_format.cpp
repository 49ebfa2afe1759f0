#include "settings/hive_format.h"

#include <algorithm>
#include <utility>

#include "settings/reg_text.h"

namespace serivane::settings {

namespace {

// Whether the key `names` is `part` or below it, or one of its parents.
bool OnTheWay(const std::vector<std::string>& names, const std::vector<std::string>& part) {
  const std::size_t common = std::min(names.size(), part.size());
  for (std::size_t i = 0; i < common; ++i)
    if (!SameRegName(names[i], part[i])) return false;
  return true;
}

// The tree a hive text describes.
RegResult<RegKeyNode> BuildTree(std::string_view bytes, std::string_view root_name,
                                const std::string& file, const std::vector<std::string>* part) {
  RegKeyNode tree;
  tree.name = std::string(root_name);
  // A file holding nothing but blank lines (a person emptied it in an editor) is an empty hive.
  if (bytes.find_first_not_of(" \t\r\n") == std::string_view::npos) return tree;
  RegTextParse parse = ParseRegText(bytes);
  if (parse.error) {
    const std::string where =
        parse.error->line > 0 ? file + " line " + std::to_string(parse.error->line) : file;
    return RegResult<>(RegCode::kBadHive, where + ": " + parse.error->message);
  }
  auto bad = [&](int line, const std::string& message) {
    return RegResult<>(RegCode::kBadHive, file + " line " + std::to_string(line) + ": " + message);
  };
  RegTreeBuilder builder(std::move(tree));
  for (const RegTextKey& entry : parse.document.keys) {
    if (entry.remove) return bad(entry.line, "a hive cannot delete a key");
    const FullKeyPath path = SplitFullKeyPath(entry.path);
    if (!SameRegName(path.root, root_name))
      return bad(entry.line, "key outside of " + std::string(root_name));
    if (!path.names) return bad(entry.line, path.names.detail());
    if (part != nullptr && !OnTheWay(*path.names, *part)) {
      for (const RegTextValue& value : entry.values)
        if (value.remove || !value.text) return bad(value.line, "a hive holds only string values");
      continue;
    }
    const std::size_t index = builder.Create(*path.names, false, 0);
    RegKeyNode& key = builder.Key(index);
    if (entry.last_write) key.last_write = *entry.last_write;
    if (entry.class_name) key.class_name = *entry.class_name;
    for (const RegTextValue& value : entry.values) {
      if (value.remove || !value.text) return bad(value.line, "a hive holds only string values");
      builder.SetValue(index, value.name, *value.text + '\0');
    }
  }
  return builder.Take();
}

}  // namespace

RegResult<RegKeyNode> ParseHive(std::string_view bytes, std::uint32_t root,
                                const std::string& file_name,
                                const std::vector<std::string>* part) {
  const std::string root_name = RootKeyName(root);
  if (root_name.empty()) return RegResult<>(RegCode::kInvalidHandle, "unknown root key");
  return BuildTree(bytes, root_name, file_name, part);
}

void AppendKeyText(std::string& out, const std::string& path, const RegKeyNode& key) {
  ForEachKey(path, key, [&](const std::string& key_path, const RegKeyNode& node) {
    out += "\n[" + key_path + "]\n";
    out += ";last-write=" + FileTimeText(node.last_write);
    if (!node.class_name.empty()) out += " class=\"" + EscapeRegText(node.class_name) + "\"";
    out += '\n';
    for (const RegValueNode& value : node.values) {
      // Only string values are ever stored; their data ends with the terminating NUL.
      std::string_view text = value.data;
      if (!text.empty() && text.back() == '\0') text.remove_suffix(1);
      out += value.name.empty() ? std::string("@") : "\"" + EscapeRegText(value.name) + "\"";
      out += "=\"" + EscapeRegText(text) + "\"\n";
    }
  });
}

std::string FormatHive(std::string_view root_name, const RegKeyNode& tree) {
  std::string out(kRegedit4Header);
  out += '\n';
  AppendKeyText(out, std::string(root_name), tree);
  return out;
}

}  // namespace serivane::settings
