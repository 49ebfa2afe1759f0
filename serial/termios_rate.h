// The kernel's own terminal settings (termios2), kept apart because the kernel's header
// (<asm/termbits.h>) redefines the structures of <termios.h>: no file may include both.
#pragma once

#include <array>
#include <cstdint>

namespace serivane::serial {

// termios2, field for field, in a form that needs neither header. Flag bits and c_cc indices are
// the kernel's, which on Linux are also the values <termios.h> names. One ioctl reads or writes
// all of it, rates included, where the C library's calls take two or three.
struct KernelTermios {
  std::uint32_t iflag = 0, oflag = 0, cflag = 0, lflag = 0;
  std::uint8_t line = 0;
  std::array<std::uint8_t, 32> cc{};
  std::uint32_t ispeed = 0, ospeed = 0;  // bits per second, as the driver holds them
};

// TCGETS2. False with errno set when `fd` is not a terminal.
bool GetKernelTermios(int fd, KernelTermios& t);

// TCSETS2, at once (TCSANOW). With `baud` above 0 both rates become that many bits per second
// through BOTHER, whatever rate code t.cflag holds; with 0 the code in t.cflag (or a BOTHER and
// the rates already in `t`) stands. False with errno set when the driver refuses.
bool SetKernelTermios(int fd, const KernelTermios& t, std::int32_t baud = 0);

}  // namespace serivane::serial
