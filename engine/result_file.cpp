#include "engine/result_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <deque>
#include <string_view>

#include "common/errno_text.h"

namespace serivane::engine {

namespace {

// The first line of every result file this program writes begins with this.
constexpr std::string_view kResultFileStart = "Test started";
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

// `path` with every link followed, one at a time as the kernel follows them, so that each link
// can be judged by the folder it stands in. A link in a sticky folder that everybody may write
// is followed only when it belongs to this user or to the folder's owner (the kernel's
// protected_symlinks rule): otherwise anybody could aim this program's writes through /tmp at
// a file of the user's. Sets `refusal` and gives "" when the path must not be used. Components
// that do not exist are taken as they stand; opening the path then tells the system's reason.
std::string FollowLinks(const std::string& path, std::string& refusal) {
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

// Empties the open file `fd` when it is new, empty or holds an earlier run; otherwise leaves it
// as it is and gives the reason.
std::string EmptyIfResultFile(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return "it is not a regular file";
  // Read, not sized: files of the kernel (/proc, /sys) call themselves empty regular files.
  char head[kResultFileStart.size()];
  ssize_t n;
  do {
    n = ::pread(fd, head, sizeof head, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return ErrnoText(errno);
  if (n == 0) return {};
  if (std::string_view(head, static_cast<std::size_t>(n)) != kResultFileStart) {
    return "it is not a result file of this program (its first line does not begin \"" +
           std::string(kResultFileStart) + "\"), so it is left as it is";
  }
  if (::ftruncate(fd, 0) != 0) return ErrnoText(errno);
  return {};
}

}  // namespace

ResultFile::~ResultFile() {
  Close();
}

std::string ResultFile::Create(const std::string& path) {
  Close();
  std::string refusal;
  const std::string target = FollowLinks(path, refusal);
  if (!refusal.empty()) return refusal;
  // Judged before opening: opening a device can have effects of its own (a serial port raises
  // its modem lines), and a pipe or terminal must not be waited on.
  struct stat st {};
  if (::lstat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return "it is not a regular file";
  int fd;
  // No O_TRUNC: the file is emptied only once it has shown to be a result file. O_NOFOLLOW and
  // O_NONBLOCK keep a link or a pipe put in its place since the look above from being used.
  do {
    fd = ::open(target.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return ErrnoText(errno);
  fd_ = fd;
  const std::string reason = EmptyIfResultFile(fd);
  if (!reason.empty()) Close();
  return reason;
}

std::string ResultFile::WriteLine(std::string_view line) {
  if (fd_ < 0) return "the file is not open";
  std::string record;
  record.reserve(line.size() + 2);
  record.append(line);
  record.append("\r\n");
  // One write() per line; a short write (a full disk, a signal) is continued so that a line is
  // never left half written when the system can still take the rest.
  const char* data = record.data();
  std::size_t left = record.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoText(errno);
    }
    if (n == 0) return "the system took no data";
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  return {};
}

std::string ResultFile::Close() {
  if (fd_ < 0) return {};
  const int fd = fd_;
  fd_ = -1;
  // close() is not retried on EINTR: on Linux the descriptor is gone either way.
  if (::close(fd) != 0) return ErrnoText(errno);
  return {};
}

}  // namespace serivane::engine
