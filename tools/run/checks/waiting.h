// What the checks of the port's lines share: waiting on the run's clock while the port is
// served, and keeping the events a check saw.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "tools/run/checks/check.h"

namespace serivane::run {

// Serves the port until `done()` holds or `max_ms` have passed on the run's clock, or a stop is
// asked for; answers `done()` at the end.
template <class Done>
bool WaitUntil(CheckContext& context, std::int64_t max_ms, Done done) {
  Clock& clock = context.GetClock();
  const std::int64_t until = clock.NowMicros() + max_ms * 1000;
  while (!done()) {
    const std::int64_t left = until - clock.NowMicros();
    if (left <= 0 || context.StopRequested()) return done();
    context.Wait(static_cast<std::int32_t>(std::min<std::int64_t>((left + 999) / 1000, 1000)));
  }
  return true;
}

// Serves the port for `ms` milliseconds of the run's clock (less when a stop is asked for).
inline void Pause(CheckContext& context, std::int64_t ms) {
  WaitUntil(context, ms, [] { return false; });
}

// Lets what is still on its way (a late echo of the tests) arrive, and drops it: done once
// nothing came for 50 ms, or after 2 s of a far end that keeps sending.
inline void Settle(CheckContext& context) {
  serial::CommControl& port = context.Port();
  Clock& clock = context.GetClock();
  const std::int64_t until = clock.NowMicros() + 2'000'000;
  for (;;) {
    const std::int32_t before = port.InBufferCount();
    Pause(context, 50);
    if (port.InBufferCount() == before || clock.NowMicros() >= until || context.StopRequested())
      break;
  }
  if (port.InBufferCount() > 0) port.ReceivedText();
}

// The time `chars` characters take on the wire at `line`, rounded up to whole microseconds.
inline std::int64_t WireMicros(const serial::LineConfig& line, std::int64_t chars) {
  const std::int64_t baud = std::max<std::int64_t>(line.baud, 1);
  return (chars * line.BitsPerCharacter() * 1'000'000 + baud - 1) / baud;
}

// The event codes `codes`, added to the check's own, each once.
inline void KeepEvents(const std::vector<std::int16_t>& codes, std::vector<std::int16_t>& events) {
  for (const std::int16_t code : codes)
    if (std::find(events.begin(), events.end(), code) == events.end()) events.push_back(code);
}

// The events the port raised since the last look, added to the check's own, each once.
inline void KeepEvents(CheckContext& context, std::vector<std::int16_t>& events) {
  KeepEvents(context.TakeEvents(), events);
}

}  // namespace serivane::run
