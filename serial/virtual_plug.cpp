// The virtual loopback plug. TxD is wired to RxD, RTS to CTS, DTR to DSR and DCD, as in the
// usual 9-pin test plug (and RTS to RI for a full plug). A character occupies the line for its
// start bit, data bits, parity bit and stop bits at the baud rate in force when it starts;
// characters follow each other without gaps, as a UART sends a full buffer.
#include "serial/virtual_plug.h"

#include <algorithm>
#include <utility>

namespace serivane::serial {

void VirtualPlug::Open(const PlugFaults& faults, const LineConfig& config, std::int32_t flow,
                       bool dtr, bool rts) {
  ++opens_;
  clock_.Sleep(faults.open_delay_ms);
  if (gone_) {
    throw CommError(kErrInvalidPortNumber,
                    "Cannot open the virtual loopback plug: the device has gone");
  }
  if (faults.busy) {
    throw CommError(kErrPortAlreadyOpen,
                    "Cannot open the virtual loopback plug: it is in use by another program");
  }
  if (faults.open_fail_after >= 0 && opens_ > faults.open_fail_after) {
    throw CommError(kErrHardwareNotAvailable,
                    "Cannot open the virtual loopback plug: the hardware is not available");
  }
  faults_ = faults;
  Configure(config, flow);
  SetOutputs(dtr, rts);
  wire_.clear();
  swap_next_ = false;
  wire_free_ns_ = NowNs();
  breaking_ = false;
  opened_at_us_ = clock_.NowMicros();
  open_ = true;
}

void VirtualPlug::Configure(const LineConfig& config, std::int32_t /*flow*/) {
  // Any frame is accepted, and any rate unless maxrate= sets a highest one.
  if (faults_.max_rate > 0 && config.baud > faults_.max_rate) {
    throw CommError(kErrCommState, "The virtual loopback plug did not take the line settings " +
                                       config.Text() + ": " + std::to_string(config.baud) +
                                       " baud: this port makes at most " +
                                       std::to_string(faults_.max_rate));
  }
  config_ = config;
}

void VirtualPlug::SetOutputs(bool dtr, bool rts) {
  dtr_ = dtr;
  rts_ = rts;
}

ModemInputs VirtualPlug::Inputs() {
  if (!open_ || gone_) return {};
  ModemInputs in;
  in.cts = faults_.cts.value_or(rts_);
  in.dsr = faults_.dsr.value_or(dtr_);
  in.dcd = faults_.dcd.value_or(dtr_);
  in.ring = faults_.ri.value_or(faults_.ring || (faults_.full_wiring && rts_));
  return in;
}

bool VirtualPlug::SetBreak(bool on) {
  if (!open_ || gone_ || on == breaking_) return true;
  breaking_ = on;
  if (on) {
    // The break starts once the characters before it have left.
    break_from_ns_ = std::max(wire_free_ns_, NowNs());
    wire_free_ns_ = break_from_ns_;
    return true;
  }
  // A receiver sees a break only once the line has stayed low for a whole character.
  wire_free_ns_ = std::max(NowNs(), break_from_ns_ + CharacterNs());
  const std::int64_t delay_ns = std::int64_t{faults_.delay_ms} * 1'000'000;
  // It carries no data; a swallowed one only takes its time on the wire.
  wire_.push_back({wire_free_ns_ + delay_ns, 0,
                   static_cast<std::uint8_t>(faults_.breaks_lost ? 0 : kBreak), true});
  return true;
}

std::int64_t VirtualPlug::CharacterNs() const {
  const std::int64_t bits = config_.BitsPerCharacter();
  const std::int64_t baud = faults_.WireRate(config_.baud);
  // Rounded up, so a character never arrives before its last bit could have.
  return (bits * 1'000'000'000 + baud - 1) / baud;
}

void VirtualPlug::Queue(std::uint8_t code, std::uint8_t errors, bool lost) {
  const std::int64_t char_ns = std::max(CharacterNs(), std::int64_t{faults_.slow_ms} * 1'000'000);
  wire_free_ns_ = std::max(wire_free_ns_, NowNs()) + char_ns;
  const auto mask = static_cast<std::uint8_t>((1u << config_.data_bits) - 1u);
  const std::int64_t delay_ns = std::int64_t{faults_.delay_ms} * 1'000'000;
  wire_.push_back({wire_free_ns_ + delay_ns, static_cast<std::uint8_t>(code & mask), errors, lost});
}

std::size_t VirtualPlug::Write(std::string_view bytes) {
  if (!open_ || gone_) return 0;
  // Room for the characters taken and the extras that follow them.
  const auto extra = static_cast<std::size_t>(faults_.extra);
  const std::size_t room =
      wire_.size() + extra < kMaxOnWire ? kMaxOnWire - wire_.size() - extra : 0;
  bytes = bytes.substr(0, room);
  if (breaking_) {
    // The transmitter shifts them out into a line held low: nothing of them arrives.
    sent_ += static_cast<std::int64_t>(bytes.size());
    return bytes.size();
  }
  for (const char c : bytes) {
    const std::int64_t n = ++sent_;
    auto code = static_cast<std::uint8_t>(c);
    bool lost = !faults_.echo || (faults_.drop_every > 0 && n % faults_.drop_every == 0);
    if (faults_.corrupt_every > 0 && n % faults_.corrupt_every == 0) code ^= 1u;
    std::uint8_t errors = 0;
    if (n == faults_.break_at) errors |= kBreak;
    if (n == faults_.frame_at) errors |= kFrame;
    if (n == faults_.parity_at) errors |= kParity;
    if (n == faults_.overrun_at) errors |= kOverrun;
    // A character that never reaches the receiver cannot be received with an error either.
    if (lost) errors = 0;
    Queue(code, errors, lost);
    if (std::exchange(swap_next_, false) && wire_.size() >= 2) {
      Character& before = wire_[wire_.size() - 2];
      Character& after = wire_.back();
      std::swap(before.code, after.code);
      std::swap(before.errors, after.errors);
      std::swap(before.lost, after.lost);
    }
    swap_next_ = faults_.swap_every > 0 && n % faults_.swap_every == 0;
  }
  for (std::int64_t i = 0; i < faults_.extra && !bytes.empty(); ++i) {
    Queue('?', 0, false);
    swap_next_ = false;
  }
  return bytes.size();
}

bool VirtualPlug::Poll(DeviceSink& sink) {
  if (gone_) return false;
  if (!open_) return true;
  if (faults_.vanish_after_ms >= 0 &&
      clock_.NowMicros() >= opened_at_us_ + std::int64_t{faults_.vanish_after_ms} * 1000) {
    gone_ = true;
    wire_.clear();
    return false;
  }
  const std::int64_t now = NowNs();
  std::string run;
  while (!wire_.empty() && wire_.front().arrive_ns <= now) {
    const Character ch = wire_.front();
    wire_.pop_front();
    // An overrun loses the character; the other errors deliver it as it came.
    if (!ch.lost && !(ch.errors & kOverrun)) run.push_back(static_cast<char>(ch.code));
    if (ch.errors != 0) {
      if (!run.empty()) sink.Received(run);
      run.clear();
      if (ch.errors & kBreak) sink.LineError(kErBreak);
      if (ch.errors & kFrame) sink.LineError(kErFrame);
      if (ch.errors & kParity) sink.LineError(kErRxParity);
      if (ch.errors & kOverrun) sink.LineError(kErOverrun);
    }
  }
  if (!run.empty()) sink.Received(run);
  return true;
}

std::string VirtualPlug::GoneReason() const {
  return gone_ ? "the virtual loopback plug has vanished" : "";
}

std::int64_t VirtualPlug::NextDueMicros() const {
  if (!open_ || gone_) return -1;
  std::int64_t due = -1;
  if (!wire_.empty()) due = (wire_.front().arrive_ns + 999) / 1000;
  if (faults_.vanish_after_ms >= 0) {
    const std::int64_t vanish = opened_at_us_ + std::int64_t{faults_.vanish_after_ms} * 1000;
    due = due < 0 ? vanish : std::min(due, vanish);
  }
  return due;
}

std::int64_t VirtualPlug::DueMicrosFor(std::int64_t count) const {
  if (!open_ || gone_) return -1;
  // The character that completes the count, the first one with an error, or the last one on the
  // wire when fewer will arrive.
  std::int64_t due = -1;
  std::int64_t arriving = 0;
  for (const Character& ch : wire_) {
    due = (ch.arrive_ns + 999) / 1000;
    if (ch.errors != 0) break;
    if (!ch.lost && ++arriving >= count) break;
  }
  if (faults_.vanish_after_ms >= 0) {
    const std::int64_t vanish = opened_at_us_ + std::int64_t{faults_.vanish_after_ms} * 1000;
    due = due < 0 ? vanish : std::min(due, vanish);
  }
  return due;
}

void VirtualPlug::Close() {
  if (!open_) return;
  clock_.Sleep(faults_.close_delay_ms);
  // Characters still on the wire find the receiver closed.
  wire_.clear();
  open_ = false;
}

}  // namespace serivane::serial
