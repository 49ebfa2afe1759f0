#include "serial/port_lock.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

#include "common/errno_text.h"
#include "serial/console_guard.h"

namespace serivane::serial {

namespace {

// "process 1234 (minicom)", from the name the kernel keeps for the process.
std::string ProcessText(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(in, name);
  return "process " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
}

// What a lock file that is not a plain file is, for the refusal.
std::string NodeKind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a regular file";
}

bool WriteAll(int fd, const std::string& content) {
  return ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
}

// The process number a lock file holds; 0 when it names none (or is gone meanwhile). A name
// that is not a regular file is refused: it is opened without following a link and without
// waiting (a FIFO would hold the open, or the read, for ever), and looked at before reading.
Result<long> ReadHolder(const std::string& lock_path, const std::string& device_path) {
  const std::string refused =
      "Cannot open " + device_path + ": its lock file " + lock_path + " is ";
  const std::string advice = ", not a lock: whoever put it there must remove it";
  UniqueFd file(
      ::open(lock_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.get() < 0) {
    const int err = errno;
    if (err == ENOENT) return 0L;
    struct stat st {};
    const std::string kind =
        ::lstat(lock_path.c_str(), &st) == 0 ? NodeKind(st.st_mode) : ErrnoText(err);
    if (err == ELOOP || err == ENXIO || (err != EACCES && !S_ISREG(st.st_mode))) {
      return Refusal{kErrHardwareNotAvailable, refused + kind + advice};
    }
    // A lock that cannot be read cannot be shown stale: it is taken as held.
    return Refusal{kErrPortAlreadyOpen, InUseText(device_path, "the lock file " + lock_path + " (" +
                                                                   ErrnoText(err) + ")")};
  }
  struct stat st {};
  if (::fstat(file.get(), &st) != 0) return 0L;
  if (!S_ISREG(st.st_mode)) {
    return Refusal{kErrHardwareNotAvailable, refused + NodeKind(st.st_mode) + advice};
  }
  char text[64];
  const ssize_t n = ::read(file.get(), text, sizeof text - 1);
  if (n <= 0) return 0L;
  text[n] = '\0';
  return std::strtol(text, nullptr, 10);
}

}  // namespace

std::string LockFileName(const std::string& device_path) {
  std::string name = KernelName(device_path);
  std::replace(name.begin(), name.end(), '/', '_');
  return "LCK.." + name;
}

std::string DeviceHolders(dev_t device) {
  namespace fs = std::filesystem;
  std::string holders;
  std::error_code ec;
  for (const fs::directory_entry& proc : fs::directory_iterator("/proc", ec)) {
    const std::string name = proc.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code fd_ec;
    for (const fs::directory_entry& fd : fs::directory_iterator(proc.path() / "fd", fd_ec)) {
      struct stat st {};
      if (::stat(fd.path().c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device) {
        holders += (holders.empty() ? "" : ", ") + ProcessText(std::stol(name));
        break;
      }
    }
  }
  return holders;
}

std::string InUseText(const std::string& what, const std::string& holders) {
  return what + " is in use by " + (holders.empty() ? "another program" : holders) +
         ": end that program or choose another port";
}

std::string PermissionHint(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  std::string group_name = std::to_string(st.st_gid);
  // getgrgid_r, not getgrgid: ports may be opened on several threads at once.
  struct group entry {};
  struct group* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr)
    group_name = found->gr_name;
  bool member = ::getegid() == st.st_gid;
  const int n = ::getgroups(0, nullptr);
  if (n > 0) {
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    if (::getgroups(n, groups.data()) == n) {
      member = member || std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
    }
  }
  return "the device belongs to group " + group_name +
         (member ? ", and you are a member of it (the device does not let its group in)"
                 : ", and you are not a member of it (add yourself to it and log in again)");
}

// The content is written to a file without a name (O_TMPFILE) that is then linked into place,
// so no reader ever sees a half-written lock and a process killed midway leaves nothing behind.
// Where the folder's file system has no O_TMPFILE (or /proc is missing) a private named file is
// written and linked instead.
Result<> UucpLock::Acquire(const std::string& lock_dir, const std::string& lock_name,
                           const std::string& device_path) {
  const std::string lock_path = lock_dir + "/" + lock_name;
  char text[16];
  const int len = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
  const std::string content(text, static_cast<std::size_t>(len));
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int err = Place(lock_dir, lock_path, content);
    if (err != EEXIST) return Done{};
    Result<long> holder = ReadHolder(lock_path, device_path);
    if (!holder.ok()) return holder.refusal();
    const long pid = holder.value();
    if (pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) {
      return Refusal{kErrPortAlreadyOpen,
                     InUseText(device_path, ProcessText(pid) + ", lock file " + lock_path)};
    }
    // The holder has ended without removing its lock (or the file names no process).
    ::unlink(lock_path.c_str());
  }
  return Done{};
}

void UucpLock::Release() {
  if (fd_.get() < 0) return;
  if (StillOurs()) ::unlink(path_.c_str());
  fd_.Reset();
  path_.clear();
}

bool UucpLock::StillOurs() const {
  if (fd_.get() < 0) return false;
  struct stat now {};
  char held[16];
  return ::lstat(path_.c_str(), &now) == 0 && now.st_ino == node_.st_ino &&
         now.st_dev == node_.st_dev &&
         ::pread(fd_.get(), held, sizeof held, 0) == static_cast<ssize_t>(text_.size()) &&
         text_.compare(0, text_.size(), held, text_.size()) == 0;
}

// Writes `content` and links it in as `lock_path`. 0 when placed (the lock is then held),
// EEXIST when the name is taken, another errno when the folder cannot take a lock.
int UucpLock::Place(const std::string& lock_dir, const std::string& lock_path,
                    const std::string& content) {
  UniqueFd file(::open(lock_dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644));
  if (file.get() >= 0) {
    if (!WriteAll(file.get(), content)) return EIO;
    const std::string self = "/proc/self/fd/" + std::to_string(file.get());
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, lock_path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      return Hold(std::move(file), lock_path, content);
    }
    if (errno == EEXIST) return EEXIST;
  } else if (errno == ENOENT || errno == EACCES || errno == EROFS || errno == ENOTDIR) {
    return errno;  // no folder, or not ours to write
  }
  return PlaceThroughNamedFile(lock_dir, lock_path, content);
}

int UucpLock::PlaceThroughNamedFile(const std::string& lock_dir, const std::string& lock_path,
                                    const std::string& content) {
  // Named for this open, not only for the process: ports opened at the same time on several
  // threads must not write, link or remove each other's file.
  static std::atomic<unsigned> next_temp{0};
  const std::string temp_path = lock_dir + "/LTMP." + std::to_string(::getpid()) + "." +
                                std::to_string(next_temp.fetch_add(1));
  UniqueFd file(
      ::open(temp_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (file.get() < 0) return errno;
  int result = EIO;
  if (WriteAll(file.get(), content)) {
    result = ::link(temp_path.c_str(), lock_path.c_str()) == 0 ? 0 : errno;
  }
  ::unlink(temp_path.c_str());
  return result == 0 ? Hold(std::move(file), lock_path, content) : result;
}

int UucpLock::Hold(UniqueFd file, const std::string& lock_path, const std::string& content) {
  if (::fstat(file.get(), &node_) != 0) return errno;
  fd_ = std::move(file);
  path_ = lock_path;
  text_ = content;
  return 0;
}

}  // namespace serivane::serial
