// The engine on a virtual loopback plug: a ManualClock shared by the tester and the control (so
// the plug's wire time moves with the tests' 10 ms pauses), the recording window, settings at
// their defaults and a result file in a fresh temporary folder.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/datetime.h"
#include "engine/tester.h"
#include "fake_window.h"
#include "serial/comm_control.h"
#include "settings/settings.h"

namespace serivane::engine::testing {

// A clock reading far from 0, so that no test depends on the tick counter starting at 0.
inline constexpr std::int64_t kStartMicros = 123'456'789'000;

inline std::string MakeTempFolder() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "serivane-engine-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

struct Rig {
  // `faults` is the query of the virtual plug on Com1 ("echo=off"); empty for a good plug.
  explicit Rig(const std::string& faults = "", std::int64_t start_micros = kStartMicros)
      : clock(start_micros),
        port([this](std::int16_t n) { return Resolve(n); }, clock),
        window(port, clock),
        tester(window, port, clock, settings),
        folder(MakeTempFolder()) {
    targets[1] = faults.empty() ? "loopback" : "loopback?" + faults;
    window.tester = &tester;
    port.OnCommEvent = [this] { tester.OnCommEvent(); };
    settings.ResultFileName = folder + "/result.txt";
  }
  ~Rig() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  std::string Resolve(std::int16_t n) const {
    if (auto it = targets.find(n); it != targets.end()) return it->second;
    throw serial::CommError(serial::kErrInvalidPortNumber,
                            "Com" + std::to_string(n) + " names no device");
  }

  // Opens the port as the window does after a change of a setting, then forgets what that
  // showed, so that checks see only what follows.
  void OpenPort() {
    tester.Setup_ComPort();
    window.text.clear();
    window.calls.clear();
    window.backgrounds.clear();
  }

  // Calls one test procedure as a run does: during a run the monitor leaves received
  // characters to the waiting test.
  template <typename Procedure>
  bool Call(Procedure procedure) {
    tester.TestRunning = true;
    const bool failed = (tester.*procedure)();
    tester.TestRunning = false;
    return failed;
  }

  // One run, with the wall-clock seconds it spanned, for the date-time texts of the file.
  void Run() {
    t0 = std::time(nullptr);
    tester.Run_Button_Click();
    t1 = std::time(nullptr);
  }

  std::string FileBytes() const {
    std::ifstream in(settings.ResultFileName, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
  }

  ManualClock clock;
  std::map<std::int16_t, std::string> targets;
  serial::CommControl port;
  settings::Settings settings;
  FakeWindow window;
  Tester tester;
  std::string folder;
  std::time_t t0 = 0;
  std::time_t t1 = 0;
};

// Lines joined the way both the box and the file end them: each followed by CR LF.
inline std::string Lines(const std::vector<std::string>& lines) {
  std::string all;
  for (const auto& line : lines) all += line + "\r\n";
  return all;
}

// Compares the result file with `expected` lines, where "{dt}" stands for the date-time text of
// any second the run spanned. Every line must end with CR LF.
inline ::testing::AssertionResult FileIs(const Rig& rig, const std::vector<std::string>& expected) {
  const std::string bytes = rig.FileBytes();
  std::vector<std::string> actual;
  std::size_t from = 0;
  while (from < bytes.size()) {
    const std::size_t end = bytes.find("\r\n", from);
    if (end == std::string::npos)
      return ::testing::AssertionFailure()
             << "last line not ended by CR LF: " << bytes.substr(from);
    actual.push_back(bytes.substr(from, end - from));
    from = end + 2;
  }
  if (actual.size() != expected.size())
    return ::testing::AssertionFailure()
           << "file has " << actual.size() << " lines, expected " << expected.size() << ":\n"
           << bytes;
  for (std::size_t i = 0; i < actual.size(); ++i) {
    if (actual[i].find('\n') != std::string::npos || actual[i].find('\r') != std::string::npos)
      return ::testing::AssertionFailure() << "line " << i + 1 << " holds a lone CR or LF";
    bool matched = false;
    for (std::time_t t = rig.t0; t <= rig.t1 && !matched; ++t) {
      std::string line = expected[i];
      if (const auto at = line.find("{dt}"); at != std::string::npos)
        line.replace(at, 4, DateTimeText(t));
      matched = line == actual[i];
    }
    if (!matched)
      return ::testing::AssertionFailure() << "line " << i + 1 << " is \"" << actual[i]
                                           << "\", expected \"" << expected[i] << "\"";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace serivane::engine::testing
