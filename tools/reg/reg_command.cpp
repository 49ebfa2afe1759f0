#include "tools/reg/reg_command.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <set>

#include "common/safe_file.h"
#include "common/text.h"
#include "settings/cregistry.h"
#include "settings/hive_format.h"
#include "settings/reg_text.h"
#include "settings/registry_store.h"

namespace serivane::tools {

namespace {

using namespace serivane::settings;

// The platform's limit on value names, kept so that a hive stays loadable there.
constexpr std::size_t kMaxValueNameLength = 16383;

constexpr const char* kUsage =
    "Usage: serivane-reg OPERATION [ARGUMENTS]\n"
    "\n"
    "  query  KEY [/v NAME | /ve] [/s]          show a key's values and subkeys\n"
    "  add    KEY [/v NAME | /ve] [/t REG_SZ] [/d DATA] [/f]\n"
    "                                           create a key, or store a string value\n"
    "  delete KEY [/v NAME | /ve | /va] [/f]    delete a key with its subkeys, or values\n"
    "  export KEY FILE [/y]                     write a key and its subkeys to FILE\n"
    "  import FILE                              read a registry export file\n"
    "\n"
    "KEY is ROOT\\path, ROOT one of HKEY_LOCAL_MACHINE (HKLM), HKEY_CURRENT_USER (HKCU),\n"
    "HKEY_CLASSES_ROOT (HKCR), HKEY_USERS (HKU), HKEY_CURRENT_CONFIG (HKCC).\n"
    "  /v NAME  the value NAME            /ve  the key's unnamed value (Default)\n"
    "  /va      every value of the key    /s   every subkey too\n"
    "  /d DATA  the text to store         /t   the type; only REG_SZ exists\n"
    "  /f       no question before replacing or deleting\n"
    "  /y       no question before replacing FILE\n"
    "\n"
    "The registry lives in $XDG_CONFIG_HOME/serivane/registry (~/.config/serivane/registry).\n"
    "Exit status 0 on success, 1 on failure.\n";

struct Failure {
  std::string message;
};

struct KeyArg {
  std::uint32_t root = 0;
  std::vector<std::string> names;
};

KeyArg ParseKeyArg(const std::string& text) {
  // Trailing backslashes are forgiven: "HKLM\Software\" is HKLM\Software.
  std::string_view full = text;
  while (full.find('\\') != std::string_view::npos && full.back() == '\\') full.remove_suffix(1);
  FullKeyPath path = SplitFullKeyPath(full);
  const auto root = ParseRootKeyName(path.root);
  if (!root)
    throw Failure{"Unknown root key \"" + std::string(path.root) + "\" in \"" + text +
                  "\". Use HKLM, HKCU, HKCR, HKU or HKCC, or their long names."};
  if (!path.names)
    throw Failure{"\"" + text + "\" is no key the registry can hold: " + path.names.detail() + "."};
  return KeyArg{*root, std::move(*path.names)};
}

// The key's name as the registry keeps it: root in its long form, names as first written.
std::string StoredName(const KeyArg& key, const RegKeyNode& tree) {
  std::string name = RootKeyName(key.root);
  const RegKeyNode* node = &tree;
  for (const std::string& part : key.names) {
    node = node->FindSubkey(part);
    name += "\\" + (node != nullptr ? node->name : part);
    if (node == nullptr) break;
  }
  return name;
}

void Check(const RegResult<>& status) {
  if (status) return;
  if (status.code() == RegCode::kBadHive)
    throw Failure{"The registry file does not parse and was left as it is: " + status.detail()};
  throw Failure{status.detail()};
}

RegKeyNode Loaded(std::uint32_t root) {
  RegResult<RegKeyNode> tree = LoadHive(root);
  Check(tree.status());
  return std::move(*tree);
}

struct Options {
  std::vector<std::string> positional;
  std::optional<std::string> v, t, d;
  bool ve = false, va = false, s = false, f = false, y = false;
};

Options ParseOptions(const std::vector<std::string>& args, const std::string& operation,
                     const std::set<std::string>& allowed) {
  static const std::set<std::string> kAll = {"v", "ve", "va", "s", "t", "d", "f", "y"};
  Options options;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const std::string word =
        arg.size() > 1 && (arg[0] == '/' || arg[0] == '-') ? Lower(arg.substr(1)) : std::string();
    if (!kAll.contains(word)) {
      options.positional.push_back(arg);
      continue;
    }
    if (!allowed.contains(word)) throw Failure{arg + " is no option of " + operation + "."};
    if (word == "v" || word == "t" || word == "d") {
      if (i + 1 >= args.size()) throw Failure{arg + " needs a value after it."};
      std::optional<std::string>& slot = word == "v"   ? options.v
                                         : word == "t" ? options.t
                                                       : options.d;
      if (slot) throw Failure{arg + " is given twice."};
      slot = args[++i];
      continue;
    }
    bool& flag = word == "ve"   ? options.ve
                 : word == "va" ? options.va
                 : word == "s"  ? options.s
                 : word == "f"  ? options.f
                                : options.y;
    flag = true;
  }
  if ((options.v ? 1 : 0) + (options.ve ? 1 : 0) + (options.va ? 1 : 0) > 1)
    throw Failure{"Give only one of /v, /ve and /va."};
  if (options.v && options.v->size() > kMaxValueNameLength)
    throw Failure{"A value name is at most 16383 bytes long."};
  return options;
}

void ExpectPositional(const Options& options, std::size_t count, const char* what) {
  if (options.positional.size() < count) throw Failure{std::string("Missing ") + what + "."};
  if (options.positional.size() > count)
    throw Failure{"Too many arguments: \"" + options.positional[count] + "\"."};
}

// Asks a yes/no question on a terminal. Without one nothing is asked and the operation is
// refused, so that a script never hangs waiting for an answer.
void Confirm(RegConsole& console, const std::string& question, const char* force) {
  if (!console.interactive)
    throw Failure{question + "? Standard input is not a terminal, so nothing was asked; use " +
                  force + " to go ahead without a question."};
  for (;;) {
    console.out << question << " (Yes/No)? " << std::flush;
    std::string answer;
    if (!std::getline(console.in, answer)) throw Failure{"The operation was cancelled."};
    answer = Lower(answer);
    answer.erase(std::remove(answer.begin(), answer.end(), ' '), answer.end());
    if (answer == "y" || answer == "yes") return;
    if (answer == "n" || answer == "no") throw Failure{"The operation was cancelled."};
  }
}

// Reads the hive of `key` into `tree` and gives the key in it, with its stored name in `path`;
// a key that is not there fails with "The key ... does not exist.".
const RegKeyNode& ExistingKey(const KeyArg& key, RegKeyNode& tree, std::string& path) {
  tree = Loaded(key.root);
  path = StoredName(key, tree);
  const RegKeyNode* node = FindKey(tree, key.names);
  if (node == nullptr) throw Failure{"The key " + path + " does not exist."};
  return *node;
}

std::string ShownName(const std::string& name) {
  return name.empty() ? "(Default)" : name;
}

std::string Text(const RegValueNode& value) {
  std::string text = value.data;
  if (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

// What query shows of a name or text: on a terminal, control characters escaped.
std::string Shown(const RegConsole& console, const std::string& text) {
  return console.out_terminal ? EscapeForTerminal(text) : text;
}

void PrintValue(RegConsole& console, const RegValueNode& value) {
  console.out << "    " << Shown(console, ShownName(value.name)) << "    REG_SZ    "
              << Shown(console, Text(value)) << "\n";
}

void PrintKey(RegConsole& console, const std::string& path, const RegKeyNode& key, bool recurse) {
  if (recurse) {
    ForEachKey(path, key, [&](const std::string& key_path, const RegKeyNode& node) {
      console.out << "\n" << Shown(console, key_path) << "\n";
      for (const RegValueNode& value : node.values) PrintValue(console, value);
    });
    return;
  }
  console.out << "\n" << Shown(console, path) << "\n";
  for (const RegValueNode& value : key.values) PrintValue(console, value);
  if (!key.subkeys.empty()) console.out << "\n";
  for (const RegKeyNode& sub : key.subkeys)
    console.out << Shown(console, path + "\\" + sub.name) << "\n";
}

int Query(const std::vector<std::string>& args, RegConsole& console) {
  const Options options = ParseOptions(args, "query", {"v", "ve", "s"});
  ExpectPositional(options, 1, "KEY");
  const KeyArg key = ParseKeyArg(options.positional[0]);
  RegKeyNode tree;
  std::string path;
  const RegKeyNode& node = ExistingKey(key, tree, path);
  if (options.v || options.ve) {
    const std::string name = options.v.value_or("");
    const RegValueNode* value = node.FindValue(name);
    if (value == nullptr)
      throw Failure{"The value " + ShownName(name) + " does not exist in " + path + "."};
    console.out << "\n" << Shown(console, path) << "\n";
    PrintValue(console, *value);
    return 0;
  }
  PrintKey(console, path, node, options.s);
  return 0;
}

int Add(const std::vector<std::string>& args, RegConsole& console) {
  const Options options = ParseOptions(args, "add", {"v", "ve", "t", "d", "f"});
  ExpectPositional(options, 1, "KEY");
  const KeyArg key = ParseKeyArg(options.positional[0]);
  if (options.t && Lower(*options.t) != "reg_sz")
    throw Failure{"Only string values (REG_SZ) can be stored; \"" + *options.t +
                  "\" is not supported."};
  // /d or /t without a name means the unnamed value, as on the platform.
  const bool has_value = options.v || options.ve || options.d || options.t;
  const std::string name = options.v.value_or("");
  const std::string data = options.d.value_or("");
  RegKeyNode tree = Loaded(key.root);
  if (has_value && !options.f) {
    const RegKeyNode* node = FindKey(tree, key.names);
    if (node != nullptr && node->FindValue(name) != nullptr)
      Confirm(console,
              "Value " + ShownName(name) + " exists in " + StoredName(key, tree) + ", overwrite",
              "/f");
  }
  Check(ModifyHive(key.root, [&](RegKeyNode& root, bool& changed) {
    const std::int64_t now = FileTimeNow();
    RegKeyNode& node = CreateKey(root, key.names, now, changed);
    if (!has_value) return RegOk();
    SetStringValue(node, name, data);
    node.last_write = now;
    changed = true;
    return RegOk();
  }));
  console.out << "The operation completed successfully.\n";
  return 0;
}

int Delete(const std::vector<std::string>& args, RegConsole& console) {
  const Options options = ParseOptions(args, "delete", {"v", "ve", "va", "f"});
  ExpectPositional(options, 1, "KEY");
  const KeyArg key = ParseKeyArg(options.positional[0]);
  const bool whole_key = !options.v && !options.ve && !options.va;
  if (whole_key && key.names.empty()) throw Failure{"A root key cannot be deleted."};
  const std::string name = options.v.value_or("");
  RegKeyNode tree;
  std::string path;
  const RegKeyNode& node = ExistingKey(key, tree, path);
  const bool one_value = options.v || options.ve;
  if (one_value && node.FindValue(name) == nullptr)
    throw Failure{"The value " + ShownName(name) + " does not exist in " + path + "."};
  if (!options.f) {
    if (one_value)
      Confirm(console, "Delete the value " + ShownName(name) + " of " + path, "/f");
    else if (options.va)
      Confirm(console, "Delete every value of " + path, "/f");
    else
      Confirm(console, "Permanently delete the key " + path + " and everything below it", "/f");
  }
  const RegResult<> status = ModifyHive(key.root, [&](RegKeyNode& root, bool& changed) {
    const std::int64_t now = FileTimeNow();
    if (whole_key) {
      changed = true;
      return RemoveKey(root, key.names, true, now);
    }
    const RegResult<> gone(RegCode::kNotFound, "no such key or value");
    RegKeyNode* target = FindKey(root, key.names);
    if (target == nullptr) return gone;
    if (options.va)
      target->values.clear();
    else if (!RemoveValue(*target, name))
      return gone;
    target->last_write = now;
    changed = true;
    return RegOk();
  });
  if (status.code() == RegCode::kNotFound)
    throw Failure{"The key or value was deleted by someone else meanwhile."};
  Check(status);
  console.out << "The operation completed successfully.\n";
  return 0;
}

// Whether `target` is one of the registry's own files: anything in its folder (hives, their
// locks and new copies), or a hive under another name (a hard link).
bool IsRegistryFile(const FileTarget& target) {
  struct stat st {};
  const std::filesystem::path folder = HivePath(kHKeyLocalMachine).parent_path();
  const std::size_t slash = target.path.rfind('/');
  const std::string parent = slash == 0 ? "/" : target.path.substr(0, slash);
  struct stat parent_st {};
  if (::stat(folder.c_str(), &st) == 0 && ::stat(parent.c_str(), &parent_st) == 0 &&
      st.st_dev == parent_st.st_dev && st.st_ino == parent_st.st_ino)
    return true;
  if (!target.exists) return false;
  for (std::uint32_t root = kHKeyClassesRoot; root <= kHKeyCurrentConfig; ++root) {
    if (RootKeyName(root).empty()) continue;
    if (::stat(HivePath(root).c_str(), &st) == 0 && st.st_dev == target.device &&
        st.st_ino == target.inode)
      return true;
  }
  return false;
}

int Export(const std::vector<std::string>& args, RegConsole& console) {
  const Options options = ParseOptions(args, "export", {"y"});
  ExpectPositional(options, 2, "KEY and FILE");
  const KeyArg key = ParseKeyArg(options.positional[0]);
  const std::string& file = options.positional[1];
  RegKeyNode tree;
  std::string path;
  const RegKeyNode& node = ExistingKey(key, tree, path);
  // Judged before any question and any open: a link another user planted, a device or a pipe
  // is refused without touching it, and so is the registry's own file.
  FileTarget target;
  if (const std::string why = JudgeTarget(file, target); !why.empty())
    throw Failure{"Cannot write " + file + ": " + why + "."};
  if (IsRegistryFile(target))
    throw Failure{"Cannot write " + file +
                  ": it is one of the registry's own files; export to a file elsewhere."};
  if (!options.y && target.exists)
    Confirm(console, "The file " + file + " exists, overwrite", "/y");
  std::string text(kRegedit4Header);
  text += '\n';
  AppendKeyText(text, path, node);
  // Written beside the file and renamed over it: a reader finds the old export or the new one.
  if (const std::string why = ReplaceFile(file, "", text); !why.empty())
    throw Failure{"Cannot write " + file + ": " + why + "."};
  console.out << "The operation completed successfully.\n";
  return 0;
}

struct ImportKey {
  const RegTextKey* entry;
  std::vector<std::string> names;
};

int Import(const std::vector<std::string>& args, RegConsole& console) {
  const Options options = ParseOptions(args, "import", {});
  ExpectPositional(options, 1, "FILE");
  const std::string& file = options.positional[0];
  const RegResult<std::string> bytes = ReadRegFile(file);
  if (!bytes) {
    std::string reason = bytes.detail();  // "cannot read FILE: why"
    if (!reason.empty()) reason[0] = 'C';
    throw Failure{reason + "."};
  }
  const RegTextParse parse = ParseRegText(*bytes);
  auto at = [&](int line) {
    return file + (line > 0 ? " line " + std::to_string(line) : "") + ": ";
  };
  if (parse.error) throw Failure{at(parse.error->line) + parse.error->message + "."};

  // Everything is checked before anything changes.
  std::map<std::uint32_t, std::vector<ImportKey>> by_root;
  std::vector<std::uint32_t> root_order;
  std::vector<std::string> warnings;
  for (const RegTextKey& entry : parse.document.keys) {
    FullKeyPath path = SplitFullKeyPath(entry.path);
    const auto root = ParseRootKeyName(path.root);
    if (!root)
      throw Failure{at(entry.line) + "unknown root key \"" + std::string(path.root) + "\"."};
    auto& names = path.names;
    if (!names) throw Failure{at(entry.line) + names.detail() + "."};
    if (entry.remove && names->empty())
      throw Failure{at(entry.line) + "a root key cannot be deleted."};
    for (const RegTextValue& value : entry.values) {
      if (value.name.size() > kMaxValueNameLength)
        throw Failure{at(value.line) + "a value name is at most 16383 bytes long."};
      if (!value.remove && !value.text)
        warnings.push_back(at(value.line) + "skipped " + ShownName(value.name) +
                           ", a value of type " + value.type + "; only string values are stored.");
    }
    if (!by_root.contains(*root)) root_order.push_back(*root);
    by_root[*root].push_back(ImportKey{&entry, std::move(*names)});
  }
  for (const std::string& warning : warnings) console.err << "WARNING: " << warning << "\n";

  // Every hive the file names is locked and read before any is written: one that does not parse
  // stops the import with all of them as they were.
  Check(ModifyHives(root_order, [&](std::uint32_t root, RegKeyNode& tree, bool& changed) {
    const std::int64_t now = FileTimeNow();
    RegTreeBuilder builder(std::move(tree));
    for (const ImportKey& item : by_root[root]) {
      changed = true;
      if (item.entry->remove) {
        builder.Remove(item.names, now);  // a key that is not there is gone already
        continue;
      }
      const std::size_t key = builder.Create(item.names, true, now);
      RegKeyNode& node = builder.Key(key);
      if (item.entry->class_name) node.class_name = *item.entry->class_name;
      node.last_write = now;
      for (const RegTextValue& value : item.entry->values) {
        if (value.remove)
          builder.RemoveValue(key, value.name);
        else if (value.text)
          builder.SetValue(key, value.name, *value.text + '\0');
      }
    }
    tree = builder.Take();
    return RegOk();
  }));
  console.out << "The operation completed successfully.\n";
  return 0;
}

}  // namespace

int RunRegCommand(const std::vector<std::string>& args, RegConsole& console) {
  if (args.empty()) {
    console.err << kUsage;
    return 1;
  }
  const std::string operation = Lower(args[0]);
  if (operation == "--help" || operation == "-h" || operation == "/?" || operation == "help") {
    console.out << kUsage;
    return 0;
  }
  try {
    if (operation == "query") return Query(args, console);
    if (operation == "add") return Add(args, console);
    if (operation == "delete") return Delete(args, console);
    if (operation == "export") return Export(args, console);
    if (operation == "import") return Import(args, console);
    throw Failure{"Unknown operation \"" + args[0] +
                  "\"; use query, add, delete, export or import (--help tells more)."};
  } catch (const Failure& failure) {
    console.err << "ERROR: " << failure.message << "\n";
    return 1;
  }
}

}  // namespace serivane::tools
