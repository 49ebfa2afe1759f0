// CRegistry: holds at most one open registry key at a time and reads, writes and deletes string
// values on it and deletes the key, each read from the registry when asked. Every failure throws
// RegistryError (number 0x80040002) with a source such as "CRegistry:OpenKey", a description and
// the kind of failure (reg_result.h tells how the settings layer reports failures).
//
// The registry lives in text files under $XDG_CONFIG_HOME/serivane/registry/ (see
// registry_store.h); every change is written through at once.
//
// One object serves one caller on one thread; there is no locking inside the object (the files
// are locked while they are changed).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace serivane::settings {

// Root keys.
inline constexpr std::uint32_t kHKeyClassesRoot = 0x80000000u;
inline constexpr std::uint32_t kHKeyCurrentUser = 0x80000001u;
inline constexpr std::uint32_t kHKeyLocalMachine = 0x80000002u;
inline constexpr std::uint32_t kHKeyCurrentConfig = 0x80000005u;

class RegistryError : public std::runtime_error {
 public:
  static constexpr std::int32_t kNumber = static_cast<std::int32_t>(0x80040002u);

  // What failed, for callers that treat an absent key or value unlike a registry they cannot use.
  enum class Kind {
    kOther,       // refused: no key open, a key with subkeys, a value too long to read, ...
    kMissing,     // the key or value does not exist, or the open key was deleted meanwhile
    kUnreadable,  // the registry file cannot be read or written, does not parse or is too large
  };

  RegistryError(std::string source, const std::string& description, std::string reason = {},
                Kind kind = Kind::kOther)
      : std::runtime_error(description),
        source_(std::move(source)),
        reason_(std::move(reason)),
        kind_(kind) {}
  std::int32_t number() const { return kNumber; }
  const std::string& source() const { return source_; }
  std::string description() const { return what(); }
  // What the registry below the wrapper said, in the system's words ("cannot open
  // .../HKEY_LOCAL_MACHINE.reg.lock: Is a directory"); empty when the wrapper itself refused.
  // The description stays the wrapper's own text.
  const std::string& reason() const { return reason_; }
  Kind kind() const { return kind_; }

 private:
  std::string source_;
  std::string reason_;
  Kind kind_;
};

struct RegKeyNode;  // key_tree.h

class CRegistry {
 public:
  CRegistry();
  ~CRegistry();  // closes an open key as CloseKey does
  CRegistry(const CRegistry&) = delete;
  CRegistry& operator=(const CRegistry&) = delete;

  void OpenKey(std::uint32_t Section, std::string_view strKey, bool blnCreateNew = false);
  void DeleteKey();
  void CloseKey();
  std::string ReadValue(std::string_view strValueName = {});
  void WriteValue(std::string_view strValueName, std::string_view strNewValue);
  // Writes every (name, text) pair as WriteValue does, in one write of the registry file: all of
  // them or, when it raises, none. The failure names the first value of the list.
  void WriteValues(const std::vector<std::pair<std::string, std::string>>& values);
  void DeleteValue(std::string_view strValueName);
  std::string CurrentKey() const;
  bool ValueExists(std::string_view strValueName);
  // Bytes the value's data takes, its terminating NUL included, also when the data is too large
  // for ReadValue; none when the value does not exist. Raises as ValueExists does.
  std::optional<std::uint32_t> ValueSize(std::string_view strValueName);

 private:
  bool key_open_ = false;
  std::uint64_t key_handle_ = 0;  // a RegHandle of reg_api.h
  std::uint32_t root_key_ = 0;
  std::string current_key_;
};

// One root key as a single read of its hive found it. Values that must agree with each other
// (the settings of a run, the COM port map) are read from one snapshot: a change another process
// makes meanwhile replaces the hive file whole, so the snapshot holds all of it or none of it.
// A value reads as ReadValue would read it: a text over 254 characters cannot be read.
// Copies share the tree; a snapshot never changes.
class RegistrySnapshot {
 public:
  // The values of one key of the snapshot; a key that is not there has no values.
  class Key {
   public:
    bool Exists() const { return key_ != nullptr; }
    // The text of a value (its NUL left off); none when the value is missing or too long to read.
    std::optional<std::string> Read(std::string_view strValueName) const;
    // Bytes the value takes with its NUL, also when it is too long to read; none when missing.
    std::optional<std::uint32_t> Size(std::string_view strValueName) const;

   private:
    friend class RegistrySnapshot;
    explicit Key(const RegKeyNode* key) : key_(key) {}
    const RegKeyNode* key_;
  };

  RegistrySnapshot();  // a root key with nothing below it
  explicit RegistrySnapshot(RegKeyNode tree);
  // One read of the hive of `Section`. Raises RegistryError (source "CRegistry:ReadValue", kind
  // kUnreadable, the registry's reason) when the hive cannot be read or does not parse. With
  // `strBelow`, the snapshot holds only that key, its parents and the keys below it (the whole
  // hive is still checked); every other key reads as missing.
  static RegistrySnapshot Read(std::uint32_t Section, std::string_view strBelow = {});

  // `strKey` below the root, written as OpenKey takes it. The Key lives as long as the snapshot.
  Key OpenKey(std::string_view strKey) const;

 private:
  std::shared_ptr<const RegKeyNode> tree_;
};

}  // namespace serivane::settings
