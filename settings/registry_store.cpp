#include "settings/registry_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <utility>

#include "common/errno_text.h"
#include "common/paths.h"
#include "common/unique_fd.h"
#include "settings/hive_format.h"

namespace serivane::settings {

namespace {

constexpr std::size_t kMaxRegFileSize = 16u << 20;  // bytes of a hive or import file

std::filesystem::path RegistryFolder() {
  // The XDG base directory rules say a relative XDG_CONFIG_HOME is to be ignored.
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::filesystem::path base;
  if (config != nullptr && config[0] == '/')
    base = config;
  else
    base = std::filesystem::path(HomeFolder()) / ".config";
  return base / "serivane" / "registry";
}

RegResult<> Fail(RegCode code, std::string detail) {
  return {code, std::move(detail)};
}

std::string SystemError(const std::string& what, const std::filesystem::path& path, int error) {
  return what + " " + path.string() + ": " + ErrnoText(error);
}

RegResult<RegKeyNode> ReadHive(std::uint32_t root, const std::vector<std::string>* part = nullptr) {
  const std::string root_name = RootKeyName(root);
  if (root_name.empty()) return Fail(RegCode::kInvalidHandle, "unknown root key");
  const std::filesystem::path path = HivePath(root);
  const RegResult<std::string> bytes = ReadRegFile(path);
  if (bytes.code() == RegCode::kNotFound) {
    RegKeyNode tree;
    tree.name = root_name;
    return tree;
  }
  if (!bytes) return bytes.status();
  return ParseHive(*bytes, root, path.filename().string(), part);
}

RegResult<> WriteAll(int fd, std::string_view bytes, const std::filesystem::path& path) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return Fail(RegCode::kIoError, SystemError("cannot write", path, errno));
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return RegOk();
}

std::filesystem::path NewHivePath(std::uint32_t root) {
  std::filesystem::path fresh = HivePath(root);
  fresh += ".new";
  return fresh;
}

// The first half of a hive write: the new hive whole and synced in <hive>.new. On failure the
// .new file is gone again.
RegResult<> WriteNewHive(std::uint32_t root, const RegKeyNode& tree) {
  const std::filesystem::path fresh = NewHivePath(root);
  const std::string text = FormatHive(RootKeyName(root), tree);
  // A hive the reader would refuse must not be written in the first place.
  if (text.size() > kMaxRegFileSize)
    return Fail(RegCode::kIoError, "the change would make " + HivePath(root).filename().string() +
                                       " larger than 16 MiB; nothing was written");
  UniqueFd fd(::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.get() < 0) return Fail(RegCode::kIoError, SystemError("cannot create", fresh, errno));
  if (RegResult<> written = WriteAll(fd.get(), text, fresh); !written) {
    ::unlink(fresh.c_str());
    return written;
  }
  if (::fsync(fd.get()) != 0) {
    const int error = errno;
    ::unlink(fresh.c_str());
    return Fail(RegCode::kIoError, SystemError("cannot sync", fresh, error));
  }
  return RegOk();
}

// The second half: rename over the hive, so a crash at any point leaves either the old hive or
// the new one whole.
RegResult<> ReplaceHive(std::uint32_t root) {
  const std::filesystem::path path = HivePath(root);
  const std::filesystem::path fresh = NewHivePath(root);
  if (::rename(fresh.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(fresh.c_str());
    return Fail(RegCode::kIoError, SystemError("cannot replace", path, error));
  }
  return RegOk();
}

void SyncFolder(const std::filesystem::path& folder) {
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) ::fsync(fd.get());
}

}  // namespace

std::filesystem::path HivePath(std::uint32_t root) {
  return RegistryFolder() / (RootKeyName(root) + ".reg");
}

