// A recording WindowPort for the engine's tests. DoEvents does what the real window's event loop
// does for the engine: it lets the port raise its events (Service) and fires tmrOnComm when its
// 1000 ms interval has passed on the test's clock.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/clock.h"
#include "engine/tester.h"
#include "engine/window_port.h"
#include "serial/comm_control.h"

namespace serivane::engine::testing {

class FakeWindow final : public WindowPort {
 public:
  static constexpr int kRunawayDoEvents = 100'000;

  FakeWindow(serial::CommControl& port, Clock& clock) : port_(port), clock_(clock) {
    timer_start_ = clock_.NowMicros();
  }

  // The tester whose tmrOnComm_Timer the fake timer calls.
  Tester* tester = nullptr;

  std::string text;
  std::vector<Rgb> backgrounds;
  // Notable calls in order: "disable", "enable", "focus repeat", "focus run", "restore",
  // "ask Test n failed.", "critical <title>", "busy", "idle", "exit", "select <i>",
  // "caption <text>".
  std::vector<std::string> calls;
  std::vector<std::string> critical_texts;
  int do_events_calls = 0;

  bool repeat = false;
  bool rts = true;
  bool dtr = true;
  bool close_when_finished = false;
  // Answers to the failure box, in order; OK once they run out.
  std::vector<bool> answers;
  // Runs at the end of every DoEvents, and when the failure box is shown.
  std::function<void()> on_do_events;
  std::function<void()> on_ask;
  std::function<void()> on_exit;
  // Throws from the call named here ("DoEvents", "Ask", "Repeat") once it has been called
  // `throw_after` times before.
  std::string throw_in;
  int throw_after = 0;

  Rgb background() const { return backgrounds.empty() ? Rgb{0, 0, 0} : backgrounds.back(); }

  std::string ResultText() const override { return text; }
  void SetResultText(const std::string& t) override { text = t; }
  void MoveResultCaretToEnd() override {}
  void RepaintResult() override {}
  void SetResultBackground(Rgb colour) override { backgrounds.push_back(colour); }
  void SetRunControlsEnabled(bool enabled) override {
    calls.push_back(enabled ? "enable" : "disable");
  }
  bool RepeatChecked() const override {
    MaybeThrow("Repeat");
    return repeat;
  }
  void FocusRepeatBox() override { calls.push_back("focus repeat"); }
  void FocusRunButton() override { calls.push_back("focus run"); }
  void RestoreIfMinimized() override { calls.push_back("restore"); }
  bool AskFailureContinue(const std::string& t, const std::string& title) override {
    calls.push_back("ask " + t.substr(0, t.find('\r')));
    last_ask_title = title;
    last_ask_text = t;
    MaybeThrow("Ask");
    if (on_ask) on_ask();
    if (next_answer_ < answers.size()) return answers[next_answer_++];
    return true;
  }
  void ShowCriticalMessage(const std::string& t, const std::string& title) override {
    calls.push_back("critical " + title);
    critical_texts.push_back(t);
  }
  void DoEvents() override {
    // A wait that never ends fails the test instead of hanging it.
    if (++do_events_calls > kRunawayDoEvents) throw std::runtime_error("runaway wait");
    MaybeThrow("DoEvents");
    port_.Service();
    const std::int64_t now = clock_.NowMicros();
    if (timer_enabled_ && now - timer_start_ >= 1'000'000) {
      timer_start_ = now;
      if (tester != nullptr) tester->tmrOnComm_Timer();
    }
    if (on_do_events) on_do_events();
  }
  void SetBusyCursor(bool busy) override { calls.push_back(busy ? "busy" : "idle"); }
  bool RtsChecked() const override { return rts; }
  bool DtrChecked() const override { return dtr; }
  void SelectComEntry(int index) override { calls.push_back("select " + std::to_string(index)); }
  void SetTestFrameCaption(const std::string& caption) override {
    calls.push_back("caption " + caption);
  }
  void SetCommTimerEnabled(bool enabled) override {
    timer_enabled_ = enabled;
    if (enabled) timer_start_ = clock_.NowMicros();
  }
  bool CloseWhenFinished() const override { return close_when_finished; }
  void Exit() override {
    calls.push_back("exit");
    if (on_exit) on_exit();
  }

  std::string last_ask_title;
  std::string last_ask_text;

 private:
  void MaybeThrow(const std::string& where) const {
    if (throw_in != where) return;
    if (throw_count_++ == throw_after) throw std::runtime_error("window failure in " + where);
  }

  serial::CommControl& port_;
  Clock& clock_;
  bool timer_enabled_ = true;
  std::int64_t timer_start_ = 0;
  std::size_t next_answer_ = 0;
  mutable int throw_count_ = 0;
};

}  // namespace serivane::engine::testing
