// The engine on a virtual loopback plug. The rig is the window: it keeps the state the engine
// gives it, and its DoEvents does what the real event loop does for the engine (the port's
// Service, and the comm timer every 1000 ms of the ManualClock that the tester and the plug
// share). Settings are at their defaults; the result file lies in a fresh temporary folder.
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
#include <utility>
#include <vector>

#include "common/datetime.h"
#include "engine/tester.h"

namespace serivane::engine::testing {

// 30 ms before the 32-bit millisecond tick counter wraps: the measurements of every case cross
// the wrap, and nothing depends on the counter starting at 0.
inline constexpr std::int64_t kStartMicros = (std::int64_t{1} << 32) * 1000 - 30'000;

struct Rig final : ResultsView, WindowControls, OperatorAnswers, EventPump, RunObserver {
  // `faults` is the query of the plug on Com1 ("echo=off").
  explicit Rig(const std::string& faults = "")
      : clock(kStartMicros), port([this](std::int16_t n) { return targets.at(n); }, clock) {
    targets[1] = "loopback?" + faults;
    port.OnCommEvent = [this] { tester.HandleCommEvent(); };
    std::string pattern = (std::filesystem::temp_directory_path() / "serivane-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder = pattern;
    settings.ResultFileName = folder + "/result.txt";
  }
  ~Rig() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  // Selects exactly the tests given.
  void Select(const std::vector<int>& tests) {
    settings.TestSelected = {};
    for (int n : tests) settings.TestSelected[static_cast<std::size_t>(n)] = true;
  }
  // Opens the port as the window does after a settings change, then forgets what it showed.
  void OpenPort() {
    tester.SetUpPort();
    text.clear();
  }
  // The result file, with the date-time text of any second since the rig was made as "{dt}".
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

  // The front end's parts.
  std::string ResultText() const override { return text; }
  void SetResultText(const std::string& t) override { text = t; }
  void MoveResultCaretToEnd() override {}
  void RepaintResult() override {}
  void SetResultBackground(Rgb colour) override { background = colour; }
  void SetRunControlsEnabled(bool on) override { controls_on = on; }
  // Repeat is unchecked after ten passes: a run that would repeat without end fails instead.
  bool RepeatChecked() const override { return repeat && passes < 10; }
  void PassFinished(const PassOutcome& pass) override {
    passes = pass.pass;
    pass_outcomes.push_back(pass);
  }
  void LineAdded(std::string_view line, LineOrigin origin) override {
    origins.emplace_back(std::string(line), origin);
  }
  void FocusRepeatBox() override {}
  void FocusRunButton() override {}
  void RestoreIfMinimized() override {}
  bool AskFailureContinue(const std::string& t, const std::string&) override {
    asks.push_back(t);
    if (throw_at_ask) throw std::runtime_error("window failure");
    if (on_ask) on_ask();
    return answer;
  }
  void ShowCriticalMessage(const std::string& t, const std::string&) override {
    box = t;
    port_open_at_box = port.OpenState();
    com_port_at_box = settings.ComPort;
  }
  void DoEvents() override {
    // A wait that never ends fails the test instead of hanging it.
    if (++do_events_calls > 100'000) throw std::runtime_error("runaway wait");
    port.Service();
    if (timer_on && clock.NowMicros() - timer_start >= 1'000'000) {
      timer_start = clock.NowMicros();
      tester.CommTimerTick();
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
  void SetBusyCursor(bool on) override { busy = on; }
  bool RtsChecked() const override { return rts; }
  bool DtrChecked() const override { return true; }
  void SelectComEntry(int) override {}
  void SetTestFrameCaption(const std::string& c) override { caption = c; }
  void SetCommTimerEnabled(bool on) override {
    timer_on = on;
    if (on) timer_start = clock.NowMicros();
  }
  bool CloseWhenFinished() const override { return close_when_finished; }
  void Exit() override {
    exited = true;
    if (on_exit) on_exit();
  }

  ManualClock clock;
  std::map<std::int16_t, std::string> targets;
  serial::CommControl port;
  settings::Settings settings;
  Tester tester{FrontEnd(*this, *this, this, this, this), port, clock, settings};
  std::string folder;
  const std::time_t t0 = std::time(nullptr);

  std::string text, caption, box;
  Rgb background{0, 0, 0};
  std::vector<std::string> asks;
  bool controls_on = true, busy = false, exited = false, port_open_at_box = false;
  int com_port_at_box = 0, do_events_calls = 0, passes = 0;
  std::vector<PassOutcome> pass_outcomes;
  std::vector<std::pair<std::string, LineOrigin>> origins;
  bool repeat = false, rts = true, close_when_finished = false, answer = true;
  bool throw_at_ask = false, wakes_on_port = false;
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
  // The summary a pass of these lines earns: failed when one of them is marked '-'.
  Expect& Verdict() { return Summary(Failed() ? "-TEST(S) FAILED !!" : "+All test(s) passed"); }
  bool Failed() const { return file.find("\n-") != std::string::npos; }
};

// What every run leaves behind, whatever happened in it; a slow open alone makes the box yellow.
inline void Check(const Rig& rig, const Expect& e) {
  EXPECT_EQ(rig.text, e.box);
  EXPECT_EQ(rig.File(), e.file);
  EXPECT_EQ(rig.background, e.Failed()                                 ? kRed
                            : e.file.find("SLOW") != std::string::npos ? kYellow
                                                                       : kWhite);
  EXPECT_TRUE(!rig.tester.Running() && rig.controls_on && !rig.busy);
}

}  // namespace serivane::engine::testing
