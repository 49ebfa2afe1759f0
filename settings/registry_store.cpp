#include "settings/registry_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "common/errno_text.h"
#include "common/paths.h"
#include "settings/reg_text.h"

namespace serivane::settings {

namespace {

struct RootName {
  std::uint32_t root;
  std::string_view long_name;
  std::string_view short_name;
};

constexpr std::array<RootName, 5> kRoots{{
    {0x80000000u, "HKEY_CLASSES_ROOT", "HKCR"},
    {0x80000001u, "HKEY_CURRENT_USER", "HKCU"},
    {0x80000002u, "HKEY_LOCAL_MACHINE", "HKLM"},
    {0x80000003u, "HKEY_USERS", "HKU"},
    {0x80000005u, "HKEY_CURRENT_CONFIG", "HKCC"},
}};

thread_local std::string last_error_detail;

RegStatus Fail(RegStatus status, std::string detail) {
  last_error_detail = std::move(detail);
  return status;
}

std::string SystemError(const std::string& what, const std::filesystem::path& path, int error) {
  return what + " " + path.string() + ": " + ErrnoText(error);
}

char FoldCase(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// A file descriptor that closes itself.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

RegKeyNode& EnsureKey(RegKeyNode& tree, const std::vector<std::string>& names, bool touch,
                      std::int64_t now, bool& created) {
  RegKeyNode* key = &tree;
  for (const std::string& name : names) {
    RegKeyNode* next = key->FindSubkey(name);
    if (next == nullptr) {
      if (touch) key->last_write = now;
      key->subkeys.push_back(RegKeyNode{name, {}, touch ? now : 0, {}, {}});
      next = &key->subkeys.back();
      created = true;
    }
    key = next;
  }
  return *key;
}

// The tree a hive text describes. Deletions and values of other types have no place in a hive.
RegStatus BuildTree(std::string_view bytes, std::string_view root_name, const std::string& file,
                    RegKeyNode& tree) {
  tree = RegKeyNode{};
  tree.name = std::string(root_name);
  // A file holding nothing but blank lines (a person emptied it in an editor) is an empty hive.
  if (bytes.find_first_not_of(" \t\r\n") == std::string_view::npos) return RegStatus::kOk;
  RegTextParse parse = ParseRegText(bytes);
  if (parse.error) {
    const std::string where =
        parse.error->line > 0 ? file + " line " + std::to_string(parse.error->line) : file;
    return Fail(RegStatus::kBadHive, where + ": " + parse.error->message);
  }
  auto bad = [&](int line, const std::string& message) {
    return Fail(RegStatus::kBadHive, file + " line " + std::to_string(line) + ": " + message);
  };
  for (const RegTextKey& entry : parse.document.keys) {
    if (entry.remove) return bad(entry.line, "a hive cannot delete a key");
    std::string_view path = entry.path;
    const std::size_t separator = path.find('\\');
    if (!SameRegName(path.substr(0, separator), root_name))
      return bad(entry.line, "key outside of " + std::string(root_name));
    path = separator == std::string_view::npos ? std::string_view{} : path.substr(separator + 1);
    const auto names = SplitKeyPath(path);
    if (!names || (separator != std::string_view::npos && names->empty()))
      return bad(entry.line, "a key name is empty, too long or holds a control character");
    bool created = false;
    RegKeyNode& key = EnsureKey(tree, *names, false, 0, created);
    if (entry.last_write) key.last_write = *entry.last_write;
    if (entry.class_name) key.class_name = *entry.class_name;
    for (const RegTextValue& value : entry.values) {
      if (value.remove || !value.text) return bad(value.line, "a hive holds only string values");
      std::string data = *value.text + '\0';
      if (RegValueNode* existing = key.FindValue(value.name))
        existing->data = std::move(data);
      else
        key.values.push_back(RegValueNode{value.name, std::move(data)});
    }
  }
  return RegStatus::kOk;
}

RegStatus ReadHive(std::uint32_t root, RegKeyNode& tree) {
  const std::string root_name = RootKeyName(root);
  if (root_name.empty()) return Fail(RegStatus::kInvalidHandle, "unknown root key");
  const std::filesystem::path path = HivePath(root);
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) {
      tree = RegKeyNode{};
      tree.name = root_name;
      return RegStatus::kOk;
    }
    return Fail(RegStatus::kIoError, SystemError("cannot open", path, errno));
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Fail(RegStatus::kIoError, SystemError("cannot read", path, errno));
    if (got == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  return BuildTree(bytes, root_name, path.filename().string(), tree);
}

RegStatus WriteAll(int fd, std::string_view bytes, const std::filesystem::path& path) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return Fail(RegStatus::kIoError, SystemError("cannot write", path, errno));
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return RegStatus::kOk;
}

// New file, fsync, rename over the hive, fsync the folder: a crash at any point leaves either
// the old hive or the new one whole.
RegStatus WriteHive(std::uint32_t root, const RegKeyNode& tree) {
  const std::filesystem::path path = HivePath(root);
  std::filesystem::path fresh = path;
  fresh += ".new";
  const std::string text = FormatHive(RootKeyName(root), tree);
  {
    Fd fd(::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (fd.get() < 0) return Fail(RegStatus::kIoError, SystemError("cannot create", fresh, errno));
    if (WriteAll(fd.get(), text, fresh) != RegStatus::kOk) {
      ::unlink(fresh.c_str());
      return RegStatus::kIoError;
    }
    if (::fsync(fd.get()) != 0) {
      const int error = errno;
      ::unlink(fresh.c_str());
      return Fail(RegStatus::kIoError, SystemError("cannot sync", fresh, error));
    }
  }
  if (::rename(fresh.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(fresh.c_str());
    return Fail(RegStatus::kIoError, SystemError("cannot replace", path, error));
  }
  Fd folder(::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0) ::fsync(folder.get());
  return RegStatus::kOk;
}

struct OpenKeyEntry {
  std::uint32_t root;
  std::vector<std::string> names;
};

std::mutex handles_mutex;
std::map<RegHandle, OpenKeyEntry> handles;
RegHandle next_handle = 1;

std::optional<OpenKeyEntry> Resolve(RegHandle handle) {
  std::lock_guard lock(handles_mutex);
  const auto found = handles.find(handle);
  if (found == handles.end()) return std::nullopt;
  return found->second;
}

RegHandle NewHandle(std::uint32_t root, std::vector<std::string> names) {
  std::lock_guard lock(handles_mutex);
  const RegHandle handle = next_handle++;
  handles.emplace(handle, OpenKeyEntry{root, std::move(names)});
  return handle;
}

// Runs `change` on the key of `handle` under the hive lock.
RegStatus ModifyKey(RegHandle handle,
                    const std::function<RegStatus(RegKeyNode& key, bool& changed)>& change) {
  const auto entry = Resolve(handle);
  if (!entry) return Fail(RegStatus::kInvalidHandle, "the key is not open");
  return ModifyHive(entry->root, [&](RegKeyNode& tree, bool& changed) {
    RegKeyNode* key = FindKey(tree, entry->names);
    if (key == nullptr) return Fail(RegStatus::kKeyDeleted, "the key was deleted");
    return change(*key, changed);
  });
}

// Reads the key of `handle` as it is now.
RegStatus ReadKey(RegHandle handle, const std::function<RegStatus(const RegKeyNode& key)>& read) {
  const auto entry = Resolve(handle);
  if (!entry) return Fail(RegStatus::kInvalidHandle, "the key is not open");
  RegKeyNode tree;
  if (const RegStatus status = ReadHive(entry->root, tree); status != RegStatus::kOk) return status;
  const RegKeyNode* key = FindKey(tree, entry->names);
  if (key == nullptr) return Fail(RegStatus::kKeyDeleted, "the key was deleted");
  return read(*key);
}

}  // namespace

RegKeyNode* RegKeyNode::FindSubkey(std::string_view key_name) {
  for (RegKeyNode& key : subkeys)
    if (SameRegName(key.name, key_name)) return &key;
  return nullptr;
}

const RegKeyNode* RegKeyNode::FindSubkey(std::string_view key_name) const {
  return const_cast<RegKeyNode*>(this)->FindSubkey(key_name);
}

RegValueNode* RegKeyNode::FindValue(std::string_view value_name) {
  for (RegValueNode& value : values)
    if (SameRegName(value.name, value_name)) return &value;
  return nullptr;
}

const RegValueNode* RegKeyNode::FindValue(std::string_view value_name) const {
  return const_cast<RegKeyNode*>(this)->FindValue(value_name);
}

std::string RootKeyName(std::uint32_t root) {
  for (const RootName& entry : kRoots)
    if (entry.root == root) return std::string(entry.long_name);
  return {};
}

std::optional<std::uint32_t> ParseRootKeyName(std::string_view name) {
  for (const RootName& entry : kRoots)
    if (SameRegName(name, entry.long_name) || SameRegName(name, entry.short_name))
      return entry.root;
  return std::nullopt;
}

std::filesystem::path RegistryFolder() {
  // The XDG base directory rules say a relative XDG_CONFIG_HOME is to be ignored.
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::filesystem::path base;
  if (config != nullptr && config[0] == '/')
    base = config;
  else
    base = std::filesystem::path(HomeFolder()) / ".config";
  return base / "serivane" / "registry";
}

std::filesystem::path HivePath(std::uint32_t root) {
  return RegistryFolder() / (RootKeyName(root) + ".reg");
}

bool SameRegName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}

std::optional<std::vector<std::string>> SplitKeyPath(std::string_view path) {
  std::vector<std::string> names;
  if (path.empty()) return names;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(path.find('\\', start), path.size());
    const std::string_view name = path.substr(start, end - start);
    if (name.empty() || name.size() > kMaxKeyNameLength) return std::nullopt;
    for (const char c : name)
      if (static_cast<unsigned char>(c) < 32 || c == 127) return std::nullopt;
    names.emplace_back(name);
    if (end == path.size()) break;
    start = end + 1;
  }
  return names;
}

std::string RegLastErrorDetail() {
  return last_error_detail;
}

RegStatus LoadHive(std::uint32_t root, RegKeyNode& tree) {
  return ReadHive(root, tree);
}

RegStatus ModifyHive(std::uint32_t root,
                     const std::function<RegStatus(RegKeyNode& tree, bool& changed)>& change) {
  if (RootKeyName(root).empty()) return Fail(RegStatus::kInvalidHandle, "unknown root key");
  const std::filesystem::path path = HivePath(root);
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  if (error)
    return Fail(RegStatus::kIoError,
                "cannot create " + path.parent_path().string() + ": " + error.message());
  std::filesystem::path lock_path = path;
  lock_path += ".lock";
  Fd lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (lock.get() < 0)
    return Fail(RegStatus::kIoError, SystemError("cannot open", lock_path, errno));
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR)
      return Fail(RegStatus::kIoError, SystemError("cannot lock", lock_path, errno));
  }
  // The lock goes with the descriptor when `lock` closes it.
  RegKeyNode tree;
  if (const RegStatus status = ReadHive(root, tree); status != RegStatus::kOk) return status;
  bool changed = false;
  if (const RegStatus status = change(tree, changed); status != RegStatus::kOk) return status;
  if (!changed) return RegStatus::kOk;
  return WriteHive(root, tree);
}

