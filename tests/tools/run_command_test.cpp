// serivane-run as a command, in-process: exit statuses and messages, the stored settings, the
// report, the diagnosis drawn from a faulty plug and several ports at once, on the virtual plug
// in a registry of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
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

#include "portmap/portmap.h"
#include "settings/cregistry.h"
#include "settings/registry_store.h"
#include "settings/settings_store.h"
#include "tools/run/diagnosis.h"
#include "tools/run/junit.h"
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

  // Status, standard output and standard error of one run. `broken_out`: standard output takes
  // nothing (closed, or a full disk).
  std::tuple<int, std::string, std::string> Run(const std::vector<std::string>& args,
                                                bool broken_out = false) {
    std::ostringstream good, err;
    std::ostream broken(nullptr);
    std::ostream& out = broken_out ? broken : good;
    RunEnvironment env;
    env.out = &out;
    env.err = &err;
    // A machine without serial ports: the map gives COM1 the virtual plug.
    env.roots = {root_ / "sys", root_ / "dev"};
    const int status = RunMain(args, env);
    return {status, good.str(), err.str()};
  }

  std::string Path(const std::string& name) const { return (root_ / name).string(); }
  std::string Read(const std::string& name) const {
    std::ostringstream s;
    s << std::ifstream(Path(name), std::ios::binary).rdbuf();
    return s.str();
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

TEST_F(RunCommandTest, StoredSettingsApplyUnlessGivenAndTheReportSaysWhatRan) {
  settings::CRegistry registry;
  registry.OpenKey(settings::kHKeyLocalMachine, settings::kSettingsKey, true);
  registry.WriteValue("Result FileName",
                      "Z:" + std::regex_replace(ResultPath(), std::regex("/"), "\\"));
  const char* names[] = {"Baudrate", "Single Bytes", "Max Duration", "Test 1", "Test 2", "Test 5"};
  const char* values[] = {"9600", "20", "30000", "False", "False", "False"};
  for (int i = 0; i < 6; ++i) registry.WriteValue(names[i], values[i]);
  registry.CloseKey();
  const auto [status, out, err] = Run({"--parity", "E", "--json", "-", "loopback?cts=on"});
  EXPECT_EQ(status, 1) << err;
  std::string json = out;
  std::erase_if(json, [](char c) { return c == ' ' || c == '\n'; });
  // Tests 3 and 4 ran, and no other, at the stored rate with the parity given; the handshake's
  // readings have DCD and RI beside them (DTR is on, the plug wires no RI).
  for (const std::string& part :
       {std::string("\"settings\":\"9600,E,8,1\""), "\"result_file\":\"" + ResultPath() + "\"",
        std::string("\"tests\":[{\"number\":3,\"name\":\"20bytesTx/Rx\",\"passed\":true"),
        std::string("},{\"number\":4,\"name\":\"RTS/CTShandshake\",\"passed\":false"),
        std::string("\"levels\":[{\"output\":false,\"input\":true,\"dcd\":true,\"ri\":false},{"
                    "\"output\":true,\"input\":true,\"dcd\":true,\"ri\":false}]}]")})
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << out;
  // With the report on standard output the lines go to standard error, summary last.
  EXPECT_NE(err.find("loopback?cts=on: FAILED (RTS/CTS handshake), 1 pass\n  CTS stays on"),
            std::string::npos)
      << err;
  EXPECT_NE(Read("result.txt").find("-RTS/CTS handshake: RTS/CTS= off <-- FAILED\r\n"),
            std::string::npos);
}

// Another process stores whole sets of settings and COM port map in turn, each in one write as
// an import does; every run started meanwhile uses one of the two sets, never parts of both.
TEST_F(RunCommandTest, ARunUsesOneWholeSetWhileAnotherProcessStoresSetsInTurn) {
  const char* names[] = {"Baudrate", "Bits", "Parity", "Stopbits", "COM1"};
  const std::string sets[2][5] = {{"115200", "7", "3", "2", "loopback?cts=off"},
                                  {"9600", "8", "1", "1", "loopback"}};
  // How the report of a run shows each set.
  const std::string device[2] = {"\"device\": \"loopback?cts=off\",", "\"device\": \"loopback\","};
  const std::string line[2] = {"\"settings\": \"115200,E,7,2\"", "\"settings\": \"9600,N,8,1\""};
  auto store = [&](const std::string(&set)[5]) {
    return settings::ModifyHive(settings::kHKeyLocalMachine, [&](auto& tree, bool& changed) {
      bool created = false;
      for (int i = 0; i < 5; ++i)
        settings::SetStringValue(
            settings::CreateKey(
                tree, *settings::SplitKeyPath(i == 4 ? portmap::kMapKey : settings::kSettingsKey),
                1, created),
            names[i], set[i]);
      return changed = true, settings::RegOk();
    });
  };
  ASSERT_TRUE(store(sets[0]).ok());
  const pid_t writer = ::fork();
  if (writer == 0)
    for (int n = 1;; ++n)
      if (!store(sets[n % 2])) ::_exit(1);
  // 150 runs and both sets seen, for at most 60 seconds.
  int seen[2] = {0, 0}, runs = 0;
  std::string mixed;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (; (runs < 150 || !seen[0] || !seen[1]) && std::chrono::steady_clock::now() < end; ++runs) {
    const auto [status, out, err] = Run({"--tests", "1", "--no-result-file", "--json", "-"});
    bool whole = false;
    for (int set = 0; set < 2; ++set)
      if (out.find(device[set]) != std::string::npos && out.find(line[set]) != std::string::npos)
        whole = ++seen[set];
    if (!whole && mixed.empty()) mixed = out + err;
  }
  ::kill(writer, SIGKILL);
  int status = 0;
  ::waitpid(writer, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status)) << "the writer failed";
  EXPECT_EQ(mixed, "") << "of " << runs << " runs";
  EXPECT_GT(seen[0] * seen[1], 0) << "the writer never stored a set between two runs";
}

