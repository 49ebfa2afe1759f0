// The test engine: the run driver, port setup, result log, the five loopback tests and the comm
// event monitor. It holds the fields of the main window that these procedures share and reaches
// the window only through WindowPort and the port only through the serial control, so that it
// runs headless in tests against the virtual plug with a ManualClock.
//
// Everything runs on the user-interface thread. Procedures keep the names of the window's event
// handlers they implement.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "engine/window_port.h"
#include "serial/comm_control.h"
#include "settings/settings.h"

namespace serivane::engine {

class ResultFile;

class Tester {
 public:
  // All four must outlive the tester. `settings` is the window's live settings; the tester
  // reads them when it needs them and writes ComPort (port setup fallback).
  Tester(WindowPort& window, serial::CommControl& port, Clock& clock, settings::Settings& settings);
  ~Tester();
  Tester(const Tester&) = delete;
  Tester& operator=(const Tester&) = delete;

  // One test run (the Run button). Returns when the run is over. Does nothing when a run is
  // already in progress, including while the first one yields before TestRunning is set. No
  // exception escapes: anything that is not a test's own failure ends the run with a
  // "Test run aborted: " line, and the run still gives the controls back, closes its file and
  // clears TestRunning. A result file that cannot be created or written does not stop the run;
  // the results box says so once, after the start line.
  void Run_Button_Click();
  // Asks the run in progress (or the next one) to end after the test that is running: the pass
  // writes its summary and no further pass starts, so the result file is complete. The request
  // is cleared when that run ends. Safe to call from any thread and from a signal handler.
  void RequestStopAfterCurrentTest() noexcept { stop_requested_ = true; }

  // A test box was clicked: value 0 unchecked, 1 checked, 2 grayed.
  void Test_Check_Click(std::int16_t index, int value);

  // Gives the port the current settings and reopens it; failures are shown in a message box.
  // Does nothing during a run.
  void Setup_ComPort();

  // The five tests; each returns true when it failed. The port must be open; an error the port
  // raises is reported as a failed line followed by "Error: " and the error's description, and
  // the test returns true. A SingleBytes setting below 1 fails the single-bytes test without
  // touching the port; a negative HandshakeDelay means no pause. The data tests expect
  // TestRunning to be set (as during a run): otherwise the monitor takes their echo as idle
  // traffic.
  bool Test_OpenClose();
  bool Test_DataTxRx();
  bool Test_SingleBytes();
  bool Test_RtsCts();
  bool Test_DtrDsr();

  // The port's OnCommEvent handler and the tmrOnComm tick.
  void OnCommEvent();
  void tmrOnComm_Timer();

  // The result log.
  void AppendResultLine(std::string_view line);
  void PrintResultLine(std::string_view line);

  // Folder (want_folder true) or file name part of `path`, cut at its last backslash.
  static std::string SplitFilename(std::string_view path, bool want_folder);

  // "38400,N,8,1" from the settings.
  std::string LineSettingsText() const;

  // Shared fields.
  bool TestRunning = false;
  std::int32_t SlowOpenCloseCount = 0;
  bool DataReceived = false;
  std::int32_t LastCommEvent = 0;

 private:
  // Reports a test line: the line to the box, mark + line to the file.
  void ReportLine(char mark, std::string_view line);
  // Adds characters received outside a run to the end of the results box as they are (no line
  // end, no caret move), keeping the box within the result log's length limit.
  void AppendReceivedText(std::string_view received);
  // Reports `head` + " <-- FAILED" and the reason as an "Error: " remark; returns true (failed).
  bool ReportFailure(const std::string& head, const std::string& reason);
  // The body of one run, up to its closing lines. May throw; the caller cleans up.
  void RunPasses();
  void AbortRun(const std::string& reason) noexcept;
  void FinishRun() noexcept;
  void OpenResultFile();
  // Reads the start tick, throws away what earlier traffic left in the port, clears DataReceived
  // and arms the receive event at `count` characters. Returns the start tick.
  std::uint32_t StartEcho(std::int16_t count);
  // Waits in 10 ms steps, letting window events run, until `limit_ms` have passed since the
  // tick `start` or DataReceived is set. Within a step the window sleeps on the port, so the
  // wait ends as soon as the echo is in; a window that cannot sleep on its events is given
  // whole steps of the clock. At least one step, unless the echo is already in.
  void WaitForEcho(std::uint32_t start, std::int32_t limit_ms);
  bool HandshakeTest(bool rts_cts);
  // Bits per character on the wire with the current line settings, for the data tests' limits.
  int EchoFrameBits() const;
  // The pause between setting a handshake output and reading its input. A short one blocks, so
  // that no window event runs in between; a long one (only an edited setting asks for one) lets
  // the window's events run every 50 ms, so that it never freezes the window or keeps it from
  // closing. `ms` below 1 makes no pause.
  void HandshakePause(std::int32_t ms);

  WindowPort& window_;
  serial::CommControl& port_;
  Clock& clock_;
  settings::Settings& settings_;
  std::unique_ptr<ResultFile> result_file_;

  // True from the first step of Run_Button_Click to its return; a second entry (the status
  // timer while a run waits) returns at once.
  bool in_run_ = false;
  std::atomic<bool> stop_requested_{false};
  bool controls_disabled_ = false;
  // The result file of the current run could not be created or written. The operator is told
  // once per run, at the first line that cannot reach the file.
  bool result_file_failed_ = false;
  std::string result_file_shown_name_;  // the path as the message names it
  std::string result_file_create_error_;
  // While the data test waits for its block, the monitor keeps the first line-error code
  // (above 1000) it is told of; 0 when none came.
  bool watching_line_errors_ = false;
  std::int16_t first_line_error_ = 0;
};

}  // namespace serivane::engine
