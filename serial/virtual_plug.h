// The built-in virtual loopback plug: a Device with no hardware behind it, timed by a Clock.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "common/clock.h"
#include "serial/device.h"
#include "serial/plug_faults.h"

namespace serivane::serial {

// One plug per port number lives as long as its CommControl, so that its character counters and
// the "gone" state of vanish= survive a close and a reopen of that port. Open() and Close() fit it
// to and take it off the port; between them it behaves as an open Device.
class VirtualPlug final : public Device {
 public:
  // Characters the plug holds on their way at most; Write takes no more than fits.
  static constexpr std::size_t kMaxOnWire = 65536;

  explicit VirtualPlug(Clock& clock) : clock_(clock) {}

  // Throws CommError: 8002 after the plug has vanished, 8005 for busy=on, 8010 once the opens
  // allowed by openfail= are used up. Takes opendelay= of the clock first, whatever the outcome.
  void Open(const PlugFaults& faults, const LineConfig& config, std::int32_t flow, bool dtr,
            bool rts);

  void Configure(const LineConfig& config, std::int32_t flow) override;
  void SetOutputs(bool dtr, bool rts) override;
  ModemInputs Inputs() override;
  bool SetBreak(bool on) override;
  std::size_t Write(std::string_view bytes) override;
  bool Poll(DeviceSink& sink) override;
  bool Gone() const override { return gone_; }
  std::string GoneReason() const override;
  int Fd() const override { return -1; }
  std::int64_t NextDueMicros() const override;
  std::int64_t DueMicrosFor(std::int64_t count) const override;
  // The plug's inputs follow its outputs and fault switches only, so they need no polling.
  std::int64_t LinePollMicros() const override { return -1; }
  void Close() override;

 private:
  enum ErrorBits : std::uint8_t { kBreak = 1, kFrame = 2, kParity = 4, kOverrun = 8 };
  struct Character {
    std::int64_t arrive_ns;  // clock time the stop bit ends at the receiver
    std::uint8_t code;
    std::uint8_t errors;
    bool lost;  // took its wire time but never reaches the receiver
  };

  void Queue(std::uint8_t code, std::uint8_t errors, bool lost);
  std::int64_t CharacterNs() const;
  std::int64_t NowNs() const { return clock_.NowMicros() * 1000; }

  Clock& clock_;
  PlugFaults faults_;
  LineConfig config_;
  bool open_ = false;
  bool dtr_ = false;
  bool rts_ = false;
  bool breaking_ = false;
  std::int64_t break_from_ns_ = 0;  // when the break began on the wire
  bool gone_ = false;
  std::int64_t opens_ = 0;
  std::int64_t sent_ = 0;  // characters handed to the plug since it was made
  std::int64_t opened_at_us_ = 0;
  bool swap_next_ = false;         // swap=: the last character queued changes places with the next
  std::int64_t wire_free_ns_ = 0;  // when the transmitter finishes the last queued character
  std::deque<Character> wire_;
};

}  // namespace serivane::serial
