// The registry: one hive file per root key, and the handful of registry functions CRegistry,
// the COM port map and serivane-reg need, with the meaning those functions have on the platform
// the program was written for.
//
// Files. $XDG_CONFIG_HOME/serivane/registry/ (an unset or relative XDG_CONFIG_HOME means
// ~/.config) holds HKEY_LOCAL_MACHINE.reg, HKEY_CURRENT_USER.reg and so on, in the text format of
// reg_text.h with the header "REGEDIT4". HKEY_LOCAL_MACHINE is kept there too, per user. Each key
// is written as
//
//   [HKEY_LOCAL_MACHINE\Software\Balvoric\RS-232 Serivane]
//   ;last-write=2026-12-06T10:37:50.1234567Z class="..."
//   "Baudrate"="38400"
//
// every key on its own line, parents before children, names as first written. A missing file is
// an empty hive; so is a file of zero bytes. A person may edit the file; a key without a
// last-write line reads as last written at the zero file time.
//
// Changes. Every change is written through before the call returns: under an exclusive flock on
// <hive>.lock the hive is read again, changed, written to <hive>.new, fsynced and renamed over
// the hive (and the folder fsynced). So a crash leaves the old or the new hive, never half of
// one, and two processes that change the same hive at once both keep their change. A <hive>.new
// found under the lock was left by a writer that died before its rename; it is removed. A hive
// that does not parse is never written: every operation on it fails with kBadHive and the file
// stays byte for byte as it was, for a person to mend. Reading takes no lock (rename is atomic).
//
// Limits. A hive file (and a file serivane-reg imports) must be a regular file of at most 16 MiB;
// anything else (a directory, a FIFO, a device) is refused without waiting on it, and no change
// that would make a hive larger is written. Keys nest at most 512 levels below their root key, as
// on the platform; a key path below the root is at most 32,767 bytes, the most the platform's
// counted name strings hold (its documentation's "255 characters including the path" cannot be
// meant literally next to 512 levels; 255 bytes is the limit of each name). A hive or import
// beyond these limits is refused with the reason, so that no later operation has to handle a tree
// of unbounded depth.
//
// Meaning. Key paths are relative to a root key, separated by "\", compared without regard to
// ASCII letter case (bytes above 127 compare exactly), and kept as first written. A key name is
// 1 to 255 bytes without control characters; an empty path names the root key itself. Value
// names compare like key names; the empty name is the key's unnamed value. String data is kept
// with its terminating NUL. A handle refers to a root and a path and is resolved again at every
// call, so a key that someone else deleted makes later calls on the handle fail with
// kKeyDeleted. Handles are process-wide and thread-safe; they are not inherited meaningfully by
// a fork (the child should open its own).
//
// No access control is kept: every key reports the security-descriptor size of a descriptor
// without owner, group or lists (20 bytes).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace serivane::settings {

// The registry's own error codes for the failures the store can have.
enum class RegStatus : std::int32_t {
  kOk = 0,
  kNotFound = 2,           // key or value does not exist
  kAccessDenied = 5,       // delete a key that has subkeys, or a root key
  kInvalidHandle = 6,      // handle closed, never opened, or an unknown root key
  kInvalidParameter = 87,  // a key name the registry cannot hold
  kMoreData = 234,         // the data (or class) is larger than the caller's buffer
  kBadHive = 1009,         // the hive file does not parse; it is left as it is
  kIoError = 1016,         // the hive could not be read or written
  kKeyDeleted = 1018,      // the handle's key was deleted
};

using RegHandle = std::uint64_t;

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

struct RegKeyInfo {
  std::string class_name;
  std::int32_t sub_keys = 0;
  std::int32_t max_sub_key_len = 0;  // characters
  std::int32_t max_class_len = 0;    // characters, over the subkeys
  std::int32_t values = 0;
  std::int32_t max_value_name_len = 0;  // characters
  std::int32_t max_value_len = 0;       // bytes
  std::int32_t security_descriptor = 0;
  std::int64_t last_write = 0;
};

// Names of root keys. RootKeyName gives the long name ("HKEY_LOCAL_MACHINE"), empty for an
// unknown root; ParseRootKeyName takes the long or short name ("HKLM") in any letter case.
std::string RootKeyName(std::uint32_t root);
std::optional<std::uint32_t> ParseRootKeyName(std::string_view name);

std::filesystem::path HivePath(std::uint32_t root);

// The names of a key path; nullopt when a name is empty, longer than 255 bytes or holds a
// control character, or when the path is longer or deeper than the limits above; `why`, when
// given, then receives the reason ("a key is nested more than 512 levels deep"). "" gives no
// names (the root key itself).
std::optional<std::vector<std::string>> SplitKeyPath(std::string_view path,
                                                     std::string* why = nullptr);