RegKeyNode* FindKey(RegKeyNode& tree, const std::vector<std::string>& names) {
  RegKeyNode* key = &tree;
  for (const std::string& name : names) {
    key = key->FindSubkey(name);
    if (key == nullptr) return nullptr;
  }
  return key;
}

RegKeyNode& CreateKey(RegKeyNode& tree, const std::vector<std::string>& names, std::int64_t now,
                      bool& created) {
  return EnsureKey(tree, names, true, now, created);
}

void AppendKeyText(std::string& out, const std::string& path, const RegKeyNode& key) {
  out += "\n[" + path + "]\n";
  out += ";last-write=" + FileTimeText(key.last_write);
  if (!key.class_name.empty()) out += " class=\"" + EscapeRegText(key.class_name) + "\"";
  out += '\n';
  for (const RegValueNode& value : key.values) {
    // Only string values are ever stored; their data ends with the terminating NUL.
    std::string_view text = value.data;
    if (!text.empty() && text.back() == '\0') text.remove_suffix(1);
    out += value.name.empty() ? std::string("@") : "\"" + EscapeRegText(value.name) + "\"";
    out += "=\"" + EscapeRegText(text) + "\"\n";
  }
  for (const RegKeyNode& sub : key.subkeys) AppendKeyText(out, path + "\\" + sub.name, sub);
}

