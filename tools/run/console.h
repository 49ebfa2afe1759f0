// What serivane-run prints: the lines of several port threads with a progress line kept below
// them on a terminal, the progress itself, and each port's summary line.
#pragma once

#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "tools/run/port_run.h"

namespace serivane::run {

// Lines from several port threads, and the progress line that stands below them on a terminal.
class Console {
 public:
  Console(std::ostream& stream, bool terminal) : stream_(stream), terminal_(terminal) {}

  // One whole line, above the progress line.
  void Line(const std::string& text);
  // Replaces the progress line in place (terminal only).
  void Progress(const std::string& text);
  // Ends the progress line where it stands.
  void EndProgress();
  bool IsTerminal() const { return terminal_; }

 private:
  std::mutex mutex_;
  std::ostream& stream_;
  bool terminal_;
  std::string progress_;
};

// How messages and the summary name a port: "COM3 (/dev/ttyUSB0)"; with several ports, by the
// name that starts its lines and its result file first.
std::string Head(const PortOutcome& o, bool several);

// "COM3: FAILED (RTS/CTS handshake), 1 pass", "loopback: all tests passed, 3 passes, stopped".
std::string SummaryLine(const PortOutcome& o, bool several);

// The progress line: "pass 3, failures 0", or over several ports "2 ports: pass 3 to 4,
// failures 1 (COM3)". `names` are the runs' port names, in the same order.
std::string ProgressText(const std::vector<std::unique_ptr<PortRun>>& runs,
                         const std::vector<std::string>& names);

}  // namespace serivane::run
