#include "settings/cregistry.h"

#include <ctime>

#include "settings/registry_store.h"

namespace serivane::settings {

namespace {

// The query buffer of ReadValue and ValueExists: data and terminating NUL must fit, so the
// longest text that reads back is 254 characters.
constexpr std::uint32_t kValueBuffer = 255;
constexpr std::uint32_t kClassBuffer = 255;

constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kEpochDifference = 11644473600;  // seconds from 1601 to 1970

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
  if (RegOpen(Section, path, handle) != RegStatus::kOk) {
    if (!blnCreateNew)
      throw RegistryError("CRegistry:OpenKey", "Failed to open key " + path + ".",
                          RegLastErrorDetail());
    if (RegCreate(Section, path, handle) != RegStatus::kOk)
      throw RegistryError("CRegistry:OpenKey", "Failed to create key " + path + ".",
                          RegLastErrorDetail());
  }
  key_open_ = true;
  key_handle_ = handle;
  root_key_ = Section;
  current_key_ = path;
}

void CRegistry::DeleteKey() {
  const std::string path = current_key_;
  CloseKey();
  if (RegDeleteKey(root_key_, path) != RegStatus::kOk)
    throw RegistryError("CRegistry:DeleteKey", "Failed to delete key " + path + ".",
                        RegLastErrorDetail());
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
  if (RegQueryValue(key_handle_, strValueName, &data, size) != RegStatus::kOk)
    throw RegistryError("CRegistry:ReadValue",
                        "Failed to read value " + std::string(strValueName) + " from Registry.",
                        RegLastErrorDetail());
  if (!data.empty()) data.pop_back();
  return data;
}

void CRegistry::WriteValue(std::string_view strValueName, std::string_view strNewValue) {
  if (strNewValue.empty()) strNewValue = " ";
  if (!key_open_) throw RegistryError("CRegistry:WriteValue", "No key is currently open.");
  if (RegSetString(key_handle_, strValueName, strNewValue) != RegStatus::kOk)
    throw RegistryError(
        "CRegistry:WriteValue",
        "Failed to write new value to " + std::string(strValueName) + " from Registry.",
        RegLastErrorDetail());
}

void CRegistry::WriteValues(const std::vector<std::pair<std::string, std::string>>& values) {
  if (!key_open_) throw RegistryError("CRegistry:WriteValue", "No key is currently open.");
  if (values.empty()) return;
  std::vector<std::pair<std::string, std::string>> stored = values;
  for (auto& [name, text] : stored)
    if (text.empty()) text = " ";
  if (RegSetStrings(key_handle_, stored) != RegStatus::kOk)
    throw RegistryError("CRegistry:WriteValue",
                        "Failed to write new value to " + values.front().first + " from Registry.",
                        RegLastErrorDetail());
}

void CRegistry::DeleteValue(std::string_view strValueName) {
  if (!key_open_) throw RegistryError("CRegistry:DeleteValue", "No key is currently open.");
  if (RegDeleteValue(key_handle_, strValueName) != RegStatus::kOk)
    throw RegistryError("CRegistry:DeleteValue",
                        "Failed to delete value " + std::string(strValueName) + " from Registry.",
                        RegLastErrorDetail());
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

void CRegistry::RefreshKeyInfo() {
  RegKeyInfo info;
  if (RegQueryInfo(key_handle_, kClassBuffer, info) != RegStatus::kOk)
    throw RegistryError("CRegistry:RefreshKeyInfo", "Failed to retrieve key information.",
                        RegLastErrorDetail());
  class_name_ = info.class_name;
  sub_keys_ = info.sub_keys;
  max_sub_key_len_ = info.max_sub_key_len;
  max_class_len_ = info.max_class_len;
  values_ = info.values;
  max_value_name_len_ = info.max_value_name_len;
  max_value_len_ = info.max_value_len;
  security_descriptor_ = info.security_descriptor;
  last_write_time_ = info.last_write;
}

std::string CRegistry::CurrentKey() const {
  return current_key_;
}

std::string CRegistry::KeyClass() {
  RefreshKeyInfo();
  return class_name_;
}

RegDateTime CRegistry::LastWriteTime() {
  try {
    RefreshKeyInfo();
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
  RefreshKeyInfo();
  return sub_keys_;
}

std::int32_t CRegistry::MaxSubkeyNameLength() {
  RefreshKeyInfo();
  return max_sub_key_len_;
}

std::int32_t CRegistry::MaxClassNameLength() {
  RefreshKeyInfo();
  return max_class_len_;
}

std::int32_t CRegistry::NumOfValues() {
  RefreshKeyInfo();
  return values_;
}

std::int32_t CRegistry::MaxValueNameLength() {
  RefreshKeyInfo();
  return max_value_name_len_;
}

std::int32_t CRegistry::MaxValueLength() {
  RefreshKeyInfo();
  return max_value_len_;
}

std::int32_t CRegistry::SecurityDescriptor() {
  RefreshKeyInfo();
  return security_descriptor_;
}

}  // namespace serivane::settings
