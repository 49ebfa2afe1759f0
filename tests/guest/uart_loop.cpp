// serivane-uart-loop PORT [on|off]: switches the loopback mode of a 16550 UART's modem control
// register. In loopback the chip wires its own pins: TxD to RxD, RTS to CTS, DTR to DSR, OUT1 to
// RI and OUT2 to DCD, like a loopback plug with a ring line. The 8250 driver keeps the bit across
// close and open. Meant for the QEMU guest; on a real machine it needs a port that is not in use.
//
// serivane-uart-loop PORT out1 on|off: sets OUT1, which the driver also keeps across close and
// open; in loopback it is what RI reads.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

// From the kernel's <asm/termios.h>, which cannot be included next to the C library's terminal
// headers.
constexpr int kTiocmLoop = 0x8000;

constexpr int kTiocmOut1 = 0x2000;

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[2]) == "out1" &&
      (std::string(argv[3]) == "on" || std::string(argv[3]) == "off")) {
    const bool on = std::string(argv[3]) == "on";
    const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const int out1 = kTiocmOut1;
    int bits = 0;
    if (fd < 0 || ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &out1) != 0 ||
        ioctl(fd, TIOCMGET, &bits) != 0) {
      std::fprintf(stderr, "%s: OUT1: %s\n", argv[1], std::strerror(errno));
      return 1;
    }
    close(fd);
    std::printf("%s: OUT1 %s\n", argv[1], on ? "on" : "off");
    return 0;
  }
  if (argc < 2 || argc > 3 ||
      (argc == 3 && std::string(argv[2]) != "on" && std::string(argv[2]) != "off")) {
    std::fprintf(stderr, "usage: serivane-uart-loop PORT [on|off] | PORT out1 on|off\n");
    return 2;
  }
  const bool on = argc == 2 || std::string(argv[2]) == "on";
  const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "%s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  const int loop = kTiocmLoop;
  int bits = 0;
  if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &loop) != 0 || ioctl(fd, TIOCMGET, &bits) != 0) {
    std::fprintf(stderr, "%s: modem control: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  close(fd);
  if (((bits & kTiocmLoop) != 0) != on) {
    std::fprintf(stderr, "%s: the driver did not %s loopback mode\n", argv[1],
                 on ? "take" : "leave");
    return 1;
  }
  std::printf("%s: loopback %s\n", argv[1], on ? "on" : "off");
  return 0;
}
