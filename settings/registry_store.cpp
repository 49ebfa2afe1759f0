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
#include <utility>

#include "common/errno_text.h"
#include "common/paths.h"
#include "common/text.h"
#include "common/unique_fd.h"
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

constexpr std::int32_t kSecurityDescriptorSize = 20;
constexpr std::size_t kMaxKeyNameLength = 255;      // bytes of one key name
constexpr std::size_t kMaxKeyDepth = 512;           // key names below the root key
constexpr std::size_t kMaxKeyPathLength = 32767;    // bytes of a path below the root key
constexpr std::size_t kMaxRegFileSize = 16u << 20;  // bytes of a hive or import file

thread_local std::string last_error_detail;

bool SameRegName(std::string_view a, std::string_view b) {
  return EqualFolded(a, b);
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

RegStatus Fail(RegStatus status, std::string detail) {
  last_error_detail = std::move(detail);
  return status;
}

std::string SystemError(const std::string& what, const std::filesystem::path& path, int error) {
  return what + " " + path.string() + ": " + ErrnoText(error);
}

// Whether the key `names` is `part` or below it, or one of its parents.
bool OnTheWay(const std::vector<std::string>& names, const std::vector<std::string>& part) {
  const std::size_t common = std::min(names.size(), part.size());
  for (std::size_t i = 0; i < common; ++i)
    if (!SameRegName(names[i], part[i])) return false;
  return true;
}

// The tree a hive text describes. Deletions and values of other types have no place in a hive.
// With `part`, every key is checked but only `part`, its parents and the keys below it are kept.
RegStatus BuildTree(std::string_view bytes, std::string_view root_name, const std::string& file,
                    RegKeyNode& tree, const std::vector<std::string>* part = nullptr) {
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
  RegTreeBuilder builder(std::move(tree));
  for (const RegTextKey& entry : parse.document.keys) {
    if (entry.remove) return bad(entry.line, "a hive cannot delete a key");
    const FullKeyPath path = SplitFullKeyPath(entry.path);
    if (!SameRegName(path.root, root_name))
      return bad(entry.line, "key outside of " + std::string(root_name));
    if (!path.names) return bad(entry.line, path.why);
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
  tree = builder.Take();
  return RegStatus::kOk;
}

RegStatus ReadHive(std::uint32_t root, RegKeyNode& tree,
                   const std::vector<std::string>* part = nullptr) {
  const std::string root_name = RootKeyName(root);
  if (root_name.empty()) return Fail(RegStatus::kInvalidHandle, "unknown root key");
  const std::filesystem::path path = HivePath(root);
  std::string bytes;
  const RegStatus status = ReadRegFile(path, bytes);
  if (status == RegStatus::kNotFound) {
    tree = RegKeyNode{};
    tree.name = root_name;
    return RegStatus::kOk;
  }
  if (status != RegStatus::kOk) return status;
  return BuildTree(bytes, root_name, path.filename().string(), tree, part);
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

std::filesystem::path NewHivePath(std::uint32_t root) {
  std::filesystem::path fresh = HivePath(root);
  fresh += ".new";
  return fresh;
}

// The first half of a hive write: the new hive whole and synced in <hive>.new. On failure the
// .new file is gone again.
RegStatus WriteNewHive(std::uint32_t root, const RegKeyNode& tree) {
  const std::filesystem::path fresh = NewHivePath(root);
  const std::string text = FormatHive(RootKeyName(root), tree);
  // A hive the reader would refuse must not be written in the first place.
  if (text.size() > kMaxRegFileSize)
    return Fail(RegStatus::kIoError, "the change would make " + HivePath(root).filename().string() +
                                         " larger than 16 MiB; nothing was written");
  UniqueFd fd(::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
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
  return RegStatus::kOk;
}

// The second half: rename over the hive, so a crash at any point leaves either the old hive or
// the new one whole.
RegStatus ReplaceHive(std::uint32_t root) {
  const std::filesystem::path path = HivePath(root);
  const std::filesystem::path fresh = NewHivePath(root);
  if (::rename(fresh.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(fresh.c_str());
    return Fail(RegStatus::kIoError, SystemError("cannot replace", path, error));
  }
  return RegStatus::kOk;
}

void SyncFolder(const std::filesystem::path& folder) {
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) ::fsync(fd.get());
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

std::filesystem::path HivePath(std::uint32_t root) {
  return RegistryFolder() / (RootKeyName(root) + ".reg");
}

std::optional<std::vector<std::string>> SplitKeyPath(std::string_view path, std::string* why) {
  auto refuse = [&](const char* reason) -> std::optional<std::vector<std::string>> {
    if (why != nullptr) *why = reason;
    return std::nullopt;
  };
  std::vector<std::string> names;
  if (path.empty()) return names;
  // Both limits are checked before any name is copied, so a hostile path costs no more memory
  // than its own bytes.
  if (path.size() > kMaxKeyPathLength)
    return refuse("a key path is longer than 32767 bytes below its root key");
  if (static_cast<std::size_t>(std::count(path.begin(), path.end(), '\\')) >= kMaxKeyDepth)
    return refuse("a key is nested more than 512 levels deep");
  for (const std::string_view name : Split(path, '\\')) {
    if (name.empty()) return refuse("a key name is empty");
    if (name.size() > kMaxKeyNameLength) return refuse("a key name is longer than 255 bytes");
    for (const char c : name)
      if (static_cast<unsigned char>(c) < 32 || c == 127)
        return refuse("a key name holds a control character");
    names.emplace_back(name);
  }
  return names;
}

FullKeyPath SplitFullKeyPath(std::string_view full) {
  FullKeyPath split;
  const std::size_t separator = full.find('\\');
  split.root = full.substr(0, separator);
  if (separator == std::string_view::npos) {
    split.names.emplace();
    return split;
  }
  split.names = SplitKeyPath(full.substr(separator + 1), &split.why);
  if (split.names && split.names->empty()) {
    split.names.reset();
    split.why = "a key name is empty";
  }
  return split;
}

RegStatus ReadRegFile(const std::filesystem::path& path, std::string& bytes) {
  // O_NONBLOCK: a FIFO opens at once instead of waiting for a writer, and is then refused.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) {
    const int error = errno;
    return Fail(error == ENOENT ? RegStatus::kNotFound : RegStatus::kIoError,
                SystemError("cannot read", path, error));
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0)
    return Fail(RegStatus::kIoError, SystemError("cannot read", path, errno));
  if (!S_ISREG(info.st_mode))
    return Fail(RegStatus::kIoError, "cannot read " + path.string() + ": not a regular file");
  auto too_large = [&] {
    return Fail(RegStatus::kIoError,
                "cannot read " + path.string() + ": larger than 16 MiB (16777216 bytes)");
  };
  if (static_cast<std::uintmax_t>(info.st_size) > kMaxRegFileSize) return too_large();
  bytes.clear();
  bytes.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Fail(RegStatus::kIoError, SystemError("cannot read", path, errno));
    if (got == 0) break;
    // The file may grow while it is read.
    if (bytes.size() + static_cast<std::size_t>(got) > kMaxRegFileSize) return too_large();
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  return RegStatus::kOk;
}

std::string RegLastErrorDetail() {
  return last_error_detail;
}

RegStatus LoadHive(std::uint32_t root, RegKeyNode& tree) {
  return ReadHive(root, tree);
}

RegStatus LoadHivePart(std::uint32_t root, const std::vector<std::string>& part, RegKeyNode& tree) {
  return ReadHive(root, tree, &part);
}

RegStatus ParseHive(std::string_view bytes, std::uint32_t root, const std::string& file_name,
                    RegKeyNode& tree) {
  const std::string root_name = RootKeyName(root);
  if (root_name.empty()) return Fail(RegStatus::kInvalidHandle, "unknown root key");
  return BuildTree(bytes, root_name, file_name, tree);
}

RegStatus ModifyHive(std::uint32_t root,
                     const std::function<RegStatus(RegKeyNode& tree, bool& changed)>& change) {
  return ModifyHives({root}, [&](std::uint32_t, RegKeyNode& tree, bool& changed) {
    return change(tree, changed);
  });
}

RegStatus ModifyHives(
    const std::vector<std::uint32_t>& roots,
    const std::function<RegStatus(std::uint32_t root, RegKeyNode& tree, bool& changed)>& change) {
  for (const std::uint32_t root : roots)
    if (RootKeyName(root).empty()) return Fail(RegStatus::kInvalidHandle, "unknown root key");
  const std::filesystem::path folder = RegistryFolder();
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error)
    return Fail(RegStatus::kIoError, "cannot create " + folder.string() + ": " + error.message());

  // Locks in the order of the root keys' numbers, whatever order the caller names them in.
  std::vector<std::uint32_t> lock_order = roots;
  std::sort(lock_order.begin(), lock_order.end());
  lock_order.erase(std::unique(lock_order.begin(), lock_order.end()), lock_order.end());
  std::vector<UniqueFd> locks;
  locks.reserve(lock_order.size());
  for (const std::uint32_t root : lock_order) {
    std::filesystem::path lock_path = HivePath(root);
    lock_path += ".lock";
    locks.emplace_back(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOCTTY | O_CLOEXEC, 0600));
    if (locks.back().get() < 0)
      return Fail(RegStatus::kIoError, SystemError("cannot open", lock_path, errno));
    while (::flock(locks.back().get(), LOCK_EX) != 0) {
      if (errno != EINTR)
        return Fail(RegStatus::kIoError, SystemError("cannot lock", lock_path, errno));
    }
    // Every writer holds this lock from creating <hive>.new to renaming it, so one found now was
    // left by a writer that died in between. Its hive never took effect.
    ::unlink(NewHivePath(root).c_str());
  }
  // The locks go with the descriptors when `locks` closes them.

  std::map<std::uint32_t, RegKeyNode> trees;
  for (const std::uint32_t root : lock_order)
    if (const RegStatus status = ReadHive(root, trees[root]); status != RegStatus::kOk)
      return status;
  std::vector<std::uint32_t> changed_roots;
  for (const std::uint32_t root : roots) {
    bool changed = false;
    if (const RegStatus status = change(root, trees[root], changed); status != RegStatus::kOk)
      return status;
    if (changed &&
        std::find(changed_roots.begin(), changed_roots.end(), root) == changed_roots.end())
      changed_roots.push_back(root);
  }
  for (std::size_t i = 0; i < changed_roots.size(); ++i) {
    if (const RegStatus status = WriteNewHive(changed_roots[i], trees[changed_roots[i]]);
        status != RegStatus::kOk) {
      for (std::size_t j = 0; j < i; ++j) ::unlink(NewHivePath(changed_roots[j]).c_str());
      return status;
    }
  }
  RegStatus result = RegStatus::kOk;
  for (const std::uint32_t root : changed_roots) {
    // A rename that fails leaves the rest to go on: the hives already renamed cannot be taken
    // back, and the ones after it are as whole as they were.
    if (const RegStatus status = ReplaceHive(root);
        status != RegStatus::kOk && result == RegStatus::kOk)
      result = status;
  }
  if (!changed_roots.empty()) SyncFolder(folder);
  return result;
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
  RegKeyNode* key = &tree;
  for (const std::string& name : names) {
    RegKeyNode* next = key->FindSubkey(name);
    if (next == nullptr) {
      key->last_write = now;
      key->subkeys.push_back(RegKeyNode{name, {}, now, {}, {}});
      next = &key->subkeys.back();
      created = true;
    }
    key = next;
  }
  return *key;
}

void SetStringValue(RegKeyNode& key, std::string_view name, std::string_view text) {
  std::string data = std::string(text) + '\0';
  if (RegValueNode* value = key.FindValue(name))
    value->data = std::move(data);
  else
    key.values.push_back(RegValueNode{std::string(name), std::move(data)});
}

bool RemoveValue(RegKeyNode& key, std::string_view name) {
  const auto found = std::find_if(key.values.begin(), key.values.end(),
                                  [&](const auto& value) { return SameRegName(value.name, name); });
  if (found == key.values.end()) return false;
  key.values.erase(found);
  return true;
}

RegStatus RemoveKey(RegKeyNode& tree, const std::vector<std::string>& names, bool with_subkeys,
                    std::int64_t now) {
  if (names.empty()) return Fail(RegStatus::kAccessDenied, "a root key cannot be deleted");
  RegKeyNode* parent = FindKey(tree, std::vector<std::string>(names.begin(), names.end() - 1));
  RegKeyNode* key = parent == nullptr ? nullptr : parent->FindSubkey(names.back());
  if (key == nullptr) return Fail(RegStatus::kNotFound, "no such key");
  if (!with_subkeys && !key->subkeys.empty())
    return Fail(RegStatus::kAccessDenied, "the key has subkeys");
  parent->subkeys.erase(parent->subkeys.begin() + (key - parent->subkeys.data()));
  parent->last_write = now;
  return RegStatus::kOk;
}

std::size_t RegTreeBuilder::SlotHash::operator()(const Slot& slot) const {
  return std::hash<std::string>()(slot.folded_name) ^ (slot.parent * 0x9E3779B97F4A7C15ull);
}

RegTreeBuilder::RegTreeBuilder(RegKeyNode tree) {
  // Flattened breadth first, without recursion: every key comes after its parent.
  nodes_.push_back(Node{std::move(tree), {}, {}, {}, false});
  for (std::size_t index = 0; index < nodes_.size(); ++index) {
    std::vector<RegKeyNode> subkeys = std::move(nodes_[index].key.subkeys);
    nodes_[index].key.subkeys.clear();
    for (RegValueNode& value : nodes_[index].key.values) {
      std::string name = value.name;
      SetValue(index, name, std::move(value.data));
    }
    nodes_[index].key.values.clear();
    for (RegKeyNode& sub : subkeys)
      if (Child(index, sub.name) == kNone) Add(index, std::move(sub));
  }
}

std::size_t RegTreeBuilder::Child(std::size_t parent, std::string_view name) const {
  std::string folded = Lower(name);
  const auto found = subkeys_.find(Slot{parent, std::move(folded)});
  return found == subkeys_.end() ? kNone : found->second;
}

std::size_t RegTreeBuilder::Add(std::size_t parent, RegKeyNode key) {
  std::string folded = Lower(key.name);
  const std::size_t index = nodes_.size();
  nodes_.push_back(Node{std::move(key), {}, {}, {}, false});
  nodes_[parent].children.push_back(index);
  subkeys_.emplace(Slot{parent, std::move(folded)}, index);
  return index;
}

std::size_t RegTreeBuilder::Find(const std::vector<std::string>& names) const {
  std::size_t key = 0;
  for (const std::string& name : names) {
    key = Child(key, name);
    if (key == kNone) return kNone;
  }
  return key;
}

std::size_t RegTreeBuilder::Create(const std::vector<std::string>& names, bool touch,
                                   std::int64_t now) {
  std::size_t key = 0;
  for (const std::string& name : names) {
    std::size_t next = Child(key, name);
    if (next == kNone) {
      if (touch) nodes_[key].key.last_write = now;
      next = Add(key, RegKeyNode{name, {}, touch ? now : 0, {}, {}});
    }
    key = next;
  }
  return key;
}

bool RegTreeBuilder::Remove(const std::vector<std::string>& names, std::int64_t now) {
  if (names.empty()) return false;
  const std::size_t key = Find(names);
  if (key == kNone) return false;
  const std::size_t parent = Find(std::vector<std::string>(names.begin(), names.end() - 1));
  // The keys below stay in the list, unreachable; Take leaves them out with their parent.
  nodes_[key].removed = true;
  std::string folded = Lower(names.back());
  subkeys_.erase(Slot{parent, std::move(folded)});
  nodes_[parent].key.last_write = now;
  return true;
}

RegKeyNode& RegTreeBuilder::Key(std::size_t key) {
  return nodes_[key].key;
}

void RegTreeBuilder::SetValue(std::size_t key, const std::string& name, std::string data) {
  std::string folded = Lower(name);
  Node& node = nodes_[key];
  const auto [slot, added] = values_.emplace(Slot{key, std::move(folded)}, node.values.size());
  if (!added) {
    node.values[slot->second].data = std::move(data);
    return;
  }
  node.values.push_back(RegValueNode{name, std::move(data)});
  node.live_values.push_back(true);
}

void RegTreeBuilder::RemoveValue(std::size_t key, std::string_view name) {
  std::string folded = Lower(name);
  const auto found = values_.find(Slot{key, std::move(folded)});
  if (found == values_.end()) return;
  nodes_[key].live_values[found->second] = false;
  values_.erase(found);
}

RegKeyNode RegTreeBuilder::Take() {
  // From the last key to the first: every key's subkeys are complete before it is moved into
  // its parent.
  for (std::size_t index = nodes_.size(); index-- > 0;) {
    Node& node = nodes_[index];
    for (std::size_t i = 0; i < node.values.size(); ++i)
      if (node.live_values[i]) node.key.values.push_back(std::move(node.values[i]));
    for (const std::size_t child : node.children)
      if (!nodes_[child].removed) node.key.subkeys.push_back(std::move(nodes_[child].key));
  }
  RegKeyNode tree = std::move(nodes_.front().key);
  nodes_.clear();
  subkeys_.clear();
  values_.clear();
  return tree;
}

void ForEachKey(const std::string& path, const RegKeyNode& key,
                const std::function<void(const std::string& path, const RegKeyNode& key)>& visit) {
  struct Level {
    const RegKeyNode* key;
    std::size_t next_subkey;
    std::size_t path_size;
  };
  std::string current = path;
  std::vector<Level> levels{{&key, 0, current.size()}};
  visit(current, key);
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next_subkey == level.key->subkeys.size()) {
      levels.pop_back();
      continue;
    }
    const RegKeyNode& sub = level.key->subkeys[level.next_subkey++];
    current.resize(level.path_size);
    current += '\\';
    current += sub.name;
    visit(current, sub);
    levels.push_back(Level{&sub, 0, current.size()});
  }
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
  std::string why;
  const auto names = SplitKeyPath(path, &why);
  if (!names) return Fail(RegStatus::kInvalidParameter, why);
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
    const RegStatus status = RemoveKey(tree, *names, false, FileTimeNow());
    changed = status == RegStatus::kOk;
    return status;
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
  return RegSetStrings(handle, {{std::string(name), std::string(text)}});
}

RegStatus RegSetStrings(RegHandle handle,
                        const std::vector<std::pair<std::string, std::string>>& values) {
  return ModifyKey(handle, [&](RegKeyNode& key, bool& changed) {
    for (const auto& [name, text] : values) SetStringValue(key, name, text);
    key.last_write = FileTimeNow();
    changed = true;
    return RegStatus::kOk;
  });
}

RegStatus RegDeleteValue(RegHandle handle, std::string_view name) {
  return ModifyKey(handle, [&](RegKeyNode& key, bool& changed) {
    if (!RemoveValue(key, name)) return Fail(RegStatus::kNotFound, "no such value");
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
