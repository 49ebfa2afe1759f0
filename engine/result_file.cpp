#include "engine/result_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "common/errno_text.h"
#include "common/safe_file.h"

namespace serivane::engine {

namespace {

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
  const std::string target = FollowLinksSafely(path, refusal);
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