// A full key name split at its first "\": "HKLM\Software\x" gives the root's text "HKLM" and
// the names {"Software", "x"}; "HKLM" gives no names. `names` is nullopt, with `why`, when the
// path breaks SplitKeyPath's rules or is empty after a "\" ("HKLM\").
struct FullKeyPath {
  std::string_view root;
  std::optional<std::vector<std::string>> names;
  std::string why;
};
FullKeyPath SplitFullKeyPath(std::string_view full);

// The bytes of the file at `path`, which must be a regular file of at most 16 MiB.
// Opening does not block (a FIFO or a terminal is refused, not waited for). kNotFound when the
// file does not exist, kIoError for any other failure, with RegLastErrorDetail naming it.
RegStatus ReadRegFile(const std::filesystem::path& path, std::string& bytes);

// The functions behind CRegistry. `path` is relative to `root` and already uses "\".
RegStatus RegOpen(std::uint32_t root, std::string_view path, RegHandle& handle);
// Opens the key, creating it and every missing parent.
RegStatus RegCreate(std::uint32_t root, std::string_view path, RegHandle& handle);
RegStatus RegClose(RegHandle handle);
// Deletes a key that has no subkeys. The root key itself cannot be deleted.
RegStatus RegDeleteKey(std::uint32_t root, std::string_view path);
// `size` holds the buffer size in bytes on entry and the data size on return (also when the
// answer is kMoreData); `data`, when not null, receives the bytes on success.
RegStatus RegQueryValue(RegHandle handle, std::string_view name, std::string* data,
                        std::uint32_t& size);
// Stores `text` with its terminating NUL as a string value, replacing one of the same name.
RegStatus RegSetString(RegHandle handle, std::string_view name, std::string_view text);
// Stores every (name, text) pair as RegSetString does, in one write of the hive: a failure or a
// crash leaves all of them or none.
RegStatus RegSetStrings(RegHandle handle,
                        const std::vector<std::pair<std::string, std::string>>& values);
RegStatus RegDeleteValue(RegHandle handle, std::string_view name);
// The class must fit `class_buffer` characters with its NUL, else kMoreData.
RegStatus RegQueryInfo(RegHandle handle, std::uint32_t class_buffer, RegKeyInfo& info);

// A short description of the last failure of a call on this thread, for messages
// ("HKEY_LOCAL_MACHINE.reg line 7: missing closing quote").
std::string RegLastErrorDetail();

// The whole hive of `root` as it is now (an empty root key when there is none).
RegStatus LoadHive(std::uint32_t root, RegKeyNode& tree);
// The same read, checked whole, but holding only the key `part`, its parents and the keys below
// it: a reader of a few keys of a large hive does not build the rest.
RegStatus LoadHivePart(std::uint32_t root, const std::vector<std::string>& part, RegKeyNode& tree);

// The tree of a hive file's bytes, as ReadHive builds it: kBadHive (with RegLastErrorDetail
// naming `file_name` and the line) when they do not parse or break a limit.
RegStatus ParseHive(std::string_view bytes, std::uint32_t root, const std::string& file_name,
                    RegKeyNode& tree);

// Runs `change` on the hive under the lock and writes the hive when `change` answers kOk and sets
// `changed`. Nothing is written when it answers anything else. `change` must not call the
// store's functions.
RegStatus ModifyHive(std::uint32_t root,
                     const std::function<RegStatus(RegKeyNode& tree, bool& changed)>& change);

// ModifyHive for several hives as one change: every hive is locked (in a fixed order, so two
// callers cannot deadlock) and read first, then `change` runs on each in the order given, and
// only when every hive parsed and every `change` answered kOk are the changed hives written. Each
// new hive is written and synced before the first is renamed into place, so a failure to write
// (full disk, a hive grown too large) leaves every hive as it was; only a crash between the
// renames, which take microseconds, can leave some hives changed and others not.
RegStatus ModifyHives(
    const std::vector<std::uint32_t>& roots,
    const std::function<RegStatus(std::uint32_t root, RegKeyNode& tree, bool& changed)>& change);

// Tree helpers for ModifyHive callers. FindKey answers nullptr when a key on the way is missing;
// CreateKey makes the missing keys (last-written `now`, as is each parent that gets a subkey) and
// reports in `created` whether it made any.
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
// has subkeys and `with_subkeys` is false.
RegStatus RemoveKey(RegKeyNode& tree, const std::vector<std::string>& names, bool with_subkeys,
                    std::int64_t now);

// Many changes to one tree at once, each costing the same however many subkeys or values a key
// has (the tree functions above search a key's subkeys one by one, which is fine for one change
// but not for the hundreds of thousands a 16 MiB file can describe). Keys are numbered; 0 is the
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

// The hive text of a tree ("REGEDIT4", then every key); `root_name` is the first part of every
// key line. AppendKeyText writes one key and its subkeys, with `path` the key's full name.
std::string FormatHive(std::string_view root_name, const RegKeyNode& tree);
void AppendKeyText(std::string& out, const std::string& path, const RegKeyNode& key);

}  // namespace serivane::settings
