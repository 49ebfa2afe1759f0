// The backend behind CommControl: one open serial device, either a termios terminal or the
// virtual loopback plug. Private to serial/: the rest of the program sees only CommControl.
//
// A Device never raises events itself. It hands received bytes and line errors, in the order
// they happened on the line, to a DeviceSink during Poll(); CommControl turns them into events.
// No operation blocks, except the plug's open and close delays, which run on the control's clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "serial/comm_control.h"

namespace serivane::serial {

struct ModemInputs {
  bool cts = false;
  bool dsr = false;
  bool dcd = false;
  bool ring = false;
};

class DeviceSink {
 public:
  virtual void Received(std::string_view bytes) = 0;
  // One of the line-error event codes (kErBreak, kErFrame, kErOverrun, kErRxOver, kErRxParity).
  virtual void LineError(std::int16_t code) = 0;

 protected:
  ~DeviceSink() = default;
};

class Device {
 public:
  virtual ~Device() = default;

  // Applies line settings and flow control at once. Throws CommError(kErrCommState) naming what
  // the driver did not take; the device may then hold a mix of old and new settings, so the
  // caller applies the previous ones again.
  virtual void Configure(const LineConfig& config, std::int32_t flow) = 0;

  // A device without modem lines remembers nothing and reports no error.
  virtual void SetOutputs(bool dtr, bool rts) = 0;
  virtual ModemInputs Inputs() = 0;
  // Holds TxD in the spacing state (a break) while `on`. A device without a break answers false
  // and does nothing; the break ends when the device closes.
  virtual bool SetBreak(bool on) = 0;

  // Takes as many bytes as the device can accept now and returns that count (0 when full).
  // A device found gone takes nothing and reads Gone() afterwards.
  virtual std::size_t Write(std::string_view bytes) = 0;

  // Moves everything that has arrived into `sink` and reports line errors since the last call.
  // Returns false when the device has gone; Gone() then reads true and GoneReason() says why.
  virtual bool Poll(DeviceSink& sink) = 0;

  virtual bool Gone() const = 0;
  virtual std::string GoneReason() const = 0;

  // The descriptor the event loop watches for reading, or -1.
  virtual int Fd() const = 0;
  // Clock time (microseconds) by which Poll must run next for something due, or -1 for none.
  virtual std::int64_t NextDueMicros() const = 0;
  // Clock time by which Poll must run for `count` more received characters to be in, or for
  // something else due before them (a line error, the device vanishing); -1 for none. A device
  // that cannot tell answers NextDueMicros().
  virtual std::int64_t DueMicrosFor(std::int64_t /*count*/) const { return NextDueMicros(); }
  // How often the modem lines and error counters must be looked at for a change to be seen in
  // time (microseconds), or -1 when they change only through this program's own calls (or the
  // device has none): the control then never wakes to look.
  virtual std::int64_t LinePollMicros() const = 0;

  // The driver's counters, where it keeps them.
  virtual std::optional<LineCounters> Counters() const { return std::nullopt; }

  // Drops unsent output and releases the device. Never waits for the line to drain.
  virtual void Close() = 0;
};

}  // namespace serivane::serial
