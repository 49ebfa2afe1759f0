// The raw floor of `serivane-run --tests 1,2,3` on a pseudo-terminal: a process that makes the
// system calls the three tests need and nothing else. Open the port in raw mode, close and open
// it again, send the 256 character codes as one block and wait for their echo, send N single
// bytes one write each and wait for their echo, close. Exit status 0 when every echo came back.
// Given several terminals, each has a thread of its own, as serivane-run gives each port.
//
//   run_floor SINGLE_BYTES TERMINAL [TERMINAL...]
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

int OpenRaw(const char* path) {
  const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) std::exit(2);
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::cfsetspeed(&t, B38400);
  ::tcsetattr(fd, TCSANOW, &t);
  return fd;
}

// Reads until `count` bytes came back or a second passed.
bool Echo(int fd, std::size_t count) {
  char buffer[4096];
  std::size_t got = 0;
  while (got < count) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) return false;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) got += static_cast<std::size_t>(n);
  }
  return got == count;
}

// The three tests on one terminal; true when every echo came back.
bool Tests(const char* path, int singles) {
  int fd = OpenRaw(path);
  ::close(fd);
  fd = OpenRaw(path);
  std::string block;
  for (int c = 0; c < 256; ++c) block.push_back(static_cast<char>(c));
  bool ok = ::write(fd, block.data(), block.size()) == 256 && Echo(fd, 256);
  for (int i = 0; i < singles; ++i) ok = ::write(fd, "7", 1) == 1 && ok;
  ok = Echo(fd, static_cast<std::size_t>(singles)) && ok;
  ::close(fd);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const int singles = std::atoi(argv[1]);
  if (argc == 3) return Tests(argv[2], singles) ? 0 : 1;
  std::atomic<bool> ok{true};
  std::vector<std::thread> threads;
  for (int i = 2; i < argc; ++i)
    threads.emplace_back([&ok, path = argv[i], singles] {
      if (!Tests(path, singles)) ok = false;
    });
  for (std::thread& t : threads) t.join();
  return ok ? 0 : 1;
}
