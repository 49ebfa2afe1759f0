// Whole runs: every test in one pass, repeated passes, the operator's answers, the closing
// lines, the window's controls, and a run that meets a failing window or a second start.
#include <algorithm>
#include <string>
#include <vector>

#include "rig.h"

namespace serivane::engine::testing {
namespace {

struct Line {
  char mark;
  std::string text;
};

// The lines of one pass of all five tests with a good plug and the default settings.
const std::vector<Line> kGoodPass{
    {'+', "Open/Close --- OK   (Duration: 0ms)"},
    {'+', "Data Tx/Rx: 256 bytes send/received --- OK"},
    {' ', "(Duration: 70ms , Calculated: ~73ms)"},
    {'+', "100 bytes Tx/Rx: Single bytes send/received --- OK  (30ms)"},
    {'+', "RTS/CTS handshake: RTS/CTS= off --- OK"},
    {'+', "RTS/CTS handshake: RTS/CTS= on --- OK"},
    {'+', "DTR/DSR handshake: DTR/DSR= off --- OK"},
    {'+', "DTR/DSR handshake: DTR/DSR= on --- OK"},
};

struct Expected {
  std::vector<std::string> box{"Test started ..."};
  std::vector<std::string> file{"Test started {dt}"};

  void Add(const std::vector<Line>& lines) {
    for (const Line& l : lines) {
      box.push_back(l.text);
      file.push_back(std::string(1, l.mark) + l.text);
    }
  }
  void Summary(const std::string& text, char mark) {
    box.insert(box.end(), {text, ""});
    file.insert(file.end(), {std::string(1, mark) + text + " {dt}", ""});
  }
};

std::string CommError(const std::string& target, int failing_open, bool read_closed) {
  ManualClock clock;
  serial::CommControl port([&](std::int16_t) { return target; }, clock);
  try {
    if (read_closed) (void)port.ReceivedText();
    for (int i = 1; i <= failing_open; ++i) {
      port.OpenState(false);
      port.OpenState(true);
    }
  } catch (const serial::CommError& e) {
    return e.description();
  }
  return "(no error)";
}

TEST(Run, OnePassOfAllFiveTestsWithTheDefaults) {
  Rig rig;
  rig.OpenPort();
  rig.Run();
  Expected e;
  e.Add(kGoodPass);
  e.Summary("All test(s) passed", '+');
  EXPECT_EQ(rig.window.text, Lines(e.box));
  EXPECT_TRUE(FileIs(rig, e.file));
  EXPECT_EQ(rig.window.background(), kWhite);
  EXPECT_EQ(rig.window.calls,
            (std::vector<std::string>{"busy", "disable", "enable", "focus run", "idle"}));
  EXPECT_FALSE(rig.tester.TestRunning);
}

// The plug's opens run out in pass 3 (one open by the port setup, one per pass before it): the
// Open/Close test fails there, and the tests after it meet a closed port.
TEST(Run, RepeatedRunWithAFailureInPassThree) {
  const std::string open_error = CommError("loopback?openfail=3", 4, false);
  const std::string closed_error = CommError("loopback", 0, true);
  for (const bool answer_ok : {true, false}) {
    Rig rig("openfail=3");
    rig.window.repeat = true;
    rig.window.answers = {answer_ok, answer_ok, answer_ok, answer_ok, answer_ok};
    rig.OpenPort();
    rig.Run();

    Expected e;
    for (int pass = 1; pass <= 2; ++pass) {
      e.Add(kGoodPass);
      e.Summary("All test(s) passed  (Loop " + std::to_string(pass) + ")", '+');
    }
    e.Add({{'-', "Open/Close --- FAILED"}, {' ', "Error: " + open_error}});
    std::vector<std::string> asked{"ask Test 1 failed."};
    if (answer_ok) {
      e.Add({{'-', "Data Tx/Rx: 256 bytes send/received <-- FAILED"},
             {' ', "Error: " + closed_error},
             {'-', "100 bytes Tx/Rx: Single bytes send/received <-- FAILED"},
             {' ', "Error: " + closed_error},
             {'+', "RTS/CTS handshake: RTS/CTS= off --- OK"},
             {'-', "RTS/CTS handshake: RTS/CTS= on <-- FAILED"},
             {'+', "DTR/DSR handshake: DTR/DSR= off --- OK"},
             {'-', "DTR/DSR handshake: DTR/DSR= on <-- FAILED"}});
      asked = {"ask Test 1 failed.", "ask Test 2 failed.", "ask Test 3 failed.",
               "ask Test 4 failed.", "ask Test 5 failed."};
    }
    e.Summary("TEST(S) FAILED !!", '-');
    e.box.push_back("Test(s) repeated 3 times");  // the box only

    EXPECT_EQ(rig.window.text, Lines(e.box)) << answer_ok;
    EXPECT_TRUE(FileIs(rig, e.file)) << answer_ok;
    std::vector<std::string> asks;
    for (const auto& call : rig.window.calls)
      if (call.rfind("ask ", 0) == 0) asks.push_back(call);
    EXPECT_EQ(asks, asked) << answer_ok;
    EXPECT_EQ(rig.window.background(), kRed);
    EXPECT_FALSE(rig.tester.TestRunning);
  }
}

// Slow results are counted over the run and named at its end, with MaxDuration.
TEST(Run, SlowTestsClosingLine) {
  Rig rig("opendelay=2001");
  rig.settings.TestSelected = {false, true, false, false, false, false};
  rig.window.repeat = true;
  rig.window.on_do_events = [&] {
    if (rig.window.text.find("(Loop 2)") != std::string::npos) rig.window.repeat = false;
  };
  rig.OpenPort();
  rig.Run();
  Expected e;
  for (int pass = 1; pass <= 2; ++pass) {
    e.Add({{'+', "Open/Close --- SLOW   (Duration: 2001ms)"}});
    e.Summary("All test(s) passed  (Loop " + std::to_string(pass) + ")", '+');
  }
  e.box.push_back("Test(s) repeated 2 times");
  e.box.push_back("Some 'Close/Open port' tests are slow (>2000ms): 2");
  e.file.push_back("Some 'Close/Open port' tests are slow (>2000ms): 2");
  EXPECT_EQ(rig.window.text, Lines(e.box));
  EXPECT_TRUE(FileIs(rig, e.file));
  EXPECT_EQ(rig.window.background(), kYellow);
  EXPECT_EQ(rig.tester.SlowOpenCloseCount, 2);
  EXPECT_EQ(rig.window.calls, (std::vector<std::string>{"busy", "disable", "focus repeat", "enable",
                                                        "focus run", "idle"}));
}

// Checking the repeat box during the first pass turns that pass into the loop form; the run
// goes on until it is unchecked.
TEST(Run, RepeatBoxCheckedDuringTheFirstPass) {
  Rig rig;
  rig.settings.TestSelected = {false, false, false, false, false, false};
  rig.window.on_do_events = [&] {
    if (rig.window.text.find("Test started") != std::string::npos &&
        rig.window.text.find("(Loop") == std::string::npos)
      rig.window.repeat = true;
    if (rig.window.text.find("(Loop 3)") != std::string::npos) rig.window.repeat = false;
  };
  rig.OpenPort();
  rig.Run();
  Expected e;
  for (int pass = 1; pass <= 3; ++pass)
    e.Summary("All test(s) passed  (Loop " + std::to_string(pass) + ")", '+');
  e.box.push_back("Test(s) repeated 3 times");
  EXPECT_EQ(rig.window.text, Lines(e.box));
  EXPECT_TRUE(FileIs(rig, e.file));
}

// A test box changed during a run counts from the next time its number comes up.
TEST(Run, TestBoxesAreReadWhenTheirTurnComes) {
  Rig rig;
  rig.settings.TestSelected = {false, true, false, false, false, false};
  rig.window.repeat = true;
  rig.window.on_do_events = [&] {
    if (rig.window.text.find("(Loop 1)") != std::string::npos) {
      rig.tester.Test_Check_Click(1, 0);
      rig.tester.Test_Check_Click(4, 2);  // grayed counts as checked
    }
    if (rig.window.text.find("(Loop 2)") != std::string::npos) rig.window.repeat = false;
  };
  rig.OpenPort();
  rig.Run();
  Expected e;
  e.Add({{'+', "Open/Close --- OK   (Duration: 0ms)"}});
  e.Summary("All test(s) passed  (Loop 1)", '+');
  e.Add({{'+', "RTS/CTS handshake: RTS/CTS= off --- OK"},
         {'+', "RTS/CTS handshake: RTS/CTS= on --- OK"}});
  e.Summary("All test(s) passed  (Loop 2)", '+');
  e.box.push_back("Test(s) repeated 2 times");
  EXPECT_EQ(rig.window.text, Lines(e.box));
}

// The status timer may call the Run button's handler while a run yields (in a wait, in the
// failure box, at the end): no second run starts inside the first.
TEST(Run, NeverStartsInsideAnotherRun) {
  Rig rig("echo=off");
  rig.settings.TestSelected = {false, true, true, false, false, false};
  int nested_calls = 0;
  int depth = 0;
  const auto start_again = [&] {
    ++nested_calls;
    // Bounded, so that a missing guard shows as extra runs rather than endless recursion.
    if (depth > 2) return;
    ++depth;
    rig.tester.Run_Button_Click();
    --depth;
  };
  rig.window.on_do_events = start_again;
  rig.window.on_ask = start_again;
  rig.OpenPort();
  rig.Run();
  Expected e;
  e.Add({{'+', "Open/Close --- OK   (Duration: 0ms)"},
         {'-', "Data Tx/Rx: 256 bytes send/received <-- FAILED  (0 bytes received)"}});
  e.Summary("TEST(S) FAILED !!", '-');
  EXPECT_GT(nested_calls, 200);
  const auto& calls = rig.window.calls;
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "busy"), 1);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "disable"), 1);
  EXPECT_EQ(rig.window.text, Lines(e.box));
  EXPECT_TRUE(FileIs(rig, e.file));

  // Once the run is over, the handler starts a run again.
  rig.window.on_do_events = nullptr;
  rig.window.on_ask = nullptr;
  rig.settings.TestSelected = {false, true, false, false, false, false};
  rig.Run();
  EXPECT_EQ(rig.window.text, Lines({"Test started ...", "Open/Close --- OK   (Duration: 0ms)",
                                    "All test(s) passed", ""}));
}

