// The checks beyond the five tests that serivane-run offers (--plug full, --break, --latency,
// --sweep, --soak): what each came to, as facts that the terminal, the result file, the JSON
// report and the JUnit file read, and what each works with.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/clock.h"
#include "serial/comm_control.h"
#include "settings/settings.h"

namespace serivane::run {

// One named value of a check, as the report gives it: "median_us": 1234.
struct Figure {
  std::string key;
  std::variant<std::int64_t, double, bool, std::string> value;
  bool operator==(const Figure&) const = default;
};

struct CheckOutcome {
  std::string name;   // the option's name without dashes: "soak", "sweep", "plug", ...
  std::string title;  // for people: "Soak for 90 s at 38400,N,8,1"
  bool passed = false;
  bool interrupted = false;  // a stop request ended it early; it has not passed
  std::int64_t duration_ms = 0;
  // Its lines in the results' form: the first names the check and its verdict, the rest say
  // what was seen. They go to the terminal and the result file (with '+' or '-' in front).
  std::vector<std::string> lines;
  // What a failure points at, as the port's diagnosis does: sentences naming pins and causes.
  std::vector<std::string> diagnosis;
  // Its figures for the report, in order; and one set of figures for each item it went
  // through (each rate of a sweep), given as "items".
  std::vector<Figure> figures;
  std::vector<std::vector<Figure>> items;
  // Event codes the port raised while it ran, each once, in order.
  std::vector<std::int16_t> events;
  bool operator==(const CheckOutcome&) const = default;
};

// What the command line asks for beyond the tests.
struct CheckOptions {
  std::optional<std::int64_t> soak_ms;             // --soak DURATION
  bool flow_rts = false;                           // --flow rts: the soak with RTS/CTS handshake
  std::optional<std::vector<std::int32_t>> sweep;  // --sweep [RATES]; empty: the standard rates
  bool full_plug = false;                          // --plug full: DCD and RI are wired as well
  std::optional<std::int32_t> break_ms;            // --break MS
  std::optional<std::int32_t> latency_rounds;      // --latency N

  bool Any() const { return soak_ms || sweep || full_plug || break_ms || latency_rounds; }
};

// What a check works with: the port, open and set up at the run's settings, and the run's
// event loop. The port's receive event is off while checks run; a check reads what arrived
// itself. A check leaves the port open at the run's line settings and outputs as it found them.
class CheckContext {
 public:
  virtual ~CheckContext() = default;
  virtual serial::CommControl& Port() = 0;
  virtual Clock& GetClock() = 0;
  virtual const settings::Settings& RunSettings() const = 0;
  // Serves the port and sleeps until something arrives or `max_ms` has passed.
  virtual void Wait(std::int32_t max_ms) = 0;
  // A stop was asked for (Ctrl+C): a long check ends soon, marked interrupted.
  virtual bool StopRequested() const = 0;
  // A progress line, shown in place on a terminal (about once a second is enough); nothing
  // when the output is no terminal or quiet. An empty line takes it away.
  virtual void Progress(std::string_view line) = 0;
  // The event codes the port raised since the last call, in order, and forgets them.
  virtual std::vector<std::int16_t> TakeEvents() = 0;
  // The port is a pseudo-terminal: no modem lines, no break, no line counters.
  virtual bool NoModemLines() const = 0;
  // What the system says about the device: its USB latency timer where the driver has one, and
  // whether it is a USB adapter at all.
  virtual std::optional<int> LatencyTimerMs() const { return std::nullopt; }
  virtual bool OnUsb() const { return false; }
};

}  // namespace serivane::run
