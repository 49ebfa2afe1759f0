// The results box, the result file and the time arithmetic of the data tests.
#include <stdlib.h>

#include <string>
#include <vector>

#include "engine/timing.h"
#include "rig.h"

namespace serivane::engine::testing {
namespace {

TEST(ResultLog, SplitFilename) {
  struct Case {
    std::string path, folder, name;
  };
  const std::vector<Case> cases{
      {"C:\\RS-232_Result.Txt", "C:", "RS-232_Result.Txt"},
      {"D:\\logs\\run.txt", "D:\\logs", "run.txt"},
      {"run.txt", ".", "run.txt"},
      {"C:\\", "C:", ""},
      {"\\run.txt", "", "run.txt"},
      {"/home/op/run.txt", ".", "/home/op/run.txt"},  // only the backslash separates
      {"", ".", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Tester::SplitFilename(c.path, true), c.folder) << c.path;
    EXPECT_EQ(Tester::SplitFilename(c.path, false), c.name) << c.path;
  }
}

// After an append makes the box longer than 20000 characters it keeps its last 10000, cut by
// count wherever that falls.
TEST(ResultLog, BoxIsCutBackToItsLast10000Characters) {
  struct Case {
    std::size_t before;
    std::string line;
    std::size_t after;
  };
  const std::vector<Case> cases{
      {0, "", 2},                              // an empty line is CR LF alone
      {19978, "12345678901234567890", 20000},  // exactly 20000 is kept whole
      {19979, "12345678901234567890", 10000},
      {30000, "x", 10000},
  };
  for (const Case& c : cases) {
    Rig rig;
    std::string before;
    for (std::size_t i = 0; i < c.before; ++i) before.push_back(static_cast<char>('a' + i % 26));
    rig.window.text = before;
    rig.tester.AppendResultLine(c.line);
    const std::string whole = before + c.line + "\r\n";
    EXPECT_EQ(rig.window.text, whole.substr(whole.size() - c.after)) << c.before;
  }
}

// Lines reach the file as they are written, so a program that ends during a run keeps them.
TEST(ResultLog, FileLinesAreWrittenThroughAtOnce) {
  Rig rig;
  rig.settings.TestSelected = {false, false, true, false, false, false};
  rig.OpenPort();
  std::vector<std::string> seen;
  rig.window.on_do_events = [&] { seen.push_back(rig.FileBytes()); };
  rig.Run();
  // The first yield comes before the file exists; the second after the start line; those of
  // the data wait after it too; the last ones after the summary.
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen[1].rfind("Test started ", 0), 0u);
  EXPECT_EQ(seen[1].substr(seen[1].size() - 2), "\r\n");
  EXPECT_EQ(seen[1].find("\r\n"), seen[1].size() - 2);
  EXPECT_EQ(seen.back(), rig.FileBytes());
}

TEST(ResultLog, EachRunStartsAFreshFile) {
  Rig rig;
  rig.OpenPort();
  rig.Run();
  rig.settings.TestSelected = {false, false, false, false, false, false};
  rig.window.backgrounds.clear();
  rig.window.SetResultBackground(kRed);
  rig.Run();
  EXPECT_TRUE(FileIs(rig, {"Test started {dt}", "+All test(s) passed {dt}", ""}));
  EXPECT_EQ(rig.window.text, Lines({"Test started ...", "All test(s) passed", ""}));
  EXPECT_EQ(rig.window.background(), kWhite);
}

// The stored default names the home folder's drive.
TEST(ResultLog, DriveLetterPathIsTakenFromHome) {
  Rig rig;
  const char* old_home = getenv("HOME");
  const std::string saved = old_home != nullptr ? old_home : "";
  setenv("HOME", rig.folder.c_str(), 1);
  rig.settings.ResultFileName = "C:\\RS-232_Result.Txt";
  rig.settings.TestSelected = {false, false, false, false, false, false};
  rig.Run();
  if (old_home != nullptr) setenv("HOME", saved.c_str(), 1);
  rig.settings.ResultFileName = rig.folder + "/RS-232_Result.Txt";
  EXPECT_TRUE(FileIs(rig, {"Test started {dt}", "+All test(s) passed {dt}", ""}));
}

// A result file that cannot be created or written does not stop the run; the operator is told
// once, in the box, after the start line.
TEST(ResultLog, UnusableFileIsToldOnceAndTheRunGoesOn) {
  struct Case {
    std::string name;
    std::string path;  // "{dir}" is the rig's folder
    std::string message;
  };
  const std::vector<Case> cases{
      {"missing folder", "{dir}/missing/r.txt",
       "Result file error: cannot create {dir}/missing/r.txt: No such file or directory"},
      {"no such drive", "D:\\r.txt", "Result file error: cannot create D:\\r.txt: no such drive"},
      {"disk full", "/dev/full",
       "Result file error: cannot write /dev/full: No space left on device"},
  };
  for (const Case& c : cases) {
    Rig rig;
    auto fill = [&](std::string s) {
      for (auto at = s.find("{dir}"); at != std::string::npos; at = s.find("{dir}"))
        s.replace(at, 5, rig.folder);
      return s;
    };
    rig.settings.ResultFileName = fill(c.path);
    rig.settings.TestSelected = {false, true, false, false, true, false};
    rig.OpenPort();
    rig.Run();
    EXPECT_EQ(rig.window.text,
              Lines({"Test started ...", fill(c.message), "Open/Close --- OK   (Duration: 0ms)",
                     "RTS/CTS handshake: RTS/CTS= off --- OK",
                     "RTS/CTS handshake: RTS/CTS= on --- OK", "All test(s) passed", ""}))
        << c.name;
    EXPECT_FALSE(rig.tester.TestRunning);
  }
}

// The echo time limit and the quoted wire time, a half going to the even neighbour.
TEST(Timing, LimitsAndCalculatedTimes) {
  struct Limit {
    std::int32_t chars, baud, timeout;
    std::optional<std::int32_t> ms;
  };
  const std::vector<Limit> limits{
      {256, 38400, 2000, 2067},  // 66.67 + 2000
      {100, 38400, 2000, 2026},  // 26.04 + 2000
      {128, 38400, 2000, 2033},
      {256, 40960, 2000, 2062},  // 62.5 + 2000: the tie goes down to even
      {256, 40960, 2001, 2064},  // 62.5 + 2001: the tie goes up to even
      {256, 40960, 10, 72},      // 72.5
      {256, 40960, 11, 74},      // 73.5
      {256, 38400, -5000, -4933},
      {256, 0, 2000, std::nullopt},
      {256, -9600, 2000, std::nullopt},
      {32767, 1, 2147483647, std::nullopt},  // beyond 32 bits
  };
  for (const Limit& l : limits)
    EXPECT_EQ(EchoTimeLimitMs(l.chars, l.baud, l.timeout), l.ms) << l.chars << " " << l.baud;

  struct Wire {
    std::int32_t chars, baud;
    std::int64_t ms;
  };
  const std::vector<Wire> wires{
      {256, 38400, 73},  // 73.33
      {128, 38400, 37},  // 36.67
      {256, 45056, 62},  // 62.5: the tie goes down to even
      {256, 9600, 293},
  };
  for (const Wire& w : wires) EXPECT_EQ(CalculatedWireMs(w.chars, w.baud), w.ms) << w.baud;
}

}  // namespace
}  // namespace serivane::engine::testing
