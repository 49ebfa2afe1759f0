// The registry's tree in memory: keys with their values and subkeys, the names of root keys, and
// the rules a key path must keep. No file is touched here (the store reads and writes the trees).
//
// Key paths are relative to a root key, separated by "\", compared without regard to ASCII
// letter case (bytes above 127 compare exactly), and kept as first written. A key name is 1 to
// 255 bytes without control characters; an empty path names the root key itself. Keys nest at
// most 512 levels below their root key, as on the platform; a key path below the root is at most
// 32,767 bytes, the most the platform's counted name strings hold (its documentation's "255
// characters including the path" cannot be meant literally next to 512 levels; 255 bytes is the
// limit of each name). Value names compare like key names; the empty name is the key's unnamed
// value. String data is kept with its terminating NUL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "settings/reg_result.h"

namespace serivane::settings {

struct RegValueNode {
  std::string name;
  std::string data;  // bytes; a string value ends with its terminating NUL
};

struct RegKeyNode {
  std::string name;
  std::string class_name;
  std::int64_t last_write = 0;  // file time: 100 ns units since 1601-01-01 UTC
  std::vector<RegValueNode> values;
  std::vector<RegKeyNode> subkeys;

  RegKeyNode* FindSubkey(std::string_view key_name);
  const RegKeyNode* FindSubkey(std::string_view key_name) const;
  RegValueNode* FindValue(std::string_view value_name);
  const RegValueNode* FindValue(std::string_view value_name) const;
};

// Whether two key or value names are the same name.
bool SameRegName(std::string_view a, std::string_view b);

// Names of root keys. RootKeyName gives the long name ("HKEY_LOCAL_MACHINE"), empty for an
// unknown root; ParseRootKeyName takes the long or short name ("HKLM") in any letter case.
std::string RootKeyName(std::uint32_t root);
std::optional<std::uint32_t> ParseRootKeyName(std::string_view name);

// The names of a key path; kInvalidParameter, with the reason ("a key is nested more than 512
// levels deep"), when a name is empty, longer than 255 bytes or holds a control character, or
// when the path is longer or deeper than the limits above. "" gives no names (the root key).
RegResult<std::vector<std::string>> SplitKeyPath(std::string_view path);

// A full key name split at its first "\": "HKLM\Software\x" gives the root's text "HKLM" and
// the names {"Software", "x"}; "HKLM" gives no names. `names` fails as SplitKeyPath does, and
// also when the path is empty after a "\" ("HKLM\").
struct FullKeyPath {
  std::string_view root;
  RegResult<std::vector<std::string>> names;
};
FullKeyPath SplitFullKeyPath(std::string_view full);

// Single changes. FindKey answers nullptr when a key on the way is missing; CreateKey makes the
// missing keys (last-written `now`, as is each parent that gets a subkey) and reports in
// `created` whether it made any.
RegKeyNode* FindKey(RegKeyNode& tree, const std::vector<std::string>& names);
RegKeyNode& CreateKey(RegKeyNode& tree, const std::vector<std::string>& names, std::int64_t now,
                      bool& created);
// Stores `text` with its terminating NUL as the value `name` of `key`, replacing one of the same
// name. The key's time is left to the caller.
void SetStringValue(RegKeyNode& key, std::string_view name, std::string_view text);
// Removes the value `name` of `key`; false when there is none.
bool RemoveValue(RegKeyNode& key, std::string_view name);
// Removes the key `names` (never the root) and, when `with_subkeys`, everything below it; its
// parent is then last written `now`. kNotFound when the key is not there, kAccessDenied when it
// has subkeys and `with_subkeys` is false, or when `names` is the root.
RegResult<> RemoveKey(RegKeyNode& tree, const std::vector<std::string>& names, bool with_subkeys,
                      std::int64_t now);

// Many changes to one tree at once, each costing the same however many subkeys or values a key
// has (the functions above search a key's subkeys one by one, which is fine for one change but
// not for the hundreds of thousands a 16 MiB file can describe). Keys are numbered; 0 is the
// root. Take() gives the tree back; the builder is then empty.
class RegTreeBuilder {
 public:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  explicit RegTreeBuilder(RegKeyNode tree);
  RegTreeBuilder(const RegTreeBuilder&) = delete;
  RegTreeBuilder& operator=(const RegTreeBuilder&) = delete;

  // The key `names` below the root, or kNone.
  std::size_t Find(const std::vector<std::string>& names) const;
  // Makes the missing keys as CreateKey does; `touch` false leaves every time alone (reading a
  // hive) and makes new keys last written at the zero file time.
  std::size_t Create(const std::vector<std::string>& names, bool touch, std::int64_t now);
  // Removes a key other than the root with everything below it; false when it is not there.
  bool Remove(const std::vector<std::string>& names, std::int64_t now);
  // The key's name, class and time; its values and subkeys are reached only through the builder.
  RegKeyNode& Key(std::size_t key);
  // Replaces the data of a value of the same name (keeping its place) or adds the value at the end.
  void SetValue(std::size_t key, const std::string& name, std::string data);
  void RemoveValue(std::size_t key, std::string_view name);
  RegKeyNode Take();

 private:
  struct Node {
    RegKeyNode key;  // name, class, time; values and subkeys live below until Take
    std::vector<std::size_t> children;
    std::vector<RegValueNode> values;
    std::vector<bool> live_values;
    bool removed = false;
  };
  struct Slot {
    std::size_t parent;
    std::string folded_name;
    bool operator==(const Slot&) const = default;
  };
  struct SlotHash {
    std::size_t operator()(const Slot& slot) const;
  };
  std::size_t Child(std::size_t parent, std::string_view name) const;
  std::size_t Add(std::size_t parent, RegKeyNode key);

  std::vector<Node> nodes_;
  std::unordered_map<Slot, std::size_t, SlotHash> subkeys_;  // live subkeys by parent and name
  std::unordered_map<Slot, std::size_t, SlotHash> values_;   // live values by key and name
};

// Visits `key` and every key below it, parents before children, with each key's full name
// (`path` is the name of `key`). Walks without recursion, keeping one path that grows and
// shrinks with the walk, so neither the stack nor the memory grows faster than the depth.
void ForEachKey(const std::string& path, const RegKeyNode& key,
                const std::function<void(const std::string& path, const RegKeyNode& key)>& visit);

}  // namespace serivane::settings
