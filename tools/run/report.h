// The report serivane-run writes with --json: what ran on each port, what came of it, and what
// the diagnosis makes of it. Whatever bytes a port name, a path or a line holds, the report is
// valid JSON.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/run/port_run.h"

namespace serivane::run {

// What the report says of the run as a whole.
struct RunFacts {
  std::string started;  // ISO 8601 with the zone: "2026-12-07T09:15:02.125+01:00"
  std::string ended;
  std::string host;
  bool interrupted = false;
};

// Every report begins with these bytes; a file that does is one an earlier run wrote.
inline constexpr std::string_view kReportStart = "{\n  \"program\": \"serivane-run\"";

// The report: {"program", "version", "host", "started", "ended", "interrupted", "ports": [...]}.
std::string ReportJson(const std::vector<PortOutcome>& ports, const RunFacts& facts);

// Writes `report` to `out` when `target` is "-", else in place of the file `target`, whole.
// Answers "" or what failed: "cannot write the report to standard output".
std::string WriteReport(const std::string& report, const std::string& target, std::ostream& out);

// `when` (microseconds since the epoch) in the local zone as ISO 8601 with milliseconds.
std::string IsoTime(std::int64_t when_us);

// The name of an event code in the report: "data received", "framing error".
std::string EventName(std::int16_t code);

// Now, on the wall clock, in microseconds since the epoch.
std::int64_t WallClockMicros();

// This machine's name, "" when it has none.
std::string HostName();

}  // namespace serivane::run
