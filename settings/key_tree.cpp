#include "settings/key_tree.h"

#include <algorithm>
#include <array>
#include <utility>

#include "common/text.h"

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

constexpr std::size_t kMaxKeyNameLength = 255;    // bytes of one key name
constexpr std::size_t kMaxKeyDepth = 512;         // key names below the root key
constexpr std::size_t kMaxKeyPathLength = 32767;  // bytes of a path below the root key

}  // namespace

bool SameRegName(std::string_view a, std::string_view b) {
  return EqualFolded(a, b);
}

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

RegResult<std::vector<std::string>> SplitKeyPath(std::string_view path) {
  auto refuse = [](const char* reason) { return RegResult<>(RegCode::kInvalidParameter, reason); };
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
  const std::size_t separator = full.find('\\');
  const std::string_view root = full.substr(0, separator);
  if (separator == std::string_view::npos) return {root, std::vector<std::string>{}};
  RegResult<std::vector<std::string>> names = SplitKeyPath(full.substr(separator + 1));
  if (names && names->empty())
    return {root, RegResult<>(RegCode::kInvalidParameter, "a key name is empty")};
  return {root, std::move(names)};
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

RegResult<> RemoveKey(RegKeyNode& tree, const std::vector<std::string>& names, bool with_subkeys,
                      std::int64_t now) {
  if (names.empty()) return {RegCode::kAccessDenied, "a root key cannot be deleted"};
  RegKeyNode* parent = FindKey(tree, std::vector<std::string>(names.begin(), names.end() - 1));
  RegKeyNode* key = parent == nullptr ? nullptr : parent->FindSubkey(names.back());
  if (key == nullptr) return {RegCode::kNotFound, "no such key"};
  if (!with_subkeys && !key->subkeys.empty())
    return {RegCode::kAccessDenied, "the key has subkeys"};
  parent->subkeys.erase(parent->subkeys.begin() + (key - parent->subkeys.data()));
  parent->last_write = now;
  return RegOk();
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

}  // namespace serivane::settings