std::string FormatHive(std::string_view root_name, const RegKeyNode& tree) {
  std::string out(kRegedit4Header);
  out += '\n';
  AppendKeyText(out, std::string(root_name), tree);
  return out;
}

RegStatus RegOpen(std::uint32_t root, std::string_view path, RegHandle& handle) {
  const auto names = SplitKeyPath(path);
  if (!names) return Fail(RegStatus::kNotFound, "no key can have that name");
  RegKeyNode tree;
  if (const RegStatus status = ReadHive(root, tree); status != RegStatus::kOk) return status;
  if (FindKey(tree, *names) == nullptr) return Fail(RegStatus::kNotFound, "no such key");
  handle = NewHandle(root, *names);
  return RegStatus::kOk;
}

RegStatus RegCreate(std::uint32_t root, std::string_view path, RegHandle& handle) {
  const auto names = SplitKeyPath(path);
  if (!names)
    return Fail(RegStatus::kInvalidParameter,
                "a key name is empty, longer than 255 bytes or holds a control character");
  const RegStatus status = ModifyHive(root, [&](RegKeyNode& tree, bool& changed) {
    CreateKey(tree, *names, FileTimeNow(), changed);
    return RegStatus::kOk;
  });
  if (status != RegStatus::kOk) return status;
  handle = NewHandle(root, *names);
  return RegStatus::kOk;
}

