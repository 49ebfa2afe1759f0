// Rates outside the termios speed table. Kept apart because the kernel's termios2 header
// (<asm/termbits.h>) redefines the structures of <termios.h>: no file may include both.
#pragma once

#include <cstdint>

namespace serivane::serial {

// Sets input and output rate to `baud` bits per second with termios2/BOTHER, leaving every
// other setting as the driver holds it. Returns false with errno set when the driver refuses.
bool SetArbitraryRate(int fd, std::int32_t baud);

// The output rate the driver holds now, in bits per second (standard or not), or -1 with errno
// set when the driver cannot say.
std::int32_t ReadBackRate(int fd);

}  // namespace serivane::serial
