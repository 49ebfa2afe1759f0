#include "common/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <deque>
#include <random>

#include "common/errno_text.h"

namespace serivane {

namespace {

// The kernel gives up after as many links in one path (ELOOP).
constexpr int kMaxLinks = 40;

void PushComponents(std::deque<std::string>& todo, const std::string& path) {
  std::deque<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  todo.insert(todo.begin(), parts.begin(), parts.end());
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

std::string WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoText(errno);
    }
    if (n == 0) return "the system took no data";
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

// A name for the new file beside `path` that nobody is likely to use: ".NAME.XXXXXXXX.new".
std::string TemporaryName(const std::string& path) {
  static thread_local std::mt19937_64 random{std::random_device{}() ^
                                             static_cast<std::uint64_t>(::getpid())};
  const std::size_t slash = path.rfind('/');
  const std::string folder = path.substr(0, slash + 1);
  std::string name = path.substr(slash + 1);
  // Far below the system's name limit with the additions.
  if (name.size() > 200) name.resize(200);
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".%012llx.new",
                static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
  return folder + "." + name + suffix;
}

}  // namespace

std::string FollowLinksSafely(const std::string& path, std::string& refusal) {
  std::string current;  // "" is the root folder
  if (!path.starts_with('/')) {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
    current = cwd;
    if (current == "/") current.clear();
  }
  std::deque<std::string> todo;
  PushComponents(todo, path);
  int links = 0;
  while (!todo.empty()) {
    const std::string part = std::move(todo.front());
    todo.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      current.erase(current.empty() ? 0 : current.rfind('/'));
      continue;
    }
    const std::string next = current + "/" + part;
    struct stat link {};
    if (::lstat(next.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
      current = next;
      continue;
    }
    if (++links > kMaxLinks) {
      refusal = ErrnoText(ELOOP);
      return {};
    }
    const std::string folder = current.empty() ? "/" : current;
    struct stat dir {};
    if (::stat(folder.c_str(), &dir) == 0 && (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH) &&
        link.st_uid != ::geteuid() && link.st_uid != dir.st_uid) {
      refusal = next + " is a link that another user put in the shared folder " + folder;
      return {};
    }
    char target[PATH_MAX];
    const ssize_t n = ::readlink(next.c_str(), target, sizeof target - 1);
    if (n < 0) {
      refusal = ErrnoText(errno);
      return {};
    }
    const std::string to(target, static_cast<std::size_t>(n));
    if (to.starts_with('/')) current.clear();
    PushComponents(todo, to);
  }
  return current.empty() ? "/" : current;
}

std::string JudgeTarget(const std::string& path, FileTarget& target) {
  target = FileTarget{};
  std::string refusal;
  target.path = FollowLinksSafely(path, refusal);
  if (!refusal.empty()) return refusal;
  struct stat st {};
  if (::lstat(target.path.c_str(), &st) != 0) {
    if (errno == ENOENT) return {};
    return ErrnoText(errno);
  }
  if (!S_ISREG(st.st_mode)) return "it is not a regular file";
  target.exists = true;
  target.device = st.st_dev;
  target.inode = st.st_ino;
  target.mode = st.st_mode;
  target.owner = st.st_uid;
  target.group = st.st_gid;
  return {};
}

std::string ReadHead(const std::string& path, std::size_t size, std::string& head) {
  head.clear();
  const int fd =
      OpenRetrying(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return ErrnoText(errno);
  std::string reason;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    reason = "it is not a regular file";
  } else {
    head.resize(size);
    ssize_t n;
    // Read, not sized: files of the kernel (/proc, /sys) call themselves empty regular files.
    do {
      n = ::pread(fd, head.data(), size, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      reason = ErrnoText(errno);
      n = 0;
    }
    head.resize(static_cast<std::size_t>(n));
  }
  ::close(fd);
  return reason;
}

std::string CheckReplaceable(const std::string& path, std::string_view own_start,
                             FileTarget& target) {
  if (path.empty()) return ErrnoText(ENOENT);
  if (std::string reason = JudgeTarget(path, target); !reason.empty()) return reason;
  const std::string folder = FolderOf(target.path);
  if (!target.exists) {
    struct stat dir {};
    if (::stat(folder.c_str(), &dir) != 0) return "the folder " + folder + ": " + ErrnoText(errno);
    if (!S_ISDIR(dir.st_mode)) return "the folder " + folder + ": " + ErrnoText(ENOTDIR);
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
      return "the folder " + folder + ": " + ErrnoText(errno);
    return {};
  }
  if (::access(target.path.c_str(), W_OK) != 0) return ErrnoText(errno);
  if (::access(folder.c_str(), W_OK | X_OK) != 0)
    return "the folder " + folder + ": " + ErrnoText(errno);
  if (own_start.empty()) return {};
  std::string head;
  if (std::string reason = ReadHead(target.path, own_start.size(), head); !reason.empty())
    return reason;
  if (!head.empty() && head != own_start)
    return "it is not a file this program wrote, so it is left as it is";
  return {};
}

std::string ReplaceFile(const std::string& path, std::string_view own_start,
                        std::string_view content) {
  FileTarget target;
  if (std::string reason = CheckReplaceable(path, own_start, target); !reason.empty())
    return reason;
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = TemporaryName(target.path);
    fd =
        OpenRetrying(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return ErrnoText(errno);
  }
  if (fd < 0) return ErrnoText(EEXIST);
  std::string reason;
  if (target.exists) {
    // The superuser replacing another user's file gives it back to its owner.
    if (::geteuid() == 0 && target.owner != 0) (void)::fchown(fd, target.owner, target.group);
    if (::fchmod(fd, target.mode & 07777) != 0) reason = ErrnoText(errno);
  }
  if (reason.empty()) reason = WriteAll(fd, content);
  if (reason.empty() && ::fsync(fd) != 0) reason = ErrnoText(errno);
  if (::close(fd) != 0 && reason.empty()) reason = ErrnoText(errno);
  // What stands at the path now may differ from what was judged: the look is made again just
  // before the rename, which replaces the name and never writes through it.
  FileTarget again;
  if (reason.empty()) reason = JudgeTarget(target.path, again);
  if (reason.empty() && again.path != target.path) reason = "the path changed while it was written";
  if (reason.empty() && ::rename(temporary.c_str(), target.path.c_str()) != 0)
    reason = ErrnoText(errno);
  if (!reason.empty()) {
    ::unlink(temporary.c_str());
    return reason;
  }
  // The rename itself lasts only once the folder is synced.
  const int dir = OpenRetrying(FolderOf(target.path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)::fsync(dir);
    ::close(dir);
  }
  return {};
}

}  // namespace serivane
