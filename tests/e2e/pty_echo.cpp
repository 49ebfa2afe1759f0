// The far end of a pseudo-terminal pair that behaves like a loopback plug on the data lines: it
// prints the path of the terminal side, then writes back everything that arrives, byte for byte,
// until it is killed or its time limit runs out.
//
//   serivane-pty-echo [--exit-after SECONDS] [--delay MS] [--drop CHARS]
//
//   --delay MS     a slow far end: each character goes back on its own, MS milliseconds after
//                  the one before it (so a block of 256 takes 256 * MS ms to come back)
//   --drop CHARS   the characters in CHARS never go back
//
// A pseudo-terminal has no modem lines, so a program that tests RTS/CTS or DTR/DSR through it
// must see those tests fail; only the data lines are looped.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

namespace {

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "serivane-pty-echo: %s: %s\n", what, std::strerror(errno));
  std::exit(1);
}

void WriteAll(int fd, const char* bytes, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    const ssize_t w = ::write(fd, bytes + done, size - done);
    if (w < 0 && errno != EINTR) Die("write");
    if (w > 0) done += static_cast<std::size_t>(w);
  }
}

bool Before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
  long delay_ms = 0;
  std::string drop;
  for (int i = 1; i < argc; i += 2) {
    const std::string_view option = argv[i];
    if (i + 1 >= argc || (option != "--exit-after" && option != "--delay" && option != "--drop")) {
      std::fprintf(stderr,
                   "usage: serivane-pty-echo [--exit-after SECONDS] [--delay MS] [--drop CHARS]\n");
      return 2;
    }
    if (option == "--exit-after") {
      // SIGALRM ends the program, wherever it waits.
      ::alarm(static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10)));
    } else if (option == "--delay") {
      delay_ms = std::strtol(argv[i + 1], nullptr, 10);
    } else {
      drop = argv[i + 1];
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
  // reads EIO until the next open, and this loop would spin.
  if (::open(slave_path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) < 0) {
    Die("opening the terminal side");
  }
  std::printf("%s\n", slave_path);
  std::fflush(stdout);

  // Blocking reads: the master waits until bytes arrive.
  char buf[4096];
  timespec due{};
  for (;;) {
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) Die("read");
    if (n == 0) ::usleep(10'000);  // not expected while the terminal side is held open
    if (delay_ms <= 0 && drop.empty()) {
      WriteAll(master, buf, static_cast<std::size_t>(n));
      continue;
    }
    // Each character is due `delay_ms` after it came in or after the one before it went back,
    // whichever is later; the times are absolute, so the pace does not drift with the time each
    // write takes.
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    if (Before(due, now)) due = now;
    for (ssize_t i = 0; i < n; ++i) {
      if (drop.find(buf[i]) != std::string::npos) continue;
      due.tv_nsec += delay_ms * 1'000'000;
      due.tv_sec += due.tv_nsec / 1'000'000'000;
      due.tv_nsec %= 1'000'000'000;
      while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
      }
      WriteAll(master, buf + i, 1);
    }
  }
}
