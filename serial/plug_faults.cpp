// Fault switches of the virtual loopback plug, read from the query part of its target.
#include "serial/plug_faults.h"

#include <charconv>
#include <limits>
#include <string>

#include "common/text.h"
#include "serial/comm_control.h"

namespace serivane::serial {

namespace {

constexpr std::string_view kPlugWord = "loopback";

[[noreturn]] void Refuse(std::string_view item, std::string_view why) {
  throw CommError(kErrInvalidPropertyValue, "Virtual loopback plug: invalid switch \"" +
                                                std::string(item) + "\": " + std::string(why));
}

std::int64_t Count(std::string_view item, std::string_view value, std::int64_t max) {
  std::int64_t n = 0;
  const char* end = value.data() + value.size();
  auto [ptr, ec] = std::from_chars(value.data(), end, n);
  if (value.empty() || ec != std::errc() || ptr != end || n < 0 || n > max) {
    Refuse(item, "expected a whole number from 0 to " + std::to_string(max));
  }
  return n;
}

bool OnOff(std::string_view item, std::string_view value) {
  const std::string v = Lower(value);
  if (v == "on" || v == "1") return true;
  if (v == "off" || v == "0") return false;
  Refuse(item, "expected on or off");
}

}  // namespace

PlugFaults PlugFaults::Parse(std::string_view query) {
  constexpr std::int64_t kMaxCount = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMaxMs = std::numeric_limits<std::int32_t>::max();
  PlugFaults f;
  for (const std::string_view item : Split(query, '&')) {
    if (item.empty()) continue;

    const auto eq = item.find('=');
    if (eq == std::string_view::npos) Refuse(item, "expected name=value");
    const std::string name = Lower(item.substr(0, eq));
    const std::string_view value = item.substr(eq + 1);

    if (name == "echo") {
      f.echo = OnOff(item, value);
    } else if (name == "drop") {
      f.drop_every = Count(item, value, kMaxCount);
    } else if (name == "corrupt") {
      f.corrupt_every = Count(item, value, kMaxCount);
    } else if (name == "swap") {
      f.swap_every = Count(item, value, kMaxCount);
    } else if (name == "extra") {
      f.extra = Count(item, value, kMaxExtra);
    } else if (name == "slow") {
      f.slow_ms = static_cast<std::int32_t>(Count(item, value, kMaxSlowMs));
    } else if (name == "break") {
      f.break_at = Count(item, value, kMaxCount);
    } else if (name == "frame") {
      f.frame_at = Count(item, value, kMaxCount);
    } else if (name == "parity") {
      f.parity_at = Count(item, value, kMaxCount);
    } else if (name == "overrun") {
      f.overrun_at = Count(item, value, kMaxCount);
    } else if (name == "cts") {
      f.cts = OnOff(item, value);
    } else if (name == "dsr") {
      f.dsr = OnOff(item, value);
    } else if (name == "dcd") {
      f.dcd = OnOff(item, value);
    } else if (name == "ring") {
      f.ring = OnOff(item, value);
    } else if (name == "wiring") {
      const std::string v = Lower(value);
      if (v != "full" && v != "standard") Refuse(item, "expected full or standard");
      f.full_wiring = v == "full";
    } else if (name == "ri") {
      f.ri = OnOff(item, value);
    } else if (name == "breaks") {
      const std::string v = Lower(value);
      if (v != "lost" && v != "kept") Refuse(item, "expected lost or kept");
      f.breaks_lost = v == "lost";
    } else if (name == "delay") {
      f.delay_ms = static_cast<std::int32_t>(Count(item, value, kMaxSlowMs));
    } else if (name == "openfail") {
      f.open_fail_after = Count(item, value, kMaxCount);
    } else if (name == "busy") {
      f.busy = OnOff(item, value);
    } else if (name == "opendelay") {
      f.open_delay_ms = static_cast<std::int32_t>(Count(item, value, kMaxMs));
    } else if (name == "closedelay") {
      f.close_delay_ms = static_cast<std::int32_t>(Count(item, value, kMaxMs));
    } else if (name == "vanish") {
      f.vanish_after_ms = static_cast<std::int32_t>(Count(item, value, kMaxMs));
    } else if (name == "rate") {
      // "N" or "A:N": the wire's rate, for every set rate or only for A.
      const auto colon = value.find(':');
      const std::string_view runs =
          colon == std::string_view::npos ? value : value.substr(colon + 1);
      if (colon != std::string_view::npos) {
        f.wire_rate_for = static_cast<std::int32_t>(Count(item, value.substr(0, colon), kMaxMs));
        if (f.wire_rate_for == 0) Refuse(item, "expected a rate above 0");
      }
      f.wire_rate = static_cast<std::int32_t>(Count(item, runs, kMaxMs));
      if (f.wire_rate == 0) Refuse(item, "expected a rate above 0");
    } else if (name == "maxrate") {
      f.max_rate = static_cast<std::int32_t>(Count(item, value, kMaxMs));
      if (f.max_rate == 0) Refuse(item, "expected a rate above 0");
    } else {
      Refuse(item, "unknown switch");
    }
  }
  return f;
}

bool IsLoopbackTarget(std::string_view target) {
  if (target.size() < kPlugWord.size()) return false;
  if (Lower(target.substr(0, kPlugWord.size())) != kPlugWord) return false;
  return target.size() == kPlugWord.size() || target[kPlugWord.size()] == '?';
}

std::string_view PlugSwitches(std::string_view target) {
  const std::size_t question = target.find('?');
  return question == std::string_view::npos ? std::string_view{} : target.substr(question + 1);
}

}  // namespace serivane::serial
