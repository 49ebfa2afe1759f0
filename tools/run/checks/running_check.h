// What every check does first and last: its outcome named and titled and the time it started
// on the run's clock; at its end the verdict, the first line that says it, and the duration.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "tools/run/checks/check.h"

namespace serivane::run {

// How a check's first line ends.
inline std::string VerdictMark(bool passed) {
  return passed ? " --- OK" : " <-- FAILED";
}

// The line of a check whose port threw while it ran.
inline std::string PortFailedLine(const std::exception& e) {
  return std::string("The port failed: ") + e.what();
}

// One check from its start to its outcome.
class RunningCheck {
 public:
  // Starts the clock of the check `name` ("break", "sweep", ...), titled `title`.
  RunningCheck(CheckContext& context, std::string name, std::string title)
      : context_(context), started_us_(context.GetClock().NowMicros()) {
    out_.name = std::move(name);
    out_.title = std::move(title);
  }

  CheckOutcome& Out() { return out_; }
  const std::string& Title() const { return out_.title; }
  std::int64_t StartedUs() const { return started_us_; }
  // Microseconds since the start.
  std::int64_t ElapsedUs() const { return context_.GetClock().NowMicros() - started_us_; }

  void Line(std::string line) { out_.lines.push_back(std::move(line)); }
  void Diagnose(std::string sentence) { out_.diagnosis.push_back(std::move(sentence)); }

  // Answers `check()`, whether the check passed, unless the device is a pseudo-terminal (no
  // modem lines, no break): then `line` says what was not done, `why` why the check cannot
  // pass, and it has not.
  template <class Check>
  bool UnlessPseudoTerminal(std::string line, std::string why, Check check) {
    if (!context_.NoModemLines()) return check();
    Line(std::move(line));
    Diagnose(std::move(why));
    return false;
  }

  // The end of a check that a stop request cuts short: interrupted when a stop was asked for,
  // passed only when `passed` and not interrupted, `head` and the verdict as its first line,
  // and the whole milliseconds it took.
  CheckOutcome Finish(bool passed, std::string_view head) {
    out_.interrupted = context_.StopRequested();
    out_.passed = passed && !out_.interrupted;
    out_.duration_ms = ElapsedUs() / 1000;
    return Conclude(std::string(head) + VerdictMark(out_.passed));
  }
  CheckOutcome Finish(bool passed) { return Finish(passed, out_.title); }

  // The end of a check that has set its verdict and duration itself: `first` goes before the
  // lines it wrote.
  CheckOutcome Conclude(std::string first) {
    out_.lines.insert(out_.lines.begin(), std::move(first));
    return std::move(out_);
  }

 private:
  CheckContext& context_;
  std::int64_t started_us_;
  CheckOutcome out_;
};

}  // namespace serivane::run