// With several ports each gets its own file: the port's name goes before the extension, and a
// name that starts with a dot has none. A port's name never reaches another folder.
TEST(ResultFileTest, PortNameGoesBeforeTheExtension) {
  EXPECT_EQ(ResultFileFor("/w/r.txt", "COM1"), "/w/r-COM1.txt");
  EXPECT_EQ(ResultFileFor("/w.d/.result", "loopback-2"), "/w.d/.result-loopback-2");
  EXPECT_EQ(PortName("sub/p\\..\\..\\..\\escaped"), "p_.._.._.._escaped");
  EXPECT_EQ(PortName("/dev/pts/3"), "pts3");
  EXPECT_EQ(PortName("/dev/serial/by-id/usb-FTDI_A+B:1.0 x"), "usb-FTDI_A+B_1.0_x");
}

// Every output that cannot be written is named on standard error and makes the status 3, or 1
// when a test failed; the file it names is left as it was, and nothing is refused in silence.
// (Folders, pipes, devices, links and full disks: the end-to-end cases.)
TEST_F(RunCommandTest, AnOutputThatCannotBeWrittenDecidesTheStatus) {
  std::ofstream(Path("notes.txt")) << "my notes\n";
  std::ofstream(Path("earlier.json")) << kReportStart << ", \"old\": 1}\n";
  std::ofstream(Path("notes.xml")) << "<?xml version=\"1.0\"?>\n<mine/>\n";
  fs::create_directory(Path("folder"));
  fs::create_symlink(Path("r.out"), Path("link.out"));
  const std::string passing = "--tests=1";
  // Arguments, standard output broken, status, message on standard error ("" no complaint at all).
  const std::tuple<std::vector<std::string>, bool, int, std::string> rows[] = {
      {{"--json", Path("notes.txt"), passing}, false, 3, "it is not a file this program wrote"},
      {{"--json", Path("earlier.json"), passing}, false, 0, ""},
      {{"--result", Path("notes.txt"), passing}, false, 3, "not a result file of this program"},
      {{"--json", "-", "--tests=4", "loopback?cts=off"}, true, 1, "cannot write the report"},
      {{"--json", "-", "--no-result-file", passing}, false, 0, ""},
      // The JUnit report by the same rules; it is refused where it would meet the JSON report.
      {{"--junit", Path("folder"), passing}, false, 3, "--junit: cannot write"},
      {{"--junit", Path("notes.xml"), passing}, false, 3, "it is not a file this program wrote"},
      {{"--junit", Path("earlier.json"), passing}, false, 3, "it is not a file this program wrote"},
      {{"--json", "-", "--junit", "-"}, false, 2, "cannot both go to standard output"},
      {{"--json", Path("r.out"), "--junit", Path("link.out")}, false, 2, "name the same file"},
      {{"--junit", "-", passing}, true, 3, "cannot write the JUnit report to standard output"},
  };
  for (const auto& [given, broken_out, expected, message] : rows) {
    std::vector<std::string> args = given;
    if (std::find(args.begin(), args.end(), "--result") == args.end() &&
        std::find(args.begin(), args.end(), "--no-result-file") == args.end())
      args.insert(args.begin(), {"--result", ResultPath()});
    const auto [status, out, err] = Run(args, broken_out);
    const std::string what = ::testing::PrintToString(given) + "\n" + err;
    EXPECT_EQ(status, expected) << what;
    // With the report on standard output the result lines go to standard error.
    EXPECT_TRUE(message.empty() ? err.find("serivane-run:") == std::string::npos &&
                                      err.find("Result file") == std::string::npos
                                : err.find(message) != std::string::npos)
        << what;
  }
  EXPECT_EQ(Read("notes.txt") + Read("notes.xml"), "my notes\n<?xml version=\"1.0\"?>\n<mine/>\n");
  EXPECT_FALSE(fs::exists(Path("r.out")));
  EXPECT_TRUE(Read("earlier.json").starts_with(std::string(kReportStart) + ",\n  \"version\""));
  // No file asked for, or a port that never opened: the report says none was written, and
  // none was.
  fs::remove(ResultPath());
  for (const std::string port : {"loopback", "loopback?busy=on"}) {
    const auto [status, out, err] =
        Run({port == "loopback" ? "--no-result-file" : "--result=" + ResultPath(), "--json", "-",
             "--tests=1", port});
    EXPECT_NE(out.find("\"result_file\": null"), std::string::npos) << out;
  }
  EXPECT_FALSE(fs::exists(ResultPath()));
  EXPECT_TRUE(fs::is_empty(root_ / "home"));
}

