#include "settings/cregistry.h"

#include <ctime>
#include <utility>

#include "settings/registry_store.h"

namespace serivane::settings {

namespace {

// The query buffer of ReadValue and ValueExists: data and terminating NUL must fit, so the
// longest text that reads back is 254 characters.
constexpr std::uint32_t kValueBuffer = 255;
constexpr std::uint32_t kClassBuffer = 255;

constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kEpochDifference = 11644473600;  // seconds from 1601 to 1970

// The failure of a registry call that answered `status`, with the registry's own words.
RegistryError Failure(std::string source, const std::string& description, RegStatus status) {
  RegistryError::Kind kind = RegistryError::Kind::kOther;
  if (status == RegStatus::kNotFound || status == RegStatus::kKeyDeleted)
    kind = RegistryError::Kind::kMissing;
  else if (status == RegStatus::kBadHive || status == RegStatus::kIoError)
    kind = RegistryError::Kind::kUnreadable;
  return RegistryError(std::move(source), description, RegLastErrorDetail(), kind);
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
  RegHandle handle = 0;
  if (const RegStatus status = RegOpen(Section, path, handle); status != RegStatus::kOk) {
    if (!blnCreateNew)
      throw Failure("CRegistry:OpenKey", "Failed to open key " + path + ".", status);
    if (const RegStatus created = RegCreate(Section, path, handle); created != RegStatus::kOk)
      throw Failure("CRegistry:OpenKey", "Failed to create key " + path + ".", created);
  }
  key_open_ = true;
  key_handle_ = handle;
  root_key_ = Section;
  current_key_ = path;
}

void CRegistry::DeleteKey() {
  const std::string path = current_key_;
  CloseKey();
  if (const RegStatus status = RegDeleteKey(root_key_, path); status != RegStatus::kOk)
    throw Failure("CRegistry:DeleteKey", "Failed to delete key " + path + ".", status);
}

void CRegistry::CloseKey() {
  if (!key_open_) return;
  RegClose(key_handle_);
  key_handle_ = 0;
  key_open_ = false;
  current_key_.clear();
}

std::string CRegistry::ReadValue(std::string_view strValueName) {
  if (!key_open_) throw RegistryError("CRegistry:ReadValue", "No key is currently open.");
  std::string data;
  std::uint32_t size = kValueBuffer;
  if (const RegStatus status = RegQueryValue(key_handle_, strValueName, &data, size);
      status != RegStatus::kOk)
    throw Failure("CRegistry:ReadValue",
                  "Failed to read value " + std::string(strValueName) + " from Registry.", status);
  if (!data.empty()) data.pop_back();
  return data;
}

void CRegistry::WriteValue(std::string_view strValueName, std::string_view strNewValue) {
  if (strNewValue.empty()) strNewValue = " ";
  if (!key_open_) throw RegistryError("CRegistry:WriteValue", "No key is currently open.");
  if (const RegStatus status = RegSetString(key_handle_, strValueName, strNewValue);
      status != RegStatus::kOk)
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
  if (const RegStatus status = RegSetStrings(key_handle_, stored); status != RegStatus::kOk)
    throw Failure("CRegistry:WriteValue",
                  "Failed to write new value to " + values.front().first + " from Registry.",
                  status);
}

void CRegistry::DeleteValue(std::string_view strValueName) {
  if (!key_open_) throw RegistryError("CRegistry:DeleteValue", "No key is currently open.");
  if (const RegStatus status = RegDeleteValue(key_handle_, strValueName); status != RegStatus::kOk)
    throw Failure("CRegistry:DeleteValue",
                  "Failed to delete value " + std::string(strValueName) + " from Registry.",
                  status);
}

bool CRegistry::ValueExists(std::string_view strValueName) {
  if (!key_open_) throw RegistryError("CRegistry:ReadValue", "No key is currently open.");
  std::uint32_t size = kValueBuffer;
  return RegQueryValue(key_handle_, strValueName, nullptr, size) == RegStatus::kOk;
}

std::optional<std::uint32_t> CRegistry::ValueSize(std::string_view strValueName) {
  if (!key_open_) throw RegistryError("CRegistry:ReadValue", "No key is currently open.");
  std::uint32_t size = 0;
  const RegStatus status = RegQueryValue(key_handle_, strValueName, nullptr, size);
  if (status != RegStatus::kOk && status != RegStatus::kMoreData) return std::nullopt;
  return size;
}

RegKeyInfo CRegistry::QueryKey() {
  RegKeyInfo info;
  if (const RegStatus status = RegQueryInfo(key_handle_, kClassBuffer, info);
      status != RegStatus::kOk)
    throw Failure("CRegistry:RefreshKeyInfo", "Failed to retrieve key information.", status);
  last_write_time_ = info.last_write;
  return info;
}

std::string CRegistry::CurrentKey() const {
  return current_key_;
}

std::string CRegistry::KeyClass() {
  return QueryKey().class_name;
}

RegDateTime CRegistry::LastWriteTime() {
  try {
    QueryKey();
  } catch (const RegistryError&) {
    // The time of the last successful query stands.
  }
  // Before any successful query there is no time to convert; the zero file time is given as
  // it stands rather than shifted into the local zone.
  if (last_write_time_ <= 0) return RegDateTime{1601, 1, 1, 0, 0, 0};
  const auto seconds =
      static_cast<std::time_t>(last_write_time_ / kTicksPerSecond - kEpochDifference);
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return RegDateTime{1601, 1, 1, 0, 0, 0};
  return RegDateTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                     local.tm_hour,        local.tm_min,     local.tm_sec};
}

std::int32_t CRegistry::NumOfSubKeys() {
  return QueryKey().sub_keys;
}

std::int32_t CRegistry::MaxSubkeyNameLength() {
  return QueryKey().max_sub_key_len;
}

std::int32_t CRegistry::MaxClassNameLength() {
  return QueryKey().max_class_len;
}

std::int32_t CRegistry::NumOfValues() {
  return QueryKey().values;
}

std::int32_t CRegistry::MaxValueNameLength() {
  return QueryKey().max_value_name_len;
}

std::int32_t CRegistry::MaxValueLength() {
  return QueryKey().max_value_len;
}

std::int32_t CRegistry::SecurityDescriptor() {
  return QueryKey().security_descriptor;
}

RegistrySnapshot::RegistrySnapshot() : tree_(std::make_shared<const RegKeyNode>()) {}

RegistrySnapshot::RegistrySnapshot(RegKeyNode tree)
    : tree_(std::make_shared<const RegKeyNode>(std::move(tree))) {}

RegistrySnapshot RegistrySnapshot::Read(std::uint32_t Section, std::string_view strBelow) {
  RegKeyNode tree;
  const auto part = SplitKeyPath(NormalisePath(strBelow));
  const RegStatus status =
      part && !part->empty() ? LoadHivePart(Section, *part, tree) : LoadHive(Section, tree);
  if (status != RegStatus::kOk)
    throw Failure("CRegistry:ReadValue", "Failed to read the registry.", status);
  return RegistrySnapshot(std::move(tree));
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
