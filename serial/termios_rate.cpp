// termios2 access. This file must not include <termios.h> or anything that pulls it in.
#include "serial/termios_rate.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace serivane::serial {

bool SetArbitraryRate(int fd, std::int32_t baud) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = static_cast<speed_t>(baud);
  t.c_ospeed = static_cast<speed_t>(baud);
  return ioctl(fd, TCSETS2, &t) == 0;
}

std::int32_t ReadBackRate(int fd) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return -1;
  return static_cast<std::int32_t>(t.c_ospeed);
}

}  // namespace serivane::serial