// Whatever fails in the window, no exception leaves the run, and the run still gives back the
// controls, closes its file and ends.
TEST(Run, AFailingWindowEndsTheRunCleanly) {
  struct Case {
    std::string where;
    int after;
    std::vector<Line> lines;
  };
  const std::vector<Case> cases{
      // The third yield is the first step of the data wait: the test reports it as its error.
      {"DoEvents",
       2,
       {{'-', "Data Tx/Rx: 256 bytes send/received <-- FAILED"},
        {' ', "Error: window failure in DoEvents"},
        {'-', "TEST(S) FAILED !!"}}},
      {"Ask",
       0,
       {{'-', "Data Tx/Rx: 256 bytes send/received <-- FAILED  (0 bytes received)"},
        {'-', "Test run aborted: window failure in Ask"}}},
      {"Repeat", 0, {{'-', "Test run aborted: window failure in Repeat"}}},
  };
  for (const Case& c : cases) {
    Rig rig("echo=off");
    rig.settings.TestSelected = {false, false, true, false, false, false};
    rig.window.throw_in = c.where;
    rig.window.throw_after = c.after;
    rig.OpenPort();
    EXPECT_NO_THROW(rig.Run()) << c.where;

    std::vector<std::string> box{"Test started ..."};
    std::vector<std::string> file{"Test started {dt}"};
    for (const Line& l : c.lines) {
      box.push_back(l.text);
      const bool summary = l.text == "TEST(S) FAILED !!";
      file.push_back(std::string(1, l.mark) + l.text + (summary ? " {dt}" : ""));
      if (summary) {
        box.push_back("");
        file.push_back("");
      }
    }
    EXPECT_EQ(rig.window.text, Lines(box)) << c.where;
    EXPECT_TRUE(FileIs(rig, file)) << c.where;
    EXPECT_FALSE(rig.tester.TestRunning) << c.where;
    EXPECT_EQ(rig.window.background(), kRed) << c.where;
    const auto& calls = rig.window.calls;
    ASSERT_GE(calls.size(), 3u) << c.where;
    EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
              (std::vector<std::string>{"enable", "focus run", "idle"}))
        << c.where;
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "enable"), 1) << c.where;

    rig.window.throw_in.clear();
    rig.settings.TestSelected = {false, false, false, false, false, false};
    rig.Run();
    EXPECT_EQ(rig.window.text, Lines({"Test started ...", "All test(s) passed", ""})) << c.where;
  }
}

// A failure restores a minimized window before the question; "Close when finished" ends the
// program after the run has closed its file and given the window back.
TEST(Run, FailureBoxAndCloseWhenFinished) {
  Rig rig("cts=on");
  rig.settings.TestSelected = {false, false, false, false, true, false};
  rig.window.close_when_finished = true;
  std::string file_at_exit;
  bool running_at_exit = true;
  rig.window.on_exit = [&] {
    file_at_exit = rig.FileBytes();
    running_at_exit = rig.tester.TestRunning;
  };
  rig.OpenPort();
  const int yields_before = rig.window.do_events_calls;
  rig.tester.Run_Button_Click();
  EXPECT_EQ(rig.window.calls,
            (std::vector<std::string>{"busy", "disable", "restore", "ask Test 4 failed.", "enable",
                                      "focus run", "idle", "exit"}));
  // Yields at steps 1, 7 and after the pass; none after the exit command.
  EXPECT_EQ(rig.window.do_events_calls - yields_before, 3);
  EXPECT_FALSE(running_at_exit);
  EXPECT_NE(file_at_exit.find("-TEST(S) FAILED !! "), std::string::npos);
}

}  // namespace
}  // namespace serivane::engine::testing
