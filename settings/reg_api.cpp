#include "settings/reg_api.h"

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "settings/key_tree.h"
#include "settings/reg_text.h"
#include "settings/registry_store.h"

namespace serivane::settings {

namespace {

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
RegResult<> ModifyKey(RegHandle handle,
                      const std::function<RegResult<>(RegKeyNode& key, bool& changed)>& change) {
  const auto entry = Resolve(handle);
  if (!entry) return {RegCode::kInvalidHandle, "the key is not open"};
  return ModifyHive(entry->root, [&](RegKeyNode& tree, bool& changed) -> RegResult<> {
    RegKeyNode* key = FindKey(tree, entry->names);
    if (key == nullptr) return {RegCode::kKeyDeleted, "the key was deleted"};
    return change(*key, changed);
  });
}

// Reads the key of `handle` as it is now.
RegResult<> ReadKey(RegHandle handle,
                    const std::function<RegResult<>(const RegKeyNode& key)>& read) {
  const auto entry = Resolve(handle);
  if (!entry) return {RegCode::kInvalidHandle, "the key is not open"};
  RegResult<RegKeyNode> tree = LoadHive(entry->root);
  if (!tree) return tree.status();
  const RegKeyNode* key = FindKey(*tree, entry->names);
  if (key == nullptr) return {RegCode::kKeyDeleted, "the key was deleted"};
  return read(*key);
}

}  // namespace

RegResult<RegHandle> RegOpen(std::uint32_t root, std::string_view path) {
  const auto names = SplitKeyPath(path);
  if (!names) return RegResult<>(RegCode::kNotFound, "no key can have that name");
  RegResult<RegKeyNode> tree = LoadHive(root);
  if (!tree) return tree.status();
  if (FindKey(*tree, *names) == nullptr) return RegResult<>(RegCode::kNotFound, "no such key");
  return NewHandle(root, *names);
}

RegResult<RegHandle> RegCreate(std::uint32_t root, std::string_view path) {
  const auto names = SplitKeyPath(path);
  if (!names) return names.status();
  RegResult<> created = ModifyHive(root, [&](RegKeyNode& tree, bool& changed) {
    CreateKey(tree, *names, FileTimeNow(), changed);
    return RegOk();
  });
  if (!created) return created;
  return NewHandle(root, *names);
}

RegResult<> RegClose(RegHandle handle) {
  std::lock_guard lock(handles_mutex);
  if (handles.erase(handle) == 0) return {RegCode::kInvalidHandle, "the key is not open"};
  return RegOk();
}

RegResult<> RegDeleteKey(std::uint32_t root, std::string_view path) {
  const auto names = SplitKeyPath(path);
  if (!names) return {RegCode::kNotFound, "no key can have that name"};
  if (names->empty()) return {RegCode::kAccessDenied, "a root key cannot be deleted"};
  return ModifyHive(root, [&](RegKeyNode& tree, bool& changed) {
    RegResult<> removed = RemoveKey(tree, *names, false, FileTimeNow());
    changed = removed.ok();
    return removed;
  });
}

RegResult<> RegQueryValue(RegHandle handle, std::string_view name, std::string* data,
                          std::uint32_t& size) {
  const std::uint32_t capacity = size;
  return ReadKey(handle, [&](const RegKeyNode& key) -> RegResult<> {
    const RegValueNode* value = key.FindValue(name);
    if (value == nullptr) return {RegCode::kNotFound, "no such value"};
    size = static_cast<std::uint32_t>(value->data.size());
    if (value->data.size() > capacity)
      return {RegCode::kMoreData, "the value is larger than the buffer"};
    if (data != nullptr) *data = value->data;
    return RegOk();
  });
}

RegResult<> RegSetString(RegHandle handle, std::string_view name, std::string_view text) {
  return RegSetStrings(handle, {{std::string(name), std::string(text)}});
}

RegResult<> RegSetStrings(RegHandle handle,
                          const std::vector<std::pair<std::string, std::string>>& values) {
  return ModifyKey(handle, [&](RegKeyNode& key, bool& changed) {
    for (const auto& [name, text] : values) SetStringValue(key, name, text);
    key.last_write = FileTimeNow();
    changed = true;
    return RegOk();
  });
}

RegResult<> RegDeleteValue(RegHandle handle, std::string_view name) {
  return ModifyKey(handle, [&](RegKeyNode& key, bool& changed) -> RegResult<> {
    if (!RemoveValue(key, name)) return {RegCode::kNotFound, "no such value"};
    key.last_write = FileTimeNow();
    changed = true;
    return RegOk();
  });
}

}  // namespace serivane::settings