RegStatus RegClose(RegHandle handle) {
  std::lock_guard lock(handles_mutex);
  if (handles.erase(handle) == 0) return Fail(RegStatus::kInvalidHandle, "the key is not open");
  return RegStatus::kOk;
}

RegStatus RegDeleteKey(std::uint32_t root, std::string_view path) {
  const auto names = SplitKeyPath(path);
  if (!names) return Fail(RegStatus::kNotFound, "no key can have that name");
  if (names->empty()) return Fail(RegStatus::kAccessDenied, "a root key cannot be deleted");
  return ModifyHive(root, [&](RegKeyNode& tree, bool& changed) {
    const std::vector<std::string> parent_names(names->begin(), names->end() - 1);
    RegKeyNode* parent = FindKey(tree, parent_names);
    RegKeyNode* key = parent == nullptr ? nullptr : parent->FindSubkey(names->back());
    if (key == nullptr) return Fail(RegStatus::kNotFound, "no such key");
    if (!key->subkeys.empty()) return Fail(RegStatus::kAccessDenied, "the key has subkeys");
    parent->subkeys.erase(parent->subkeys.begin() + (key - parent->subkeys.data()));
    parent->last_write = FileTimeNow();
    changed = true;
    return RegStatus::kOk;
  });
}

RegStatus RegQueryValue(RegHandle handle, std::string_view name, std::string* data,
                        std::uint32_t& size) {
  const std::uint32_t capacity = size;
  return ReadKey(handle, [&](const RegKeyNode& key) {
    const RegValueNode* value = key.FindValue(name);
    if (value == nullptr) return Fail(RegStatus::kNotFound, "no such value");
    size = static_cast<std::uint32_t>(value->data.size());
    if (value->data.size() > capacity)
      return Fail(RegStatus::kMoreData, "the value is larger than the buffer");
    if (data != nullptr) *data = value->data;
    return RegStatus::kOk;
  });
}

RegStatus RegSetString(RegHandle handle, std::string_view name, std::string_view text) {
  return ModifyKey(handle, [&](RegKeyNode& key, bool& changed) {
    std::string data(text);
    data += '\0';
    if (RegValueNode* value = key.FindValue(name))
      value->data = std::move(data);
    else
      key.values.push_back(RegValueNode{std::string(name), std::move(data)});
    key.last_write = FileTimeNow();
    changed = true;
    return RegStatus::kOk;
  });
}

RegStatus RegDeleteValue(RegHandle handle, std::string_view name) {
  return ModifyKey(handle, [&](RegKeyNode& key, bool& changed) {
    const auto found = std::find_if(key.values.begin(), key.values.end(), [&](const auto& value) {
      return SameRegName(value.name, name);
    });
    if (found == key.values.end()) return Fail(RegStatus::kNotFound, "no such value");
    key.values.erase(found);
    key.last_write = FileTimeNow();
    changed = true;
    return RegStatus::kOk;
  });
}

RegStatus RegQueryInfo(RegHandle handle, std::uint32_t class_buffer, RegKeyInfo& info) {
  return ReadKey(handle, [&](const RegKeyNode& key) {
    auto length = [](const std::string& text) { return static_cast<std::int32_t>(text.size()); };
    info.sub_keys = static_cast<std::int32_t>(key.subkeys.size());
    info.values = static_cast<std::int32_t>(key.values.size());
    info.max_sub_key_len = info.max_class_len = 0;
    info.max_value_name_len = info.max_value_len = 0;
    for (const RegKeyNode& sub : key.subkeys) {
      info.max_sub_key_len = std::max(info.max_sub_key_len, length(sub.name));
      info.max_class_len = std::max(info.max_class_len, length(sub.class_name));
    }
    for (const RegValueNode& value : key.values) {
      info.max_value_name_len = std::max(info.max_value_name_len, length(value.name));
      info.max_value_len = std::max(info.max_value_len, length(value.data));
    }
    info.security_descriptor = kSecurityDescriptorSize;
    info.last_write = key.last_write;
    if (key.class_name.size() + 1 > class_buffer)
      return Fail(RegStatus::kMoreData, "the class is larger than the buffer");
    info.class_name = key.class_name;
    return RegStatus::kOk;
  });
}

}  // namespace serivane::settings
