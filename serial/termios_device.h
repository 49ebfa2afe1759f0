// The termios backend: a serial port (or any terminal device) of this machine.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "serial/comm_control.h"
#include "serial/device.h"

namespace serivane::serial {

// What opening a device taught about it: where its path leads, that it is not the console,
// its lock file's name, its adapter chip, and which optional ioctls its driver lacks, and the
// UUCP lock file itself. Kept by the caller between opens of one port, so that a reopen of the
// same device repeats none of it and the port stays locked in between; dropping the facts lets
// go of the lock.
struct DeviceFacts;

// Opens `path` for the control's exclusive use and gives it `config`, `flow` and the two
// outputs. It takes the UUCP lock file <lock_dir>/LCK..<path below /dev, further slashes made
// underscores> ("/dev/pts/3" -> "LCK..pts_3") into the facts; closing the device leaves the
// lock there. Throws CommError (nothing is left held or changed, a kept lock included):
//   8002  the path does not exist or is not a terminal device
//   8005  another program (or another control of this one) holds the port
//   8010  the port is the system console, access is denied, the lock file is not a regular
//         file (a FIFO, a link, a folder someone put there), or the system refused the open
//   8015  the driver did not take the line settings
// `known` holds what an earlier open of the same path learnt, or nothing. It is used only while
// `path` still leads to the same device node (same device number and inode); otherwise its lock
// is let go before anything else is locked. Its lock is used again only while the lock file is
// still the one it wrote, with the same content; else the lock is taken afresh. `known` is
// emptied when the open starts and holds this open's facts again once the open has succeeded:
// a failed open forgets everything and lets go of the lock, so that the next one looks again.
std::unique_ptr<Device> OpenTermiosDevice(const std::string& path, const SystemPaths& paths,
                                          const LineConfig& config, std::int32_t flow, bool dtr,
                                          bool rts, std::shared_ptr<DeviceFacts>& known);

// Undoes the in-band marking of PARMRK (with INPCK; IGNPAR, ISTRIP and BRKINT off): a real FF
// arrives doubled as FF FF, a break as FF 00 00, a character c received with a parity or
// framing error as FF 00 c. Marks may be split across reads, so the decoder keeps the state of
// a half-read mark between calls. Data and errors reach the sink in line order; a marked
// character's own data comes before its error.
class MarkDecoder {
 public:
  // `marked_error` is the code for a marked character: the marks cannot tell a parity error
  // from a framing error, so the caller chooses by whether parity is on.
  void Feed(std::string_view bytes, std::int16_t marked_error, DeviceSink& sink);
  void Reset() { state_ = State::kNone; }

 private:
  enum class State { kNone, kFF, kFF00 };
  State state_ = State::kNone;
};

}  // namespace serivane::serial
