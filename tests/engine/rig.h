// The engine on a virtual loopback plug. The rig is the window: it records what the engine shows,
// and its DoEvents does what the real event loop does for the engine (the port's Service, and
// tmrOnComm every 1000 ms of the ManualClock that the tester and the plug share). Settings are
// at their defaults; the result file lies in a fresh temporary folder.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/datetime.h"
#include "engine/tester.h"
#include "serial/comm_control.h"
#include "settings/settings.h"

namespace serivane::engine::testing {

// A clock reading far from 0, so that nothing depends on the tick counter starting at 0.
inline constexpr std::int64_t kStartMicros = 123'456'789'000;

struct Rig final : WindowPort {
  // `faults` is the query of the plug on Com1 ("echo=off").
  explicit Rig(const std::string& faults = "", std::int64_t start_micros = kStartMicros)
      : clock(start_micros), port([this](std::int16_t n) { return Resolve(n); }, clock) {
    targets[1] = "loopback?" + faults;
    port.OnCommEvent = [this] { tester.OnCommEvent(); };
    std::string pattern = (std::filesystem::temp_directory_path() / "serivane-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder = pattern;
    settings.ResultFileName = folder + "/result.txt";
  }
  ~Rig() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  std::string Resolve(std::int16_t n) const {
    if (auto it = targets.find(n); it != targets.end()) return it->second;
    throw serial::CommError(serial::kErrInvalidPortNumber,
                            "Com" + std::to_string(n) + " names no device");
  }
  // Opens the port as the window does after a settings change, then forgets what it showed.
  void OpenPort() {
    tester.Setup_ComPort();
    text.clear();
    calls.clear();
    do_events_calls = 0;
  }
  void Run() {
    t0 = std::time(nullptr);
    tester.Run_Button_Click();
  }
  // The result file, with the date-time text of any second since the last run began as "{dt}".
  std::string File() const {
    std::ifstream in(settings.ResultFileName, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (std::time_t t = t0; t <= std::time(nullptr); ++t) {
      const std::string dt = DateTimeText(t);
      for (auto at = bytes.find(dt); at != std::string::npos; at = bytes.find(dt))
        bytes.replace(at, dt.size(), "{dt}");
    }
    return bytes;
  }

  // WindowPort. `calls` records, in order: "busy", "idle", "disable", "enable", "focus repeat",
  // "focus run", "restore", "exit", "select <i>", "caption <text>", "<title>: <text>" of boxes.
  std::string ResultText() const override { return text; }
  void SetResultText(const std::string& t) override { text = t; }
  void MoveResultCaretToEnd() override {}
  void RepaintResult() override {}
  void SetResultBackground(Rgb colour) override { background = colour; }
  void SetRunControlsEnabled(bool on) override { calls.push_back(on ? "enable" : "disable"); }
  bool RepeatChecked() const override { return repeat; }
  void FocusRepeatBox() override { calls.push_back("focus repeat"); }
  void FocusRunButton() override { calls.push_back("focus run"); }
  void RestoreIfMinimized() override { calls.push_back("restore"); }
  bool AskFailureContinue(const std::string& t, const std::string& title) override {
    calls.push_back(title + ": " + t);
    if (throw_at_ask) throw std::runtime_error("window failure");
    if (on_ask) on_ask();
    return answer;
  }
  void ShowCriticalMessage(const std::string& t, const std::string& title) override {
    calls.push_back(title + ": " + t);
  }
  void DoEvents() override {
    // A wait that never ends fails the test instead of hanging it.
    if (++do_events_calls > 100'000) throw std::runtime_error("runaway wait");
    port.Service();
    if (timer_on && clock.NowMicros() - timer_start >= 1'000'000) {
      timer_start = clock.NowMicros();
      tester.tmrOnComm_Timer();
    }
    if (on_do_events) on_do_events();
  }
  // With wakes_on_port, sleeps as the program's event loop does: until the port's next deadline
  // (the plug's next delivery), at most `max_ms`.
  bool WaitForEvents(std::int32_t max_ms) override {
    if (!wakes_on_port) return false;
    const int due = port.NextServiceMs();
    clock.AdvanceMillis(due < 0 || due > max_ms ? max_ms : due);
    DoEvents();
    return true;
  }
  void SetBusyCursor(bool busy) override { calls.push_back(busy ? "busy" : "idle"); }
  bool RtsChecked() const override { return rts; }
  bool DtrChecked() const override { return dtr; }
  void SelectComEntry(int index) override { calls.push_back("select " + std::to_string(index)); }
  void SetTestFrameCaption(const std::string& c) override { calls.push_back("caption " + c); }
  void SetCommTimerEnabled(bool on) override {
    timer_on = on;
    if (on) timer_start = clock.NowMicros();
  }
  bool CloseWhenFinished() const override { return close_when_finished; }
  void Exit() override {
    calls.push_back("exit");
    if (on_exit) on_exit();
  }

  ManualClock clock;
  std::map<std::int16_t, std::string> targets;
  serial::CommControl port;
  settings::Settings settings;
  Tester tester{*this, port, clock, settings};
  std::string folder;
  std::time_t t0 = 0;

  std::string text;
  Rgb background{0, 0, 0};
  std::vector<std::string> calls;
  int do_events_calls = 0;
  bool repeat = false, rts = true, dtr = true, close_when_finished = false, answer = true;
  bool throw_at_ask = false;
  bool wakes_on_port = false;
  std::function<void()> on_do_events, on_ask, on_exit;
  bool timer_on = true;
  std::int64_t timer_start = clock.NowMicros();
};

// Expected box text and file bytes of a run. Each test line is led by its mark in the file
// ('+', '-', ' '), by '=' when the file has it without a mark, or by '#' for the box alone.
struct Expect {
  std::string box = "Test started ...\r\n", file = "Test started {dt}\r\n";
  Expect& Add(const std::vector<std::string>& lines) {
    for (const std::string& l : lines) {
      box += l.substr(1) + "\r\n";
      if (l[0] != '#') file += (l[0] == '=' ? l.substr(1) : l) + "\r\n";
    }
    return *this;
  }
  // `summary` led by its mark.
  Expect& Summary(const std::string& summary) {
    box += summary.substr(1) + "\r\n\r\n";
    file += summary + " {dt}\r\n\r\n";
    return *this;
  }
};

inline void Check(const Rig& rig, const Expect& e) {
  EXPECT_EQ(rig.text, e.box);
  EXPECT_EQ(rig.File(), e.file);
  EXPECT_FALSE(rig.tester.TestRunning);
}

}  // namespace serivane::engine::testing
