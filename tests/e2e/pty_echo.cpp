// The far end of a pseudo-terminal pair that behaves like a loopback plug on the data lines: it
// prints the path of the terminal side, then writes back everything that arrives, byte for byte,
// until it is killed or its time limit runs out.
//
//   serivane-pty-echo [--exit-after SECONDS]
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
#include <string_view>

namespace {

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "serivane-pty-echo: %s: %s\n", what, std::strerror(errno));
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string_view(argv[1]) == "--exit-after") {
    // SIGALRM ends the program, wherever it waits.
    ::alarm(static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)));
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: serivane-pty-echo [--exit-after SECONDS]\n");
    return 2;
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
  for (;;) {
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) Die("read");
    if (n == 0) ::usleep(10'000);  // not expected while the terminal side is held open
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(master, buf + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno != EINTR) Die("write");
      if (w > 0) done += w;
    }
  }
}
