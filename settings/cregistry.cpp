#include "settings/cregistry.h"

#include <utility>

#include "settings/key_tree.h"
#include "settings/reg_api.h"
#include "settings/registry_store.h"

namespace serivane::settings {

namespace {

// The query buffer of ReadValue and ValueExists: data and terminating NUL must fit, so the
// longest text that reads back is 254 characters.
constexpr std::uint32_t kValueBuffer = 255;

// The failure of a registry call that answered `status`, with the registry's own words.
RegistryError Failure(std::string source, const std::string& description,
                      const RegResult<>& status) {
  RegistryError::Kind kind = RegistryError::Kind::kOther;
  if (status.code() == RegCode::kNotFound || status.code() == RegCode::kKeyDeleted)
    kind = RegistryError::Kind::kMissing;
  else if (status.code() == RegCode::kBadHive || status.code() == RegCode::kIoError)
    kind = RegistryError::Kind::kUnreadable;
  return RegistryError(std::move(source), description, status.detail(), kind);
}

std::string NormalisePath(std::string_view strKey) {
  std::string path(strKey);
  if (!path.empty() && path.front() == '\\') path.erase(0, 1);
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

}  // namespace

CRegistry::CRegistry() = default;

CRegistry::~CRegistry() {
  CloseKey();
}

void CRegistry::OpenKey(std::uint32_t Section, std::string_view strKey, bool blnCreateNew) {
  CloseKey();
  const std::string path = NormalisePath(strKey);
  RegResult<RegHandle> handle = RegOpen(Section, path);
  if (!handle) {
    if (!blnCreateNew)
      throw Failure("CRegistry:OpenKey", "Failed to open key " + path + ".", handle.status());
    handle = RegCreate(Section, path);
    if (!handle)
      throw Failure("CRegistry:OpenKey", "Failed to create key " + path + ".", handle.status());
  }
  key_open_ = true;
  key_handle_ = *handle;
  root_key_ = Section;
  current_key_ = path;
}

void CRegistry::DeleteKey() {
  const std::string path = current_key_;
  CloseKey();
  if (const RegResult<> status = RegDeleteKey(root_key_, path); !status)
    throw Failure("CRegistry:DeleteKey", "Failed to delete key " + path + ".", status);
}

void CRegistry::CloseKey() {
  if (!key_open_) return;
  // A handle this object opened is always known to the table.
  static_cast<void>(RegClose(key_handle_));
  key_handle_ = 0;
  key_open_ = false;
  current_key_.clear();
}

std::string CRegistry::ReadValue(std::string_view strValueName) {
  if (!key_open_) throw RegistryError("CRegistry:ReadValue", "No key is currently open.");
  std::string data;
  std::uint32_t size = kValueBuffer;
  if (const RegResult<> status = RegQueryValue(key_handle_, strValueName, &data, size); !status)
    throw Failure("CRegistry:ReadValue",
                  "Failed to read value " + std::string(strValueName) + " from Registry.", status);
  if (!data.empty()) data.pop_back();
  return data;
}

void CRegistry::WriteValue(std::string_view strValueName, std::string_view strNewValue) {
  if (strNewValue.empty()) strNewValue = " ";
  if (!key_open_) throw RegistryError("CRegistry:WriteValue", "No key is currently open.");
  if (const RegResult<> status = RegSetString(key_handle_, strValueName, strNewValue); !status)
    throw Failure("CRegistry:WriteValue",
                  "Failed to write new value to " + std::string(strValueName) + " from Registry.",
                  status);
}

void CRegistry::WriteValues(const std::vector<std::pair<std::string, std::string>>& values) {
  if (!key_open_) throw RegistryError("CRegistry:WriteValue", "No key is currently open.");
  if (values.empty()) return;
  std::vector<std::pair<std::string, std::string>> stored = values;
  for (auto& [name, text] : stored)
    if (text.empty()) text = " ";
  if (const RegResult<> status = RegSetStrings(key_handle_, stored); !status)
    throw Failure("CRegistry:WriteValue",
                  "Failed to write new value to " + values.front().first + " from Registry.",
                  status);
}

void CRegistry::DeleteValue(std::string_view strValueName) {
  if (!key_open_) throw RegistryError("CRegistry:DeleteValue", "No key is currently open.");
  if (const RegResult<> status = RegDeleteValue(key_handle_, strValueName); !status)
    throw Failure("CRegistry:DeleteValue",
                  "Failed to delete value " + std::string(strValueName) + " from Registry.",
                  status);
}

bool CRegistry::ValueExists(std::string_view strValueName) {
  if (!key_open_) throw RegistryError("CRegistry:ReadValue", "No key is currently open.");
  std::uint32_t size = kValueBuffer;
  return RegQueryValue(key_handle_, strValueName, nullptr, size).ok();
}

std::optional<std::uint32_t> CRegistry::ValueSize(std::string_view strValueName) {
  if (!key_open_) throw RegistryError("CRegistry:ReadValue", "No key is currently open.");
  std::uint32_t size = 0;
  const RegResult<> status = RegQueryValue(key_handle_, strValueName, nullptr, size);
  if (!status && status.code() != RegCode::kMoreData) return std::nullopt;
  return size;
}

std::string CRegistry::CurrentKey() const {
  return current_key_;
}

RegistrySnapshot::RegistrySnapshot() : tree_(std::make_shared<const RegKeyNode>()) {}

RegistrySnapshot::RegistrySnapshot(RegKeyNode tree)
    : tree_(std::make_shared<const RegKeyNode>(std::move(tree))) {}

RegistrySnapshot RegistrySnapshot::Read(std::uint32_t Section, std::string_view strBelow) {
  const auto part = SplitKeyPath(NormalisePath(strBelow));
  RegResult<RegKeyNode> tree =
      part && !part->empty() ? LoadHivePart(Section, *part) : LoadHive(Section);
  if (!tree) throw Failure("CRegistry:ReadValue", "Failed to read the registry.", tree.status());
  return RegistrySnapshot(std::move(*tree));
}

RegistrySnapshot::Key RegistrySnapshot::OpenKey(std::string_view strKey) const {
  const auto names = SplitKeyPath(NormalisePath(strKey));
  if (!names) return Key(nullptr);
  const RegKeyNode* key = tree_.get();
  for (const std::string& name : *names) {
    key = key->FindSubkey(name);
    if (key == nullptr) break;
  }
  return Key(key);
}

std::optional<std::string> RegistrySnapshot::Key::Read(std::string_view strValueName) const {
  const RegValueNode* value = key_ == nullptr ? nullptr : key_->FindValue(strValueName);
  if (value == nullptr || value->data.size() > kValueBuffer) return std::nullopt;
  std::string text = value->data;
  if (!text.empty()) text.pop_back();
  return text;
}

std::optional<std::uint32_t> RegistrySnapshot::Key::Size(std::string_view strValueName) const {
  const RegValueNode* value = key_ == nullptr ? nullptr : key_->FindValue(strValueName);
  if (value == nullptr) return std::nullopt;
  return static_cast<std::uint32_t>(value->data.size());
}

}  // namespace serivane::settings
