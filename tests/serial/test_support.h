// Pseudo-terminal pairs, temporary folders and event recording for the serial tests.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
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

// A pseudo-terminal pair. The control opens the slave path; the test holds the master, raw. An
// optional thread echoes everything back, like a loopback plug on a real port.
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
  }
  ~PtyPair() { CloseMaster(); }

  const std::string& slave_path() const { return slave_; }

  void CloseMaster() {
    stop_ = true;
    if (echo_.joinable()) echo_.join();
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  void StartEcho() {
    echo_ = std::thread([this] {
      char buf[4096];
      while (!stop_) {
        // While no slave is open the master reports a hang-up: wait for the next open.
        const ssize_t n = Readable(5) ? read(master_, buf, sizeof buf) : 0;
        for (ssize_t done = 0, w = 0; done < n && !stop_; done += std::max<ssize_t>(w, 0)) {
          w = write(master_, buf + done, static_cast<size_t>(n - done));
        }
        if (n <= 0) usleep(1000);
      }
    });
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
  std::thread echo_;
  std::atomic<bool> stop_{false};
};

// Records every code the control raises, in order.
struct EventLog {
  explicit EventLog(CommControl& control) {
    control.OnCommEvent = [this, &control] { codes.push_back(control.CommEvent()); };
  }
  long Count(std::int16_t code) const { return std::count(codes.begin(), codes.end(), code); }
  std::vector<std::int16_t> codes;
};

inline long OpenDescriptorCount() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  return std::distance(begin(fds), end(fds));
}

inline std::string AllCodes() {
  std::string block(256, '\0');
  for (int i = 0; i < 256; ++i) block[i] = static_cast<char>(i);
  return block;
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << text;
}

// The number of the CommError that `op` throws, 0 when it throws none; the text into `what`.
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
