// serivane-run as a command, in-process: options, exit statuses and messages, the stored
// settings, the report and several ports at once, on the virtual plug in a registry of its own.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "serial/portmap/portmap.h"
#include "settings/cregistry.h"
#include "settings/settings_store.h"
#include "tools/run/runner.h"

namespace serivane::run {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class RunCommandTest : public ::testing::Test {
 protected:
  RunCommandTest() {
    std::string pattern = (fs::temp_directory_path() / "serivane-run-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
    fs::create_directories(root_ / "home");
    fs::create_directories(root_ / "sys");
    fs::create_directories(root_ / "dev");
    ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    ::setenv("HOME", (root_ / "home").c_str(), 1);
  }
  ~RunCommandTest() override {
    ::unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(root_);
  }

  // Stores values under the window's settings key.
  void Store(const std::vector<std::pair<std::string, std::string>>& values) {
    settings::CRegistry registry;
    registry.OpenKey(settings::kHKeyLocalMachine, settings::kSettingsKey, true);
    for (const auto& [name, value] : values) registry.WriteValue(name, value);
    registry.CloseKey();
  }

  // Status, standard output and standard error of one run.
  std::tuple<int, std::string, std::string> Run(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    RunEnvironment env;
    env.out = &out;
    env.err = &err;
    // A machine without serial ports: the map gives COM1 the virtual plug.
    env.roots = {root_ / "sys", root_ / "dev"};
    const int status = RunMain(args, env);
    return {status, out.str(), err.str()};
  }

  std::string ResultPath() const { return (root_ / "result.txt").string(); }

  fs::path root_;
};

struct StatusRow {
  std::vector<std::string> args;
  int status;
  std::string message;  // part of standard error
};

TEST_F(RunCommandTest, StatusesAndMessages) {
  portmap::SetMapEntry(1, "loopback");
  portmap::SetMapEntry(5, "loopback?dsr=off");
  {
    settings::CRegistry map;  // an entry only an edit can make
    map.OpenKey(settings::kHKeyLocalMachine, portmap::kMapKey, false);
    map.WriteValue("COM7", "ttyUSB0");
  }
  const std::vector<StatusRow> rows = {
      {{"--baud", "fast"}, 2, "serivane-run: --baud: 'fast' is not a whole number\n"},
      {{"--baud=10"}, 2, "--baud: '10' is out of range (50 to 4000000)"},
      {{"--bits", "9"}, 2, "--bits: '9' is not 7 or 8"},
      {{"--parity", "M"}, 2, "--parity: 'M' is not N, O or E"},
      {{"--tests", "1,6"}, 2, "--tests: '6' is not a test number"},
      {{"--tests", "1,,2"}, 2, "--tests: '1,,2' is not a test number"},
      {{"--single-bytes", "0"}, 2, "--single-bytes: '0' is out of range (1 to 32767)"},
      {{"--repeat"}, 2, "--repeat needs a value"},
      {{"-q=1"}, 2, "-q takes no value"},
      {{"--colour"}, 2, "unknown option '--colour'"},
      {{"COM33"}, 2, "port 'COM33': the port number must be 1 to 32"},
      {{"COM0", "loopback"}, 2, "port 'COM0': the port number must be 1 to 32"},
      {{"ttyUSB0"}, 2, "'ttyUSB0' is not a port"},
      {{"loopback?cts=maybe"}, 2, "cts=maybe"},
      {{"loopback?busy=on"}, 3, "it is in use by another program"},
      {{"/nonexistent/ttyX"}, 3, "Cannot open /nonexistent/ttyX"},
      {{"COM7", "loopback"}, 3, "serivane-run: COM7: "},
      {{"--tests", "4", "loopback?cts=off"}, 1, ""},
      {{"--tests", "5", "COM5"}, 1, ""},
      // The stored port is Com1.
      {{"--tests", "4,5"}, 0, ""},
  };
  for (const StatusRow& row : rows) {
    std::vector<std::string> args = row.args;
    args.insert(args.begin(), {"--result", ResultPath()});
    fs::remove(ResultPath());
    const auto [status, out, err] = Run(args);
    const std::string what = ::testing::PrintToString(row.args);
    EXPECT_EQ(status, row.status) << what << "\n" << err;
    if (row.message.empty()) {
      EXPECT_EQ(err, "") << what;
    } else {
      EXPECT_NE(err.find(row.message), std::string::npos) << what << "\n" << err;
    }
    // A run that never started leaves no result file.
    EXPECT_EQ(fs::exists(ResultPath()), status <= 1) << what;
  }
}

TEST_F(RunCommandTest, StoredSettingsApplyUnlessGivenAndTheReportSaysWhatRan) {
  Store({{"Baudrate", "9600"},
         {"Single Bytes", "20"},
         {"Max Duration", "30000"},
         {"Result FileName", "Z:" + std::regex_replace(ResultPath(), std::regex("/"), "\\")},
         {"Test 1", "False"},
         {"Test 2", "False"},
         {"Test 5", "False"}});
  const auto [status, out, err] = Run({"--parity", "E", "--json", "-", "loopback?cts=on"});
  EXPECT_EQ(status, 1) << err;
  // Timings and the result file's date-times change from run to run.
  const std::string json = std::regex_replace(
      out, std::regex("(duration_ms\": |Single bytes send/received --- OK  \\()\\d+"), "$1{n}");
  const std::string expected = R"json({
  "program": "serivane-run",
  "version": "1.4.0",
  "interrupted": false,
  "ports": [
    {
      "port": "loopback?cts=on",
      "device": "loopback?cts=on",
      "identity": {},
      "settings": "9600,E,8,1",
      "opened": true,
      "result_file": ")json" + ResultPath() +
                               R"json(",
      "passes": 1,
      "passed": false,
      "interrupted": false,
      "tests": [
        {
          "number": 3,
          "name": "20 bytes Tx/Rx",
          "passed": true,
          "runs": 1,
          "failures": 0,
          "duration_ms": {n},
          "lines": [
            "20 bytes Tx/Rx: Single bytes send/received --- OK  ({n}ms)"
          ],
          "events": [
            2
          ]
        },
        {
          "number": 4,
          "name": "RTS/CTS handshake",
          "passed": false,
          "runs": 1,
          "failures": 1,
          "duration_ms": {n},
          "lines": [
            "RTS/CTS handshake: RTS/CTS= off <-- FAILED",
            "RTS/CTS handshake: RTS/CTS= on --- OK"
          ],
          "events": []
        }
      ],
      "diagnosis": [
        "CTS stays on when RTS is off: RTS 7 (4) to CTS 8 (5), CTS stuck on (shorted to a line that is on, or driven from outside)."
      ]
    }
  ]
}
)json";
  EXPECT_EQ(json, expected);
  // With the report on standard output the lines go to standard error, summary last.
  EXPECT_NE(err.find("RTS/CTS handshake: RTS/CTS= off <-- FAILED\n"), std::string::npos) << err;
  EXPECT_NE(err.find("loopback?cts=on: FAILED (RTS/CTS handshake), 1 pass\n  CTS stays on"),
            std::string::npos)
      << err;
  EXPECT_NE(Read(ResultPath()).find("-RTS/CTS handshake: RTS/CTS= off <-- FAILED\r\n"),
            std::string::npos);
}

