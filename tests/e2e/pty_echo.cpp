// The far end of a pseudo-terminal pair that behaves like a loopback plug on the data lines: it
// prints the path of the terminal side, then writes back everything that arrives, byte for byte,
// until it is killed or its time limit runs out.
//
//   serivane-pty-echo [--exit-after SECONDS]
//
// A pseudo-terminal has no modem lines, so a program that tests RTS/CTS or DTR/DSR through it
// must see those tests fail; only the data lines are looped.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "serivane-pty-echo: %s: %s\n", what, std::strerror(errno));
  std::exit(1);
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long exit_after_s = 0;  // 0: run until killed
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--exit-after" && i + 1 < argc) {
      exit_after_s = std::strtol(argv[++i], nullptr, 10);
    } else {
      std::fprintf(stderr, "usage: serivane-pty-echo [--exit-after SECONDS]\n");
      return 2;
    }
  }

  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) Die("posix_openpt");
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0) Die("unlocking the pseudo-terminal");
  char slave_path[128];
  if (::ptsname_r(master, slave_path, sizeof slave_path) != 0) Die("ptsname");

  // On Linux the termios of a pair is the terminal side's, and the master's ioctls reach it.
  // Raw at once: with the default ECHO on the terminal side, every byte written here would come
  // straight back to this program and be written again, without end.
  termios tio{};
  if (::tcgetattr(master, &tio) != 0) Die("tcgetattr");
  ::cfmakeraw(&tio);
  if (::tcsetattr(master, TCSANOW, &tio) != 0) Die("tcsetattr");

  // Keep one descriptor of the terminal side open for the whole life of this program. Without
  // it, each time the program under test closes the port (its close/open test does) the master
  // reads EIO and polls as hung up until the next open, which would make this loop spin.
  const int keep_slave = ::open(slave_path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (keep_slave < 0) Die("opening the terminal side");

  std::printf("%s\n", slave_path);
  std::fflush(stdout);

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(exit_after_s);
  char buf[4096];
  for (;;) {
    int timeout_ms = -1;
    if (exit_after_s > 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return 0;
      timeout_ms = static_cast<int>(left);
    }
    pollfd pfd{master, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, timeout_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      Die("poll");
    }
    if (ready == 0) continue;
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      Die("read");
    }
    if (n == 0) {
      // Not expected while the terminal side is held open; never spin on it all the same.
      ::usleep(10'000);
      continue;
    }
    if (!WriteAll(master, buf, static_cast<std::size_t>(n))) Die("write");
  }
}
