// serivane-run as a command, in-process: exit statuses and messages, the stored settings, the
// report, the diagnosis drawn from a faulty plug and several ports at once, on the virtual plug
// in a registry of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "serial/portmap/portmap.h"
#include "settings/cregistry.h"
#include "settings/registry_store.h"
#include "settings/settings_store.h"
#include "tools/run/runner.h"

namespace serivane::run {
namespace {

namespace fs = std::filesystem;

class RunCommandTest : public ::testing::Test {
 protected:
  RunCommandTest() {
    std::string pattern = (fs::temp_directory_path() / "serivane-run-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
    for (const char* folder : {"home", "sys", "dev"}) fs::create_directories(root_ / folder);
    ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    ::setenv("HOME", (root_ / "home").c_str(), 1);
  }
  ~RunCommandTest() override {
    ::unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(root_);
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

TEST_F(RunCommandTest, StatusesAndMessages) {
  portmap::SetMapEntry(1, "loopback");
  portmap::SetMapEntry(5, "loopback?dsr=off");
  {
    settings::CRegistry map;  // an entry only an edit can make
    map.OpenKey(settings::kHKeyLocalMachine, portmap::kMapKey, false);
    map.WriteValue("COM7", "ttyUSB0");
  }
  const std::tuple<std::vector<std::string>, int, std::string> rows[] = {
      {{"--baud=49"}, 2, "serivane-run: --baud: '49' is out of range"},
      {{"--tests", "1,6"}, 2, "'6' is not a test number"},
      {{"COM33"}, 2, "port 'COM33'"},
      {{"ttyUSB0"}, 2, "'ttyUSB0' is not a port"},
      {{"loopback?cts=maybe"}, 2, "cts=maybe"},
      {{"loopback?busy=on"}, 3, "in use by another program"},
      {{"COM7", "loopback"}, 3, "serivane-run: COM7: "},
      {{"--tests", "5", "COM5"}, 1, ""},
      {{"--tests", "4,5"}, 0, ""},  // the stored port, COM1
  };
  for (const auto& [given, status, message] : rows) {
    std::vector<std::string> args = given;
    args.insert(args.begin(), {"--result", ResultPath()});
    fs::remove(ResultPath());
    const auto [got, out, err] = Run(args);
    const std::string what = ::testing::PrintToString(given) + "\n" + err;
    EXPECT_EQ(got, status) << what;
    EXPECT_TRUE(message.empty() ? err.empty() : err.find(message) != std::string::npos) << what;
    // A run that never started leaves no result file.
    EXPECT_EQ(fs::exists(ResultPath()), got <= 1) << what;
  }
}

// The report quotes what it holds as JSON: here a result file named with a quote, a control
// character and a non-ASCII letter.
TEST_F(RunCommandTest, StoredSettingsApplyUnlessGivenAndTheReportSaysWhatRan) {
  const std::string result = (root_ / "r \"q\" \x01 \xC3\xA9.txt").string();
  settings::CRegistry registry;
  registry.OpenKey(settings::kHKeyLocalMachine, settings::kSettingsKey, true);
  for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
           {"Baudrate", "9600"},
           {"Single Bytes", "20"},
           {"Max Duration", "30000"},
           {"Result FileName", "Z:" + std::regex_replace(result, std::regex("/"), "\\")},
           {"Test 1", "False"},
           {"Test 2", "False"},
           {"Test 5", "False"}})
    registry.WriteValue(name, value);
  registry.CloseKey();
  const auto [status, out, err] = Run({"--parity", "E", "--json", "-", "loopback?cts=on"});
  EXPECT_EQ(status, 1) << err;
  // Tests 3 and 4 ran, and no other, at the stored rate with the parity given.
  const std::string parts[] = {
      "\"settings\": \"9600,E,8,1\"",
      "\"result_file\": \"" + root_.string() + "/r \\\"q\\\" \\u0001 \xC3\xA9.txt\"",
      "\"tests\": [\n        {\n          \"number\": 3,\n          \"name\": \"20 bytes "
      "Tx/Rx\",\n          \"passed\": true",
      "\"number\": 4,\n          \"name\": \"RTS/CTS handshake\",\n          \"passed\": false",
      "\"RTS/CTS handshake: RTS/CTS= off <-- FAILED\",\n            \"RTS/CTS handshake: "
      "RTS/CTS= on --- OK\"\n          ],\n          \"events\": []\n        }\n      ]"};
  for (const std::string& part : parts) EXPECT_NE(out.find(part), std::string::npos) << part;
  // With the report on standard output the lines go to standard error, summary last.
  EXPECT_NE(err.find("loopback?cts=on: FAILED (RTS/CTS handshake), 1 pass\n  CTS stays on"),
            std::string::npos)
      << err;
  std::ostringstream file;
  file << std::ifstream(result, std::ios::binary).rdbuf();
  EXPECT_NE(file.str().find("-RTS/CTS handshake: RTS/CTS= off <-- FAILED\r\n"), std::string::npos);
}

// Another process stores whole sets of settings and COM port map in turn, each in one write as
// an import does; every run started meanwhile uses one of the two sets, never parts of both.
TEST_F(RunCommandTest, ARunUsesOneWholeSetWhileAnotherProcessStoresSetsInTurn) {
  using Set = std::vector<std::pair<std::string, std::string>>;
  const Set sets[2] = {{{"Baudrate", "115200"},
                        {"Bits", "7"},
                        {"Parity", "3"},
                        {"Stopbits", "2"},
                        {"COM1", "loopback?cts=off"}},
                       {{"Baudrate", "9600"},
                        {"Bits", "8"},
                        {"Parity", "1"},
                        {"Stopbits", "1"},
                        {"COM1", "loopback"}}};
  // How the report of a run shows each set.
  const std::string shown[2] = {"\"device\": \"loopback?cts=off\",", "\"device\": \"loopback\","};
  const std::string line[2] = {"\"settings\": \"115200,E,7,2\"", "\"settings\": \"9600,N,8,1\""};
  const auto settings_key = *settings::SplitKeyPath(settings::kSettingsKey);
  const auto map_key = *settings::SplitKeyPath(portmap::kMapKey);
  auto store = [&](const Set& set) {
    return settings::ModifyHive(
        settings::kHKeyLocalMachine, [&](settings::RegKeyNode& tree, bool& changed) {
          bool created = false;
          for (const auto& [name, text] : set) {
            settings::RegKeyNode& key =
                settings::CreateKey(tree, name == "COM1" ? map_key : settings_key, 1, created);
            settings::SetStringValue(key, name, text);
          }
          changed = true;
          return settings::RegStatus::kOk;
        });
  };
  ASSERT_EQ(store(sets[0]), settings::RegStatus::kOk);

  const pid_t writer = ::fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    for (int n = 1;; ++n)
      if (store(sets[n % 2]) != settings::RegStatus::kOk) ::_exit(1);
  }
  // 150 runs and both sets seen, for at most 60 seconds.
  int seen[2] = {0, 0}, runs = 0;
  std::vector<std::string> mixed;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((runs < 150 || seen[0] == 0 || seen[1] == 0) && std::chrono::steady_clock::now() < end) {
    const auto [status, out, err] = Run({"--tests", "1", "--no-result-file", "--json", "-"});
    ++runs;
    bool whole = false;
    for (int set = 0; set < 2; ++set) {
      if (out.find(shown[set]) != std::string::npos && out.find(line[set]) != std::string::npos) {
        ++seen[set];
        whole = true;
      }
    }
    if (!whole) mixed.push_back(out.substr(out.find("\"device\""), 200) + err);
  }
  ::kill(writer, SIGKILL);
  int status = 0;
  ::waitpid(writer, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status)) << "the writer failed";
  EXPECT_EQ(mixed.size(), 0u) << "of " << runs << " runs, the first:\n"
                              << (mixed.empty() ? "" : mixed.front());
  EXPECT_GT(seen[0], 0);
  EXPECT_GT(seen[1], 0) << "the writer never stored a set between two runs";
}

// With several ports each gets its own file: the port's name goes before the extension, and a
// name that starts with a dot has none.
TEST(ResultFileTest, PortNameGoesBeforeTheExtension) {
  EXPECT_EQ(ResultFileFor("/w/r.txt", "COM1"), "/w/r-COM1.txt");
  EXPECT_EQ(ResultFileFor("/w.d/.result", "loopback-2"), "/w.d/.result-loopback-2");
}

// Each fault of the plug is named by the wire or the part it points at, and by nothing else.
TEST_F(RunCommandTest, TheDiagnosisNamesTheFaultyWire) {
  const std::tuple<const char*, const char*, const char*, const char*> rows[] = {
      {"", "1,2,3,4,5", "38400", "a full plug"},
      {"echo=off", "2,3", "38400", "TxD 3 (2) to RxD 2 (3) is not connected"},
      // Every 100th character is lost at any rate, also in the check at the next lower rate.
      {"drop=100", "2,3", "9600", "at 9600 baud and at 1200 baud as well"},
      // A framing error on the last character of the block; the check at 9600 baud comes after.
      {"frame=256", "2", "38400", "at 38400 baud but not at 9600 baud"},
      {"cts=off", "4", "38400", "CTS stuck off"},
      {"dsr=off&dcd=off", "5", "38400", "DSR stuck off"},
      // Slow beside the limit, however loaded the machine running the test.
      {"opendelay=600", "1", "38400", "took longer than 500 ms (1 time)"},
      {"openfail=1", "1", "38400", "did not open again after it was closed"},
  };
  for (const auto& [faults, tests, baud, named] : rows) {
    const auto [status, out, err] =
        Run({"--no-result-file", "--timeout", "200", "--max-duration", "500", "--tests", tests,
             "--baud", baud, "--json", "-", std::string("loopback?") + faults});
    const std::size_t from = out.find("\"diagnosis\": [");
    ASSERT_NE(from, std::string::npos) << faults << "\n" << out << err;
    const std::string diagnosis = out.substr(from, out.find(']', from) - from);
    EXPECT_NE(diagnosis.find(named), std::string::npos) << faults << "\n" << diagnosis;
    EXPECT_EQ(diagnosis.find("\",\n"), std::string::npos) << "a second sentence: " << diagnosis;
  }
}

}  // namespace
}  // namespace serivane::run