// A result file that stops taking lines in the middle of the run (a size limit stands in for a
// full disk): the tests still run, and the failure shows in the status, on standard error and in
// the report.
TEST_F(RunCommandTest, AResultFileThatFailsDuringTheRunIsReported) {
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{0, saved.rlim_max};
  Run({"--no-result-file", "--tests=1"});  // the stored settings are made before the limit
  for (const auto& [port, expected] : {std::pair<std::string, int>{"loopback", 3},
                                       std::pair<std::string, int>{"loopback?cts=off", 1}}) {
    setrlimit(RLIMIT_FSIZE, &limit);
    const auto [status, out, err] =
        Run({"--tests", "2,4", "--result", ResultPath(), "--json", "-", port});
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(status, expected) << port << err;
    EXPECT_NE(err.find("Result file error: cannot write"), std::string::npos) << err;
    EXPECT_NE(out.find("\"result_file_error\": \"Result file error: cannot write"),
              std::string::npos)
        << out;
  }
}

// The report tells when, where and by what it was made, and names each event beside its code.
TEST_F(RunCommandTest, TheReportSaysWhenWhereAndWhat) {
  const auto [status, out, err] =
      Run({"--no-result-file", "--tests", "2", "--json", "-", "loopback?frame=256"});
  EXPECT_EQ(status, 1) << err;
  const std::regex times(
      "\"started\": \"(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d)\","
      "\\s*\"ended\": \"(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d)\"");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, times)) << out;
  EXPECT_LE(m[1].str(), m[2].str());
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  EXPECT_NE(out.find("\"host\": \"" + std::string(host) + "\""), std::string::npos);
  EXPECT_NE(out.find("\"code\": 1004,\n              \"name\": \"framing error\""),
            std::string::npos)
      << out;
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

// A device that goes away mid-test: the failure names the port as it was given, a path by its
// path and a port number as "Com-port <n>".
TEST_F(RunCommandTest, AFailureNamesThePortAsItWasGiven) {
  const std::string vanishing = "loopback?vanish=100";
  portmap::SetMapEntry(4, vanishing);
  for (const auto& [given, name] :
       {std::pair<std::string, std::string>{vanishing, vanishing}, {"COM4", "Com-port 4"}}) {
    const auto [status, out, err] =
        Run({"--no-result-file", "--tests", "2,3", "--single-bytes", "500", given});
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("Error: " + name + " is not open"), std::string::npos) << out;
    EXPECT_EQ(out.find("Com-port 1"), std::string::npos) << out;
  }
}

}  // namespace
}  // namespace serivane::run
