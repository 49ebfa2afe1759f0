// One port's run on the virtual plug and a ManualClock: what it collects, the diagnosis drawn
// from it, the stop after the current test, and the pieces of the report.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "common/clock.h"
#include "tools/run/diagnosis.h"
#include "tools/run/identity.h"
#include "tools/run/json_writer.h"
#include "tools/run/options.h"
#include "tools/run/port_run.h"
#include "tools/run/runner.h"

namespace serivane::run {
namespace {

namespace fs = std::filesystem;

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "serivane-run-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// A run of `tests` on the plug with `faults`, on a clock of its own.
PortOutcome RunOnPlug(const std::string& faults, const std::string& tests,
                      settings::Settings settings = {}) {
  TempFolder folder;
  PortOutcome o;
  o.port = o.device = "loopback?" + faults;
  settings.TestSelected = *ParseOptions({"--tests", tests}).overrides.tests;
  settings.ResultFileName = (folder.path() / "result.txt").string();
  o.settings = settings;
  ManualClock clock(1'000'000'000);
  PortRun run(o, 1, clock);
  run.Execute();
  return run.Outcome();
}

const std::string kFullPlug =
    "DCD follows DTR: a full plug (DTR 4 (20) to DSR 6 (6) and DCD 1 (8)).";

struct DiagnosisRow {
  std::string faults;
  std::string tests;
  std::vector<std::string> sentences;
};

void PrintTo(const DiagnosisRow& row, std::ostream* os) {
  *os << "loopback?" << row.faults << " tests " << row.tests;
}

class DiagnosisTest : public ::testing::TestWithParam<DiagnosisRow> {};

TEST_P(DiagnosisTest, FaultSwitchesGiveTheirSentences) {
  const DiagnosisRow& row = GetParam();
  settings::Settings settings;
  settings.MaxDuration = 2;
  EXPECT_EQ(Diagnose(RunOnPlug(row.faults, row.tests, settings)), row.sentences);
}

INSTANTIATE_TEST_SUITE_P(
    Plug, DiagnosisTest,
    ::testing::Values(
        DiagnosisRow{"", "1,2,3,4,5", {kFullPlug}},
        DiagnosisRow{"echo=off",
                     "2,3",
                     {"No character came back: TxD 3 (2) to RxD 2 (3) is not connected."}},
        DiagnosisRow{"extra=3",
                     "2",
                     {"More characters came back than were sent: something else sends on RxD 2 "
                      "(3), or the line picks up noise."}},
        // Every 100th character is lost at any rate: the check at 9600 baud fails as well.
        DiagnosisRow{"drop=100",
                     "2,3",
                     {"Characters were lost or changed at 38400 baud and at 9600 baud as well: a "
                      "loose contact on TxD 3 (2), RxD 2 (3) or ground (pin 5 (7)), or a faulty "
                      "port."}},
        // A framing error on the last character of the block, the latest event when the test
        // looks; the check at 9600 baud comes after it.
        DiagnosisRow{"frame=256",
                     "2",
                     {"Characters were lost or changed at 38400 baud but not at 9600 baud: "
                      "noise, cable length or ground (pin 5 (7))."}},
        DiagnosisRow{"cts=off",
                     "4",
                     {"CTS does not follow RTS: RTS 7 (4) to CTS 8 (5), CTS stuck off (the wire "
                      "is missing or broken)."}},
        DiagnosisRow{"cts=on",
                     "4",
                     {"CTS stays on when RTS is off: RTS 7 (4) to CTS 8 (5), CTS stuck on "
                      "(shorted to a line that is on, or driven from outside)."}},
        // A plug without DCD wired: no word about a full plug.
        DiagnosisRow{"dsr=off&dcd=off",
                     "5",
                     {"DSR does not follow DTR: DTR 4 (20) to DSR 6 (6), DSR stuck off (the wire "
                      "is missing or broken)."}},
        DiagnosisRow{"opendelay=3",
                     "1",
                     {"Closing and opening the port took longer than 2 ms (1 time): the driver "
                      "is slow to open the port."}},
        DiagnosisRow{"openfail=1",
                     "1",
                     {"The port did not open again after it was closed: the driver or the "
                      "adapter refuses to reopen it."}}));

TEST(PortRunTest, CollectsLinesEventsAndLevelsPerTest) {
  const PortOutcome o = RunOnPlug("cts=on", "2,4");
  ASSERT_TRUE(o.opened);
  EXPECT_EQ(o.passes, 1);
  EXPECT_FALSE(o.Passed());
  ASSERT_EQ(o.tests.size(), 2u);
  const TestRecord& data = o.tests[0];
  EXPECT_EQ(data.number, 2);
  EXPECT_EQ(data.failures, 0);
  EXPECT_EQ(data.lines.size(), 2u);
  EXPECT_EQ(data.lines[0], "Data Tx/Rx: 256 bytes send/received --- OK");
  EXPECT_EQ(data.events, (std::vector<std::int16_t>{2}));
  const TestRecord& rts = o.tests[1];
  EXPECT_EQ(rts.failures, 1);
  EXPECT_EQ(rts.lines, (std::vector<std::string>{"RTS/CTS handshake: RTS/CTS= off <-- FAILED",
                                                 "RTS/CTS handshake: RTS/CTS= on --- OK"}));
  using L = TestRecord::Levels;
  EXPECT_EQ(rts.levels, (std::vector<L>{L{false, true, true}, L{true, true, true}}));

  // A framing error early in the block: the box shows its message, the record only its code.
  const PortOutcome framed = RunOnPlug("frame=3", "2");
  EXPECT_EQ(framed.tests[0].events, (std::vector<std::int16_t>{1004, 2}));
  const std::vector<std::string>& lines = framed.tests[0].lines;
  EXPECT_EQ(lines.size(), 2u);
  for (const std::string& line : lines) EXPECT_FALSE(line.starts_with("Comm Event")) << line;
}

TEST(PortRunTest, StopEndsThePassAfterTheCurrentTestWithTheFileComplete) {
  TempFolder folder;
  PortOutcome o;
  o.port = o.device = "loopback";
  o.settings.ResultFileName = (folder.path() / "result.txt").string();
  ManualClock clock(1'000'000'000);
  PortRun* self = nullptr;
  std::vector<std::string> shown;
  PortRun run(o, 2, clock, [&](std::string_view line, LineKind) {
    shown.emplace_back(line);
    // The data test's lines come once it has returned: stop there.
    if (line.starts_with("Data Tx/Rx")) self->RequestStop();
  });
  self = &run;
  run.Execute();

  const PortOutcome& out = run.Outcome();
  EXPECT_TRUE(out.interrupted);
  EXPECT_EQ(out.passes, 1);
  ASSERT_EQ(out.tests.size(), 2u);
  EXPECT_EQ(out.tests[1].number, 2);
  std::ifstream in(o.settings.ResultFileName, std::ios::binary);
  std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  file = std::regex_replace(file, std::regex("\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d"), "{dt}");
  file = std::regex_replace(file, std::regex("Duration: \\d+ms"), "Duration: {ms}ms");
  EXPECT_EQ(file,
            "Test started {dt}\r\n"
            "+Open/Close --- OK   (Duration: {ms}ms)\r\n"
            "+Data Tx/Rx: 256 bytes send/received --- OK\r\n"
            " (Duration: {ms}ms , Calculated: ~73ms)\r\n"
            "+All test(s) passed  (Loop 1) {dt}\r\n"
            "\r\n");
  EXPECT_EQ(shown.back(), "");
}

TEST(ReportTest, QuotesAnyBytesAsValidJson) {
  EXPECT_EQ(JsonWriter::Quote("a\"b\\c"), R"("a\"b\\c")");
  EXPECT_EQ(JsonWriter::Quote(std::string("\r\n\t\x01\x7f", 5)), R"("\r\n\t\u0001\u007f")");
  EXPECT_EQ(JsonWriter::Quote("\xc3\xa9t\xc3\xa9"), "\"\xc3\xa9t\xc3\xa9\"");  // UTF-8 stays
  // A lone Latin-1 byte, a cut sequence and an encoded surrogate are not UTF-8.
  EXPECT_EQ(JsonWriter::Quote("\xe9"), R"("\u00e9")");
  EXPECT_EQ(JsonWriter::Quote("\xc3"), R"("\u00c3")");
  EXPECT_EQ(JsonWriter::Quote("\xed\xa0\x80"), R"("\u00ed\u00a0\u0080")");

  JsonWriter j;
  j.BeginObject().Key("a").BeginArray().Number(-1).Bool(true).Null().EndArray();
  j.Key("b").BeginObject().EndObject().Key("c").BeginArray().EndArray().EndObject();
  EXPECT_EQ(j.Text(),
            "{\n  \"a\": [\n    -1,\n    true,\n    null\n  ],\n  \"b\": {},\n  \"c\": []\n}\n");
}

TEST(ReportTest, PortNamesAndTheirResultFiles) {
  const std::vector<std::tuple<std::string, std::string, std::string>> rows = {
      {"com7", "C:\\RS-232_Result.Txt", "C:\\RS-232_Result-COM7.Txt"},
      {"/dev/serial/by-id/usb-FTDI_X-if00", "/tmp/r.txt", "/tmp/r-usb-FTDI_X-if00.txt"},
      {"loopback?cts=off", "logs.d/result", "logs.d/result-loopback"},
      {"/dev/ttyUSB0", "/tmp/.hidden", "/tmp/.hidden-ttyUSB0"},
      {"/dev/pts/12", "r.txt", "r-pts12.txt"},
  };
  for (const auto& [word, path, expected] : rows) {
    EXPECT_EQ(ResultFileFor(path, PortName(word)), expected) << word;
  }
}

TEST(IdentityTest, UsbAdapterByItsNodeOrItsByIdLink) {
  TempFolder root;
  const fs::path sys = root.path() / "sys", dev = root.path() / "dev";
  const fs::path usb = sys / "devices/pci0000:00/usb1/1-1";
  const fs::path port = usb / "1-1:1.0/ttyUSB0";
  fs::create_directories(port);
  fs::create_directories(sys / "bus/usb-serial/drivers/ftdi_sio");
  fs::create_directory_symlink(sys / "bus/usb-serial/drivers/ftdi_sio", port / "driver");
  const std::vector<std::pair<std::string, std::string>> attributes = {
      {"idVendor", "0403"},
      {"idProduct", "6001"},
      {"serial", "A50285BI"},
      {"manufacturer", "FTDI"},
      {"product", "FT232R USB UART"}};
  for (const auto& [name, value] : attributes) std::ofstream(usb / name) << value << "\n";
  fs::create_directories(sys / "class/tty/ttyUSB0");
  fs::create_directory_symlink(port, sys / "class/tty/ttyUSB0/device");
  fs::create_directories(dev / "serial/by-id");
  std::ofstream(dev / "ttyUSB0").put('\0');
  fs::create_symlink("../../ttyUSB0", dev / "serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0");

  const Identity expected{"/dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0",
                          "ftdi_sio",
                          "0403",
                          "6001",
                          "A50285BI",
                          "FTDI",
                          "FT232R USB UART"};
  const portmap::SystemRoots roots{sys, dev};
  EXPECT_EQ(ReadIdentity("/dev/ttyUSB0", roots), expected);
  EXPECT_EQ(ReadIdentity("/dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0", roots), expected);
  EXPECT_EQ(ReadIdentity("/dev/pts/3", roots), Identity{});
}

}  // namespace
}  // namespace serivane::run
