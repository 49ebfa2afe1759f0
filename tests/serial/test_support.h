// Pseudo-terminal pairs, temporary folders and event recording for the serial tests.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "serial/comm_control.h"

namespace serivane::serial::testing {

struct TempDir {
  TempDir() : path((std::filesystem::temp_directory_path() / "serivane-XXXXXX").string()) {
    if (mkdtemp(path.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string path;
};

// A pseudo-terminal pair. The control opens the slave path; the test holds the master, raw and
// non-blocking.
class PtyPair {
 public:
  PtyPair() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    slave_ = ptsname(master_);
    termios t{};
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
    fcntl(master_, F_SETFL, O_NONBLOCK);
  }
  ~PtyPair() { CloseMaster(); }
  const std::string& slave_path() const { return slave_; }
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  // Sends back what reached the far end, as a loopback plug does; waits a millisecond when
  // nothing did.
  void Echo() {
    char buf[4096];
    const ssize_t n = Readable(1) ? read(master_, buf, sizeof buf) : 0;
    if (n > 0) echo_.append(buf, static_cast<size_t>(n));
    const ssize_t w = echo_.empty() ? 0 : write(master_, echo_.data(), echo_.size());
    if (w > 0) echo_.erase(0, static_cast<size_t>(w));
    if (n <= 0) usleep(1000);
  }

  // Everything the master can read until `wait_ms` pass without more.
  std::string Drain(int wait_ms = 50) {
    std::string out;
    char buf[4096];
    for (ssize_t n = 0; Readable(wait_ms) && (n = read(master_, buf, sizeof buf)) > 0;) {
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

 private:
  bool Readable(int wait_ms) {
    pollfd p{master_, POLLIN, 0};
    return poll(&p, 1, wait_ms) > 0 && (p.revents & POLLIN);
  }

  int master_;
  std::string slave_;
  std::string echo_;
};

// Records every code the control raises, in order.
struct EventLog {
  explicit EventLog(CommControl& control) {
    control.OnCommEvent = [this, &control] { codes.push_back(control.CommEvent()); };
  }
  long Count(std::int16_t code) const { return std::count(codes.begin(), codes.end(), code); }
  std::vector<std::int16_t> codes;
};

inline std::string AllCodes() {
  std::string block(256, '\0');
  for (int i = 0; i < 256; ++i) block[i] = static_cast<char>(i);
  return block;
}

// The number of the CommError that `op` throws, 0 when it throws none; its text into `what`.
template <typename Op>
std::int32_t ErrorOf(Op&& op, std::string* what = nullptr) {
  try {
    op();
  } catch (const CommError& e) {
    if (what != nullptr) *what = e.what();
    return e.number();
  }
  return 0;
}

}  // namespace serivane::serial::testing
