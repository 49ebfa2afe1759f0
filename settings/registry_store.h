// The registry's store: one hive file per root key, read whole and changed whole under a lock.
//
// Files. $XDG_CONFIG_HOME/serivane/registry/ (an unset or relative XDG_CONFIG_HOME means
// ~/.config) holds HKEY_LOCAL_MACHINE.reg, HKEY_CURRENT_USER.reg and so on, in the format of
// hive_format.h. HKEY_LOCAL_MACHINE is kept there too, per user. A missing file is an empty hive;
// so is a file of zero bytes.
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
// that would make a hive larger is written. A hive beyond the limits of the tree (key_tree.h) is
// refused with the reason, so that no later operation has to handle a tree of unbounded depth.
//
// Failures are RegResults (reg_result.h); kInvalidHandle names an unknown root key.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "settings/key_tree.h"
#include "settings/reg_result.h"

namespace serivane::settings {

std::filesystem::path HivePath(std::uint32_t root);

// The bytes of the file at `path`, which must be a regular file of at most 16 MiB.
// Opening does not block (a FIFO or a terminal is refused, not waited for). kNotFound when the
// file does not exist, kIoError for any other failure, described as "cannot read FILE: why".
RegResult<std::string> ReadRegFile(const std::filesystem::path& path);

// The whole hive of `root` as it is now (an empty root key when there is none).
RegResult<RegKeyNode> LoadHive(std::uint32_t root);
// The same read, checked whole, but holding only the key `part`, its parents and the keys below
// it: a reader of a few keys of a large hive does not build the rest.
RegResult<RegKeyNode> LoadHivePart(std::uint32_t root, const std::vector<std::string>& part);

// Runs `change` on the hive under the lock and writes the hive when `change` succeeds and sets
// `changed`. Nothing is written when it fails; its failure is the answer. `change` must not call
// the store's functions.
using HiveChange = std::function<RegResult<>(RegKeyNode& tree, bool& changed)>;
RegResult<> ModifyHive(std::uint32_t root, const HiveChange& change);

// ModifyHive for several hives as one change: every hive is locked (in a fixed order, so two
// callers cannot deadlock) and read first, then `change` runs on each in the order given, and
// only when every hive parsed and every `change` succeeded are the changed hives written. Each
// new hive is written and synced before the first is renamed into place, so a failure to write
// (full disk, a hive grown too large) leaves every hive as it was; only a crash between the
// renames, which take microseconds, can leave some hives changed and others not.
using HivesChange = std::function<RegResult<>(std::uint32_t root, RegKeyNode& tree, bool& changed)>;
RegResult<> ModifyHives(const std::vector<std::uint32_t>& roots, const HivesChange& change);

}  // namespace serivane::settings
