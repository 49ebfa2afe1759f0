// termios2 access. This file must not include <termios.h> or anything that pulls it in.
#include "serial/termios_rate.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <algorithm>

namespace serivane::serial {

namespace {

constexpr std::size_t kCc = std::min<std::size_t>(NCCS, KernelTermios{}.cc.size());

}  // namespace

bool GetKernelTermios(int fd, KernelTermios& out) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  out.iflag = t.c_iflag;
  out.oflag = t.c_oflag;
  out.cflag = t.c_cflag;
  out.lflag = t.c_lflag;
  out.line = t.c_line;
  std::copy_n(t.c_cc, kCc, out.cc.begin());
  out.ispeed = t.c_ispeed;
  out.ospeed = t.c_ospeed;
  return true;
}

bool SetKernelTermios(int fd, const KernelTermios& in, std::int32_t baud) {
  termios2 t{};
  t.c_iflag = in.iflag;
  t.c_oflag = in.oflag;
  t.c_cflag = in.cflag;
  t.c_lflag = in.lflag;
  t.c_line = in.line;
  std::copy_n(in.cc.begin(), kCc, t.c_cc);
  t.c_ispeed = in.ispeed;
  t.c_ospeed = in.ospeed;
  if (baud > 0) {
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = static_cast<speed_t>(baud);
    t.c_ospeed = static_cast<speed_t>(baud);
  }
  return ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace serivane::serial
