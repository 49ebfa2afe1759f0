#include "engine/result_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/errno_text.h"

namespace serivane::engine {

ResultFile::~ResultFile() {
  Close();
}

std::string ResultFile::Create(const std::string& path) {
  Close();
  int fd;
  // Non-blocking, so that a path naming a pipe nobody reads or a terminal waiting for its
  // carrier is refused (or its write fails) at once instead of holding the window for ever.
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return ErrnoText(errno);
  fd_ = fd;
  return {};
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
