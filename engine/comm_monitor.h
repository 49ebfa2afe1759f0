// The comm event monitor: what the port's events show in the results box, and what they tell a
// test that waits for its echo.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/front_end.h"
#include "engine/result_log.h"
#include "serial/comm_control.h"

namespace serivane::engine {

class CommMonitor {
 public:
  CommMonitor(EventPump& events, serial::CommControl& port, ResultLog& log);

  // The port's event handler. Shows the message of an error or ring event, not repeating the
  // code last shown until another code came in between or TimerTick. A receive event is echo
  // while tests run (EchoIn), and is shown as it comes otherwise. Nothing leaves it, and it
  // leaves the comm timer on, started afresh.
  void HandleEvent();
  // The comm timer's tick: the last code is forgotten, so that it shows again.
  void TimerTick() { last_event_ = 0; }

  // While tests run, received characters are theirs to read and never shown.
  void SetTestsRunning(bool running) { tests_running_ = running; }
  bool TestsRunning() const { return tests_running_; }

  // A test starts waiting for its echo: receive events and line errors count from here on.
  void ExpectEcho() {
    echo_in_ = false;
    first_line_error_ = 0;
  }
  // A receive event came since ExpectEcho.
  bool EchoIn() const { return echo_in_; }
  // The first line-error code (above 1000) raised since ExpectEcho; 0 when none came. Every
  // error counts, not only the latest code: a framing error followed by the receive event must
  // still fail the data test.
  std::int16_t FirstLineError() const { return first_line_error_; }
  // Every event code from now on goes to `events`, each once, in the order they came; nullptr
  // ends that.
  void RecordEvents(std::vector<std::int16_t>* events) { recorded_ = events; }

 private:
  EventPump& events_;
  serial::CommControl& port_;
  ResultLog& log_;
  bool tests_running_ = false;
  std::int16_t last_event_ = 0;
  bool echo_in_ = false;
  std::int16_t first_line_error_ = 0;
  std::vector<std::int16_t>* recorded_ = nullptr;
};

}  // namespace serivane::engine
