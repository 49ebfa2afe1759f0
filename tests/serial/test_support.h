// Pseudo-terminal pairs, temporary folders and event recording for the serial tests.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "serial/comm_control.h"

namespace serivane::serial::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "serivane-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A pseudo-terminal pair. The control opens the slave path; the test holds the master, raw, so
// that the master's own line discipline neither echoes nor translates. An optional thread
// echoes everything back, like a loopback plug on a real port.
class PtyPair {
 public:
  PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    slave_ = ptsname(master_);
    termios t{};
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
  }
  ~PtyPair() {
    StopEcho();
    CloseMaster();
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& slave_path() const { return slave_; }
  int master() const { return master_; }

  void CloseMaster() {
    StopEcho();
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  void StartEcho() {
    stop_ = false;
    echo_ = std::thread([this] {
      std::vector<char> buf(4096);
      while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        // While no slave is open the master reports a hang-up; wait for the next open.
        if (poll(&p, 1, 5) <= 0 || !(p.revents & POLLIN)) {
          if (p.revents & (POLLHUP | POLLERR)) usleep(1000);
          continue;
        }
        const ssize_t n = read(master_, buf.data(), buf.size());
        for (ssize_t done = 0; n > 0 && done < n && !stop_;) {
          const ssize_t w = write(master_, buf.data() + done, static_cast<size_t>(n - done));
          if (w > 0) done += w;
          if (w < 0 && errno != EAGAIN && errno != EINTR) break;
        }
      }
    });
  }

  void StopEcho() {
    stop_ = true;
    if (echo_.joinable()) echo_.join();
  }

  // Everything the master can read within `wait_ms` of quiet.
  std::string Drain(int wait_ms = 50) {
    std::string out;
    char buf[4096];
    for (;;) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, wait_ms) <= 0 || !(p.revents & POLLIN)) break;
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

 private:
  int master_ = -1;
  std::string slave_;
  std::thread echo_;
  std::atomic<bool> stop_{true};
};

// Records every code the control raises, in order.
struct EventLog {
  explicit EventLog(CommControl& control) {
    control.OnCommEvent = [this, &control] { codes.push_back(control.CommEvent()); };
  }
  std::size_t Count(std::int16_t code) const {
    std::size_t n = 0;
    for (auto c : codes) n += c == code ? 1 : 0;
    return n;
  }
  std::vector<std::int16_t> codes;
};

inline std::size_t OpenDescriptorCount() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++n;
  }
  return n;
}

inline std::string AllCodes() {
  std::string block;
  for (int i = 0; i < 256; ++i) block.push_back(static_cast<char>(i));
  return block;
}

}  // namespace serivane::serial::testing
