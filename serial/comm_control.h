// The serial port control: the one object through which the program drives a serial port.
//
// Its operations keep the names and the behaviour of the serial-port control the program was
// designed around: properties are overloaded getter/setter pairs (PortNumber(5) sets,
// PortNumber() gets). What a port number names comes from a resolver (the COM port map); the
// device behind it is a termios terminal or the built-in virtual loopback plug.
//
// Threading: one thread only, the one that runs the event loop. Nothing here starts a thread.
// Events are raised only from Service(), which the event loop calls when WatchFd() is readable
// or NextServiceMs() has passed; tests call Service() themselves.
//
// Errors: every failing operation throws CommError with a number and a description that names
// the device and the system's reason. A failed operation leaves the control as it was before
// the call (a failed open leaves the port closed, with nothing held).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/clock.h"

namespace serivane::serial {

// Error numbers of the control.
enum : std::int32_t {
  kErrInvalidPropertyValue = 380,  // a LineSettings text, port number or value out of range
  kErrInvalidPortNumber = 8002,    // no such device
  kErrPortAlreadyOpen = 8005,      // held by this or another program
  kErrHardwareNotAvailable = 8010,
  kErrCommState = 8015,    // the driver refused the line settings
  kErrPortNotOpen = 8018,  // operation valid only when the port is open
};

// Event codes, as CommEvent reports them. Codes above 1000 are errors.
enum : std::int16_t {
  kEvReceive = 2,  // the unread count reached ReceiveThreshold
  kEvCts = 3,
  kEvDsr = 4,
  kEvCd = 5,
  kEvRing = 6,
  kErBreak = 1001,
  kErFrame = 1004,
  kErOverrun = 1006,
  kErRxOver = 1008,
  kErRxParity = 1009,
  kErTxFull = 1010,
  // The device went away while open (a USB adapter unplugged, the far end of a pseudo-terminal
  // closed): the control has closed the port. Raised once per loss.
  kErDeviceGone = 1015,
};

class CommError : public std::runtime_error {
 public:
  CommError(std::int32_t number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  std::int32_t number() const { return number_; }
  std::string description() const { return what(); }

 private:
  std::int32_t number_;
};

// The line format: rate, parity, data bits, stop bits. Its text is the LineSettings text,
// e.g. "38400,N,8,1".
struct LineConfig {
  std::int32_t baud = 9600;
  char parity = 'N';  // N, O, E (M and S are refused: the program never uses them)
  int data_bits = 8;  // 5 to 8
  int stop_bits = 1;  // 1 or 2

  // Throws CommError(kErrInvalidPropertyValue) naming what is wrong; accepts blanks around
  // the fields and a lower-case parity letter.
  static LineConfig Parse(std::string_view text);
  std::string Text() const;
  // Bits one character takes on the wire: start + data + parity + stop. The one count of them:
  // the plug's wire time and the data tests' time limits both come from it.
  int BitsPerCharacter() const;
  bool operator==(const LineConfig&) const = default;
};

// The driver's counters of a terminal device (TIOCGICOUNT), counted since the system started the
// driver, not since the port was opened.
struct LineCounters {
  std::int64_t rx = 0, tx = 0, frame = 0, parity = 0, overrun = 0, buf_overrun = 0, brk = 0;
  bool operator==(const LineCounters&) const = default;
};

// What a port number names: a device path such as "/dev/ttyUSB0", or "loopback" with optional
// fault switches ("loopback?cts=off&drop=3"). Throws CommError(kErrInvalidPortNumber) for a
// number that names nothing.
using PortResolver = std::function<std::string(std::int16_t port_number)>;

// The rule when there is no COM port map: COM<n> is /dev/ttyS<n-1>.
std::string DefaultResolve(std::int16_t port_number);

// Where opening a terminal device looks for the system's console and puts its UUCP lock file.
// Tests point both at temporary folders.
struct SystemPaths {
  std::string sysfs_root = "/sys";     // the console is read from <root>/class/tty/console/active
  std::string lock_dir = "/run/lock";  // LCK..<name> lock files
};

class Device;

class CommControl {
 public:
  // `clock` must outlive the control; it times the virtual plug's wire and the line polling.
  explicit CommControl(PortResolver resolver = DefaultResolve, Clock& clock = SystemClock(),
                       SystemPaths paths = {});
  ~CommControl();  // closes the port (without waiting for unsent output)
  CommControl(const CommControl&) = delete;
  CommControl& operator=(const CommControl&) = delete;

  // Port number, 1 = COM1. Setting it while open throws kErrPortAlreadyOpen; below 1 throws
  // kErrInvalidPortNumber. Resolved at the next open.
  void PortNumber(std::int16_t number);
  std::int16_t PortNumber() const;
  // What messages call the port: "Com-port <n>" unless set (a device path the port was named
  // by, so that an error names the device the person gave).
  void PortLabel(std::string label);

  // Line settings, in force at once when open, from the next open when closed. A text that does
  // not parse, or a setting the device refuses, throws and leaves the previous settings.
  void LineSettings(std::string_view text);
  std::string LineSettings() const;

  // 0 = none (the only value the program uses). Other values (1 XON/XOFF, 2 RTS/CTS,
  // 3 both) are accepted and applied; anything else throws kErrInvalidPropertyValue.
  void FlowControl(std::int32_t mode);
  std::int32_t FlowControl() const;