RegResult<std::string> ReadRegFile(const std::filesystem::path& path) {
  // O_NONBLOCK: a FIFO opens at once instead of waiting for a writer, and is then refused.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) {
    const int error = errno;
    return Fail(error == ENOENT ? RegCode::kNotFound : RegCode::kIoError,
                SystemError("cannot read", path, error));
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0)
    return Fail(RegCode::kIoError, SystemError("cannot read", path, errno));
  if (!S_ISREG(info.st_mode))
    return Fail(RegCode::kIoError, "cannot read " + path.string() + ": not a regular file");
  auto too_large = [&] {
    return Fail(RegCode::kIoError,
                "cannot read " + path.string() + ": larger than 16 MiB (16777216 bytes)");
  };
  if (static_cast<std::uintmax_t>(info.st_size) > kMaxRegFileSize) return too_large();
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Fail(RegCode::kIoError, SystemError("cannot read", path, errno));
    if (got == 0) break;
    // The file may grow while it is read.
    if (bytes.size() + static_cast<std::size_t>(got) > kMaxRegFileSize) return too_large();
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  return bytes;
}

RegResult<RegKeyNode> LoadHive(std::uint32_t root) {
  return ReadHive(root);
}

RegResult<RegKeyNode> LoadHivePart(std::uint32_t root, const std::vector<std::string>& part) {
  return ReadHive(root, &part);
}

RegResult<> ModifyHive(std::uint32_t root, const HiveChange& change) {
  return ModifyHives({root}, [&](std::uint32_t, RegKeyNode& tree, bool& changed) {
    return change(tree, changed);
  });
}

RegResult<> ModifyHives(const std::vector<std::uint32_t>& roots, const HivesChange& change) {
  for (const std::uint32_t root : roots)
    if (RootKeyName(root).empty()) return Fail(RegCode::kInvalidHandle, "unknown root key");
  const std::filesystem::path folder = RegistryFolder();
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error)
    return Fail(RegCode::kIoError, "cannot create " + folder.string() + ": " + error.message());

  // Locks in the order of the root keys' numbers, whatever order the caller names them in.
  std::vector<std::uint32_t> lock_order = roots;
  std::sort(lock_order.begin(), lock_order.end());
  lock_order.erase(std::unique(lock_order.begin(), lock_order.end()), lock_order.end());
  std::vector<UniqueFd> locks;
  locks.reserve(lock_order.size());
  for (const std::uint32_t root : lock_order) {
    std::filesystem::path lock_path = HivePath(root);
    lock_path += ".lock";
    locks.emplace_back(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOCTTY | O_CLOEXEC, 0600));
    if (locks.back().get() < 0)
      return Fail(RegCode::kIoError, SystemError("cannot open", lock_path, errno));
    while (::flock(locks.back().get(), LOCK_EX) != 0) {
      if (errno != EINTR)
        return Fail(RegCode::kIoError, SystemError("cannot lock", lock_path, errno));
    }
    // Every writer holds this lock from creating <hive>.new to renaming it, so one found now was
    // left by a writer that died in between. Its hive never took effect.
    ::unlink(NewHivePath(root).c_str());
  }
  // The locks go with the descriptors when `locks` closes them.

  std::map<std::uint32_t, RegKeyNode> trees;
  for (const std::uint32_t root : lock_order) {
    RegResult<RegKeyNode> tree = ReadHive(root);
    if (!tree) return tree.status();
    trees[root] = std::move(*tree);
  }
  std::vector<std::uint32_t> changed_roots;
  for (const std::uint32_t root : roots) {
    bool changed = false;
    if (RegResult<> status = change(root, trees[root], changed); !status) return status;
    if (changed &&
        std::find(changed_roots.begin(), changed_roots.end(), root) == changed_roots.end())
      changed_roots.push_back(root);
  }
  for (std::size_t i = 0; i < changed_roots.size(); ++i) {
    if (RegResult<> status = WriteNewHive(changed_roots[i], trees[changed_roots[i]]); !status) {
      for (std::size_t j = 0; j < i; ++j) ::unlink(NewHivePath(changed_roots[j]).c_str());
      return status;
    }
  }
  RegResult<> result;
  for (const std::uint32_t root : changed_roots) {
    // A rename that fails leaves the rest to go on: the hives already renamed cannot be taken
    // back, and the ones after it are as whole as they were.
    if (RegResult<> status = ReplaceHive(root); !status && result) result = std::move(status);
  }
  if (!changed_roots.empty()) SyncFolder(folder);
  return result;
}

}  // namespace serivane::settings
