// How the settings layer says that something failed.
//
// At its public calls (CRegistry, RegistrySnapshot, LoadSettings and SaveSettings) the layer
// throws RegistryError (cregistry.h), whose kind tells a missing key or value from a registry
// that cannot be used and from a refusal.
//
// Inside (the hive format, the tree, the store and the Reg* calls) nothing throws for a failure
// the registry can have: every call that can fail answers a RegResult, which holds the registry's
// error code and a short description naming what failed ("HKEY_LOCAL_MACHINE.reg line 7: missing
// closing quote"), or, on success, the answer itself (RegResult<T>). The result must be looked
// at: it is [[nodiscard]]. No empty string, optional or thread-local text stands for an error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace serivane::settings {

// The registry's own error codes for the failures it can have.
enum class RegCode : std::int32_t {
  kOk = 0,
  kNotFound = 2,           // key or value does not exist
  kAccessDenied = 5,       // delete a key that has subkeys, or a root key
  kInvalidHandle = 6,      // handle closed, never opened, or an unknown root key
  kInvalidParameter = 87,  // a key name the registry cannot hold
  kMoreData = 234,         // the data is larger than the caller's buffer
  kBadHive = 1009,         // a hive (or any registry text) does not parse; it is left as it is
  kIoError = 1016,         // the hive could not be read or written
  kKeyDeleted = 1018,      // the handle's key was deleted
};

template <typename T = void>
class RegResult;

// Success, or a failure with its code and description.
template <>
class [[nodiscard]] RegResult<void> {
 public:
  RegResult() = default;  // success
  RegResult(RegCode code, std::string detail) : code_(code), detail_(std::move(detail)) {}

  bool ok() const { return code_ == RegCode::kOk; }
  explicit operator bool() const { return ok(); }
  RegCode code() const { return code_; }
  // What failed, for messages; empty on success.
  const std::string& detail() const { return detail_; }

 private:
  RegCode code_ = RegCode::kOk;
  std::string detail_;
};

// The answer of a call, or why there is none. A failed RegResult<> converts to any RegResult<T>.
template <typename T>
class [[nodiscard]] RegResult {
 public:
  RegResult(T value) : value_(std::move(value)) {}  // NOLINT: an answer is a success
  RegResult(RegResult<> failure) : status_(std::move(failure)) {}

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  RegCode code() const { return status_.code(); }
  const std::string& detail() const { return status_.detail(); }
  // The failure alone, to hand on.
  const RegResult<>& status() const { return status_; }

  // The answer; only on success.
  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }

 private:
  RegResult<> status_;
  std::optional<T> value_;
};

inline RegResult<> RegOk() {
  return {};
}

}  // namespace serivane::settings