TEST_F(RunCommandTest, SeveralPortsRunApartEachWithItsOwnFile) {
  portmap::SetMapEntry(1, "loopback");
  const auto [status, out, err] =
      Run({"--tests", "2", "--timeout", "50", "--result", (root_ / "r.txt").string(), "loopback",
           "loopback?echo=off", "COM1", "--repeat", "2"});
  EXPECT_EQ(status, 1) << err;
  // One plug each: the silent plug fails alone, and the others make both passes.
  const std::string good = Read(root_ / "r-loopback-1.txt");
  const std::string silent = Read(root_ / "r-loopback-2.txt");
  const std::string com1 = Read(root_ / "r-COM1.txt");
  EXPECT_NE(good.find("+All test(s) passed  (Loop 2)"), std::string::npos) << good;
  EXPECT_NE(com1.find("+All test(s) passed  (Loop 2)"), std::string::npos) << com1;
  EXPECT_NE(silent.find("-Data Tx/Rx: 256 bytes send/received <-- FAILED  (0 bytes received)"),
            std::string::npos)
      << silent;
  EXPECT_EQ(silent.find("Loop 2"), std::string::npos) << silent;
  // Every line names its port; the summaries follow in the order the ports were given.
  EXPECT_NE(out.find("loopback-2: Data Tx/Rx: 256 bytes send/received <-- FAILED"),
            std::string::npos)
      << out;
  const std::size_t a = out.find("loopback: all tests passed, 2 passes");
  const std::size_t b = out.find("loopback?echo=off: FAILED (Data Tx/Rx), 1 pass");
  const std::size_t c = out.find("COM1 (loopback): all tests passed, 2 passes");
  EXPECT_TRUE(a < b && b < c && c != std::string::npos) << out;
}

}  // namespace
}  // namespace serivane::run