  // true opens, false closes; closing a closed port does nothing, opening an open one does
  // nothing. A failed open throws and leaves the port closed. A device that vanishes closes the
  // port by itself; OpenState() then reads false.
  //
  // A terminal's UUCP lock file is taken at the first open and stays held over a close, for a
  // reopen of the same device: other programs find the port in use (by this process) in between,
  // and the reopen makes no new lock. The exclusive open (flock, TIOCEXCL) is made at every
  // open. The lock is let go when the port number changes, when the port names another path,
  // device or the plug at the next open, when an open fails, when the device vanishes, at
  // Release() and when the control is destroyed. A program that ends without destroying the
  // control calls Release() first.
  void OpenState(bool open);
  bool OpenState() const;
  // Closes the port, as OpenState(false) does, and lets go of its lock file at once.
  void Release();

  // Outputs. Set while closed, they are remembered and applied when the port opens.
  void DtrOn(bool on);
  bool DtrOn() const;
  void RtsOn(bool on);
  bool RtsOn() const;

  // Throws kErrPortNotOpen when the port is closed, as the operations valid only on an open
  // port do; for callers whose own operations do not complain on a closed port.
  void RequireOpen() const;

  // Inputs, true = on. Read while closed they are false, without error. A device without modem
  // lines (a pseudo-terminal) reads all inputs off.
  bool CtsState();
  bool DsrState();
  bool DcdState();
  bool RingState();

  // Break: true holds TxD in the spacing state until set false, after output already queued
  // with the device has gone out; the far end sees a break as long as it is held. Throws
  // kErrPortNotOpen when closed. A device without a break (a pseudo-terminal) takes it without
  // error and sends nothing. A close ends it.
  void Break(bool on);
  bool Break() const;

  // Queues every character (byte) of `text` for sending, in order. Throws kErrPortNotOpen when
  // closed. Never blocks; what the device cannot take now waits in the control's own 64 KiB
  // buffer; bytes beyond that are refused and raise event kErTxFull.
  void TransmitText(std::string_view text);

  // Every byte received and not yet read, in arrival order; reading empties the buffer.
  // Bytes move from the device into this buffer in Service(). Throws kErrPortNotOpen when
  // closed.
  std::string ReceivedText();
  // Number of bytes received and not yet read (0 when closed).
  std::int32_t InBufferCount() const;

  // When bytes last came in from the device and how far apart the latest arrivals were, on the
  // control's clock (microseconds); -1 for what is not known yet. The bytes one look at the
  // device finds are one arrival. Kept across close and open: a far end that is still sending
  // does not stop because this side reopened.
  struct Arrivals {
    std::int64_t last_us = -1;
    std::int64_t gap_us = -1;  // the longer of the last two gaps between arrivals
  };
  Arrivals LatestArrivals() const;
  // False while the port is open on the virtual plug: nothing arrives there but the echo of what
  // this control sent since the port opened. True for a terminal, whose far end may still be
  // sending what an earlier program sent it, and while the port is closed.
  bool ForeignInputPossible() const;

  // Raise kEvReceive once when the unread count reaches this value (edge-triggered: not again
  // until the count has dropped below it by a read); 0 disables. Starts at 1. Negative throws.
  // Setting it re-arms the event: a count already at or above the new value raises it at the
  // next Service().
  void ReceiveThreshold(std::int16_t count);
  std::int16_t ReceiveThreshold() const;

  // The code of the most recent event raised (0 before the first).
  std::int16_t CommEvent() const;

  // Raised from Service() once per event, after CommEvent has been set to its code.
  std::function<void()> OnCommEvent;

  // Event-loop integration. WatchFd is the descriptor to watch for reading (-1 when there is
  // none: closed, or the virtual plug). NextServiceMs is the longest the loop may wait before
  // calling Service (-1: no deadline: the port is closed, or open and nothing is due). The
  // deadline is the plug's next delivery, a pending event, or the next look at the modem lines
  // of a device that has them; a device without lines (a pseudo-terminal) and an idle plug set
  // none, so an idle loop does not wake for the port. Both change when the port opens or closes,
  // also when Service() finds the device gone, and the deadline after every call that changes
  // the outputs: read them again after every call.
  int WatchFd() const;
  int NextServiceMs() const;
  // As NextServiceMs, but for an event only: received characters are awaited until the receive
  // threshold is reached (all of them when it is off or already raised), so a loop that has
  // nothing else to do with them wakes once for a block, not once per character.
  int NextEventMs() const;

  // Moves received bytes in, polls modem lines and error counters, flushes the send buffer and
  // raises the events that are due. Safe to call at any time, also from inside OnCommEvent
  // (a nested call returns at once).
  void Service();

  // The driver's counters of the open port; nullopt when closed, for the virtual plug and for
  // drivers that keep none (pseudo-terminals, many USB adapters).
  std::optional<LineCounters> Counters() const;

  // Why the port last closed by itself (the event kErDeviceGone), naming the device and the
  // system's reason; "" until that happens.
  std::string LostReason() const;

 private:
  struct State;
  int DeadlineMs(bool events_only) const;
  std::unique_ptr<State> s_;
};

}  // namespace serivane::serial
