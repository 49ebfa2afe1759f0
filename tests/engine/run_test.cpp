// Whole runs: the exact lines of the results box and the result file, the colour, the window's
// controls and the operator's answers.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <string>
#include <vector>

#include "rig.h"

namespace serivane::engine::testing {
namespace {

const std::string kData = "Data Tx/Rx: 256 bytes send/received";
const std::string kSingle = " bytes Tx/Rx: Single bytes send/received";
const std::string kNoEcho = "-Data Tx/Rx: 256 bytes send/received <-- FAILED  (0 bytes received)";
const std::string kNoOpen =
    " Error: Cannot open the virtual loopback plug: the hardware is not available";

// A handshake line: `mark` '+' for OK, '-' for FAILED.
std::string Hs(char mark, const std::string& name, const std::string& state) {
  return mark + name + " handshake: " + name + "= " + state +
         (mark == '+' ? " --- OK" : " <-- FAILED");
}
std::vector<std::string> DataOk(int bytes, int ms, int calculated) {
  return {"+Data Tx/Rx: " + std::to_string(bytes) + " bytes send/received --- OK",
          " (Duration: " + std::to_string(ms) + "ms , Calculated: ~" + std::to_string(calculated) +
              "ms)"};
}

// One pass of all five tests with a good plug and the default settings.
const std::vector<std::string> kGoodPass{"+Open/Close --- OK   (Duration: 0ms)",
                                         DataOk(256, 70, 73)[0],
                                         DataOk(256, 70, 73)[1],
                                         "+100" + kSingle + " --- OK  (30ms)",
                                         Hs('+', "RTS/CTS", "off"),
                                         Hs('+', "RTS/CTS", "on"),
                                         Hs('+', "DTR/DSR", "off"),
                                         Hs('+', "DTR/DSR", "on")};

std::string Ask(int test) {
  return "RS-232 Test failed: Test " + std::to_string(test) +
         " failed.\rPress OK to continue test,\rand Cancel to abort";
}

TEST(Run, OnePassOfAllFiveTestsWithTheDefaults) {
  Rig rig;
  rig.OpenPort();
  rig.Run();
  Check(rig, Expect().Add(kGoodPass).Summary("+All test(s) passed"));
  EXPECT_EQ(rig.background, kWhite);
  EXPECT_EQ(rig.calls,
            (std::vector<std::string>{"busy", "disable", "enable", "focus run", "idle"}));
}

// One test selected, against a plug with one fault or with changed settings.
TEST(Run, OneTestAgainstOneFault) {
  using S = settings::Settings;
  const auto seven_even = [](S& s) { s.DataBits = 7, s.Parity = 3; };
  const auto slow_baud = [](S& s) { s.BaudRate = 9600; };
  const auto no_single = [](S& s) { s.SingleBytes = 0; };
  struct Case {
    std::string faults;
    int test;
    std::vector<std::string> lines;
    std::function<void(S&)> adjust = nullptr;
    std::int64_t start_micros = kStartMicros;
  };
  // Starts that put a measurement across the wrap of the 32-bit millisecond tick counter.
  const std::int64_t wrap = (std::int64_t{1} << 32) * 1000;
  const std::string no_data = "-" + kData + " <-- FAILED  (";
  const std::vector<Case> cases{
      // The plug's close and open delays are time on the shared clock.
      {"opendelay=2000", 1, {"+Open/Close --- OK   (Duration: 2000ms)"}},
      {"opendelay=2001", 1, {"+Open/Close --- SLOW   (Duration: 2001ms)"}},
      {"closedelay=1000&opendelay=1001", 1, {"+Open/Close --- SLOW   (Duration: 2001ms)"}},
      {"openfail=1", 1, {"-Open/Close --- FAILED", kNoOpen}},
      // The port setup's open takes 20 ms; the test's close and open straddle the wrap.
      {"opendelay=20", 1, {"+Open/Close --- OK   (Duration: 20ms)"}, nullptr, wrap - 30'000},
      {"echo=off", 2, {no_data + "0 bytes received)"}},
      {"drop=100", 2, {no_data + "254 bytes received)"}},
      {"corrupt=50", 2, {no_data + "256 bytes received)"}},
      {"extra=3", 2, {no_data + "259 bytes received)"}},
      // The echo is right but a framing error is the last event; the monitor showed it.
      {"frame=256",
       2,
       {"#Comm Event: Framing error", no_data + "256 bytes received)",
        "-Data Tx/Rx: CommEvent error: 1004"}},
      // The wait ends at the 10 ms step after the echo is in (26.7 and 266.7 ms of wire).
      {"", 2, DataOk(128, 40, 37), seven_even},
      {"", 2, DataOk(256, 270, 293), slow_baud},
      {"", 2, DataOk(256, 70, 73), nullptr, wrap - 30'000},
      {"echo=off", 2, {no_data + "0 bytes received)"}, nullptr, wrap - 1'000'000},  // not endless
      // The device is gone 30 ms into the wait: the port has closed by itself.
      {"vanish=30",
       2,
       {"#Comm Event: Device lost: the virtual loopback plug has vanished",
        "-" + kData + " <-- FAILED",
        " Error: Com-port 1 is not open: the operation is valid only when the port is open"}},
      {"corrupt=1", 3, {"+100" + kSingle + " --- OK  (30ms)"}},  // counted, not compared
      {"echo=off", 3, {"-100" + kSingle + " <-- FAILED  (0 bytes received)"}},
      {"drop=10", 3, {"-100" + kSingle + " <-- FAILED  (90 bytes received)"}},
      // Each character brings an extra one; the wait ends at the step after the 100th is in.
      {"extra=1", 3, {"-100" + kSingle + " <-- FAILED  (115 bytes received)"}},
      {"",
       3,
       {"-0" + kSingle + " <-- FAILED", " Error: the number of single bytes must be 1 or more"},
       no_single},
      {"cts=on", 4, {Hs('-', "RTS/CTS", "off"), Hs('+', "RTS/CTS", "on")}},
      {"cts=off", 4, {Hs('+', "RTS/CTS", "off"), Hs('-', "RTS/CTS", "on")}},
      {"dsr=on", 5, {Hs('-', "DTR/DSR", "off"), Hs('+', "DTR/DSR", "on")}},
      {"dsr=off", 5, {Hs('+', "DTR/DSR", "off"), Hs('-', "DTR/DSR", "on")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults + " test " + std::to_string(c.test));
    Rig rig(c.faults, c.start_micros);
    if (c.adjust) c.adjust(rig.settings);
    for (std::int16_t n = 1; n <= 5; ++n) rig.tester.Test_Check_Click(n, n == c.test);
    rig.OpenPort();
    rig.Run();
    const std::string all = Expect().Add(c.lines).file;
    const bool failed = all.find("\n-") != std::string::npos;
    Check(rig,
          Expect().Add(c.lines).Summary(failed ? "-TEST(S) FAILED !!" : "+All test(s) passed"));
    EXPECT_EQ(rig.background, failed ? kRed : all.find("SLOW") != all.npos ? kYellow : kWhite);
  }
}

// Verdicts the tested port did not earn, each a fault once shipped: a run that went on with the
// handshake tests of a closed port (the off check passed on an input that reads off), a line
// error that a later receive event hid, limits that counted 10 bits for a 12-bit frame, and a
// timeout too large for a limit blamed on the rate.
TEST(Run, VerdictsNeedTheTestedPortAndAClearLine) {
  using S = settings::Settings;
  struct Case {
    std::string name, faults;
    std::vector<int> tests;
    std::vector<std::string> lines;
    std::function<void(S&)> adjust = nullptr;
  };
  const std::string no_data = "-" + kData + " <-- FAILED  (";
  const std::string closed2 =
      " Error: Com-port 2 is not open: the operation is valid only when the port is open";
  const auto eight_e_two = [](S& s) { s.BaudRate = 9600, s.Parity = 3, s.StopBits = 2; };
  const std::vector<Case> cases{
      {"closed port fails every test after it",
       "openfail=1&echo=off",
       {1, 2, 3, 4, 5},
       {"-Open/Close --- FAILED", kNoOpen, "-" + kData + " <-- FAILED", closed2,
        "-100" + kSingle + " <-- FAILED", closed2, Hs('-', "RTS/CTS", "off"), closed2,
        Hs('-', "DTR/DSR", "off"), closed2},
       [](S& s) { s.ComPort = 2; }},
      {"framing error early in the block",
       "frame=10",
       {2},
       {"#Comm Event: Framing error", no_data + "256 bytes received)",
        "-Data Tx/Rx: CommEvent error: 1004"}},
      {"parity error early in the block",
       "parity=10",
       {2},
       {"#Comm Event: Parity error", no_data + "256 bytes received)",
        "-Data Tx/Rx: CommEvent error: 1009"}},
      {"the first of two line errors is named",
       "break=5&overrun=20",
       {2},
       {"#Comm Event: Break received", "#Comm Event: Overrun error",
        no_data + "255 bytes received)", "-Data Tx/Rx: CommEvent error: 1001"}},
      {"8E2 block within its 12-bit wire time",
       "",
       {2},
       {"+" + kData + " --- OK", " (Duration: 320ms , Calculated: ~293ms)"},
       [&](S& s) { eight_e_two(s), s.TestTimeout = 30; }},
      {"8E2 single bytes within their 12-bit wire time",
       "",
       {3},
       {"+4800" + kSingle + " --- OK  (6000ms)"},
       [&](S& s) { eight_e_two(s), s.SingleBytes = 4800, s.TestTimeout = 300; }},
      {"a timeout beyond any limit is named",
       "",
       {2},
       {"-" + kData + " <-- FAILED",
        " Error: no time limit: \"Test Timeout\" 2147483647 ms plus the wire time of 67 ms is "
        "beyond the longest wait of 2147483647 ms"},
       [](S& s) { s.TestTimeout = 2147483647; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.targets[2] = "loopback?" + c.faults;
    rig.targets[1] = "loopback";
    if (c.faults.rfind("openfail", 0) != 0) rig.targets[1] += "?" + c.faults;
    if (c.adjust) c.adjust(rig.settings);
    for (std::int16_t n = 1; n <= 5; ++n)
      rig.tester.Test_Check_Click(n, std::count(c.tests.begin(), c.tests.end(), n));
    rig.OpenPort();
    rig.Run();
    const bool failed = Expect().Add(c.lines).file.find("\n-") != std::string::npos;
    Check(rig,
          Expect().Add(c.lines).Summary(failed ? "-TEST(S) FAILED !!" : "+All test(s) passed"));
  }
}

// Every open is slow, and the plug's opens run out in pass 3 (one by the port setup, one per
// pass): Open/Close fails there and the tests after it meet a closed port. A failed pass ends the
// run whatever the answer; the slow opens are counted over the run and named at its end.
TEST(Run, RepeatedRunWithSlowOpensAndAFailureInPassThree) {
  std::vector<std::string> slow_pass = kGoodPass;
  slow_pass[0] = "+Open/Close --- SLOW   (Duration: 2001ms)";
  for (const bool answer : {true, false}) {
    SCOPED_TRACE(answer);
    Rig rig("openfail=3&opendelay=2001");
    rig.repeat = true;
    rig.answer = answer;
    rig.OpenPort();
    rig.Run();

    Expect e;
    e.Add(slow_pass).Summary("+All test(s) passed  (Loop 1)");
    e.Add(slow_pass).Summary("+All test(s) passed  (Loop 2)");
    e.Add({"-Open/Close --- FAILED", kNoOpen});
    std::vector<std::string> calls{"busy", "disable", "focus repeat", "restore", Ask(1)};
    if (answer) {
      const std::string closed =
          " Error: Com-port 1 is not open: the operation is valid only when the port is open";
      e.Add({"-" + kData + " <-- FAILED", closed, "-100" + kSingle + " <-- FAILED", closed,
             Hs('-', "RTS/CTS", "off"), closed, Hs('-', "DTR/DSR", "off"), closed});
      for (int n = 2; n <= 5; ++n) calls.insert(calls.end(), {"restore", Ask(n)});
    }
    e.Summary("-TEST(S) FAILED !!");
    e.Add({"#Test(s) repeated 3 times", "=Some 'Close/Open port' tests are slow (>2000ms): 2"});
    calls.insert(calls.end(), {"enable", "focus run", "idle"});
    Check(rig, e);
    EXPECT_EQ(rig.calls, calls);
    EXPECT_EQ(rig.background, kRed);
  }
}

// Whatever fails, in the port or in the window, no exception leaves the run: a test reports an
// error of the port as its failure, anything else aborts the run. Either way the run gives back
// the controls, closes its file and ends, and the next run starts afresh: new file, white box.
// The status timer may call the Run handler whenever the run yields: no run starts inside it.
TEST(Run, FailuresOfPortOrWindowEndTheRunCleanly) {
  const std::string gone = " Error: device gone";
  for (const bool window_fails : {false, true}) {
    SCOPED_TRACE(window_fails);
    Rig rig("echo=off");
    rig.settings.TestSelected = {false, false, true, true, true, true};
    rig.OpenPort();
    rig.throw_at_ask = window_fails;
    int nested_calls = 0;
    rig.on_do_events = rig.on_ask = [&] {
      if (++nested_calls < 100) rig.tester.Run_Button_Click();  // a missing guard must not recurse
    };
    // Each pause of a test throws, as a failing port call would.
    if (!window_fails)
      rig.clock.SetSleepHook([](std::int32_t) { throw serial::CommError(8002, "device gone"); });
    EXPECT_NO_THROW(rig.Run());
    rig.clock.SetSleepHook(nullptr);
    Expect e;
    if (window_fails) {
      e.Add({kNoEcho, "-Test run aborted: window failure"});
    } else {
      e.Add({"-" + kData + " <-- FAILED", gone, "-100" + kSingle + " <-- FAILED", gone,
             Hs('-', "RTS/CTS", "off"), gone, Hs('-', "DTR/DSR", "off"), gone})
          .Summary("-TEST(S) FAILED !!");
    }
    Check(rig, e);
    EXPECT_EQ(rig.background, kRed);
    EXPECT_GE(nested_calls, 4);
    EXPECT_EQ(std::count(rig.calls.begin(), rig.calls.end(), "disable"), 1);
    EXPECT_EQ(std::count(rig.calls.begin(), rig.calls.end(), "enable"), 1);
    EXPECT_EQ(std::vector<std::string>(rig.calls.end() - 3, rig.calls.end()),
              (std::vector<std::string>{"enable", "focus run", "idle"}));

    rig.throw_at_ask = false;
    rig.settings.TestSelected = {};
    rig.Run();
    Check(rig, Expect().Summary("+All test(s) passed"));
    EXPECT_EQ(rig.background, kWhite);
  }
}

// Lines reach the file as they are reported, so a program that ends during a run keeps them.
// "Close when finished" ends the program once the run is over, without yielding again. A test box
// checked during a run counts when its test's turn comes; grayed counts as checked.
TEST(Run, FileIsWrittenThroughAndCloseWhenFinished) {
  Rig rig("cts=on");
  rig.settings.TestSelected = {false, false, false, false, true, false};
  rig.close_when_finished = true;
  rig.on_ask = [&] { rig.tester.Test_Check_Click(5, 2); };
  std::vector<std::string> seen;
  rig.on_do_events = [&] { seen.push_back(rig.File()); };
  rig.on_exit = [&] { seen.push_back(rig.tester.TestRunning ? "running" : rig.File()); };
  rig.OpenPort();
  rig.Run();
  EXPECT_EQ(rig.calls, (std::vector<std::string>{"busy", "disable", "restore", Ask(4), "enable",
                                                 "focus run", "idle", "exit"}));
  // Yields at the start, after the start line and after the pass; none after the exit.
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[1], "Test started {dt}\r\n");
  EXPECT_EQ(seen[3], rig.File());
  EXPECT_EQ(seen[3], Expect()
                         .Add({Hs('-', "RTS/CTS", "off"), Hs('+', "RTS/CTS", "on"),
                               Hs('+', "DTR/DSR", "off"), Hs('+', "DTR/DSR", "on")})
                         .Summary("-TEST(S) FAILED !!")
                         .file);
}

// The result file is written only where a result file may stand; anything else the path names
// is refused and left byte for byte as it was. Neither a refusal nor a failing write stops the
// run: the operator is told once, in the box, at the first line the file does not take.
TEST(Run, ResultFileGoesOnlyWhereAResultFileMayStand) {
  const std::string not_ours =
      "it is not a result file of this program (its first line does not "
      "begin \"Test started\"), so it is left as it is";
  std::ifstream comm_file("/proc/self/comm");
  const std::string comm((std::istreambuf_iterator<char>(comm_file)), {});
  struct Case {
    std::string path;       // "@name": made by the case in the rig's folder
    std::string message;    // after "Result file error: "; {p} is the path
    std::string kept = "";  // what the file (or a link's target) must still hold; "" not checked
  };
  std::vector<Case> cases{
      {"/no-such-folder/r.txt", "cannot create {p}: No such file or directory"},
      {"D:\\r.txt", "cannot create {p}: no such drive"},
      {"/dev/full", "cannot create {p}: it is not a regular file"},
      {"@fifo", "cannot create {p}: it is not a regular file"},  // not waited on either
      {"/proc/self/comm", "cannot create {p}: " + not_ours, comm},
      {"@notes.txt", "cannot create {p}: " + not_ours, "my notes\n"},
      // The disk fills up after the start line (a file size limit stands in for it).
      {"@full.txt", "cannot write {p}: File too large"},
      // Links in a sticky folder everybody may write: the user's own is followed.
      {"@shared/mine", "", ""},
  };
  if (geteuid() == 0) {  // only the superuser can plant a link owned by somebody else
    cases.push_back({"@shared/planted",
                     "cannot create {p}: {p} is a link that another user put in the shared "
                     "folder {d}/shared",
                     "Test started long ago\r\n"});
  }
  for (Case c : cases) {
    SCOPED_TRACE(c.path);
    Rig rig;
    const std::string p = c.path[0] == '@' ? rig.folder + "/" + c.path.substr(1) : c.path;
    const std::string victim = rig.folder + "/victim.txt";
    if (c.path == "@fifo") {
      ASSERT_EQ(mkfifo(p.c_str(), 0600), 0);
    }
    if (c.path == "@notes.txt") std::ofstream(p) << c.kept;
    if (c.path.starts_with("@shared/")) {
      ASSERT_EQ(mkdir((rig.folder + "/shared").c_str(), 0777), 0);
      ASSERT_EQ(chmod((rig.folder + "/shared").c_str(), 01777), 0);
      std::ofstream(victim, std::ios::binary) << "Test started long ago\r\n";
      ASSERT_EQ(symlink(victim.c_str(), p.c_str()), 0);
      if (c.path == "@shared/planted") {
        ASSERT_EQ(lchown(p.c_str(), 12345, 12345), 0);
      }
    }
    rig.settings.ResultFileName = p;
    rig.settings.TestSelected = {false, true, false, false, true, false};
    rig.OpenPort();
    rlimit unlimited{};
    if (c.path == "@full.txt") {
      signal(SIGXFSZ, SIG_IGN);
      getrlimit(RLIMIT_FSIZE, &unlimited);
      rlimit small = unlimited;
      small.rlim_cur = 40;
      setrlimit(RLIMIT_FSIZE, &small);
    }
    rig.Run();
    if (c.path == "@full.txt") setrlimit(RLIMIT_FSIZE, &unlimited);

    for (const auto& [from, to] : {std::pair{"{p}", p}, {"{d}", rig.folder}}) {
      for (auto at = c.message.find(from); at != std::string::npos; at = c.message.find(from))
        c.message.replace(at, 3, to);
    }
    const std::vector<std::string> lines{"+Open/Close --- OK   (Duration: 0ms)",
                                         Hs('+', "RTS/CTS", "off"), Hs('+', "RTS/CTS", "on")};
    Expect e;
    if (c.path == "@full.txt") {
      e.Add({lines[0], "#Result file error: " + c.message, lines[1], lines[2]});
    } else {
      if (!c.message.empty()) e.Add({"#Result file error: " + c.message});
      e.Add(lines);
    }
    EXPECT_EQ(rig.text, e.Summary("+All test(s) passed").box);
    if (c.path.starts_with("@shared/")) {
      rig.settings.ResultFileName = victim;
      if (c.message.empty()) {
        EXPECT_EQ(rig.File(), e.file) << "the link was followed";
      }
    }
    if (!c.kept.empty()) {
      EXPECT_EQ(rig.File(), c.kept);
    }
  }
}

}  // namespace
}  // namespace serivane::engine::testing
