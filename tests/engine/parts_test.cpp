// The engine's parts below a whole run: the time limits, the handshake pauses, the port setup,
// the comm event monitor and the result log.
#include <array>

#include "engine/line_format.h"
#include "engine/timing.h"
#include "rig.h"

namespace serivane::engine::testing {
namespace {

// Lets `ms` of clock time pass in the event loop's 10 ms steps.
void Later(Rig& rig, int ms) {
  for (; ms > 0; ms -= 10) {
    rig.clock.Sleep(10);
    rig.DoEvents();
  }
}

// The stored settings (rate, data bits, parity 1 none 2 odd 3 even, stop bits) as the port and
// the log get them, and a character's bits: start, data, parity unless none, stop. Halves (72.5,
// 73.5) go to the even neighbour. Without a rate there is no limit, and the refusal says why.
TEST(Timing, LimitsCountTheRealFrame) {
  using Row = std::tuple<std::int32_t, std::int16_t, std::int16_t, std::int16_t, const char*, int>;
  for (const auto& [rate, data, parity, stop, text, bits] :
       {Row{38400, 8, 1, 1, "38400,N,8,1", 10}, Row{9600, 7, 3, 2, "9600,E,7,2", 11},
        Row{300, 7, 2, 1, "300,O,7,1", 10}, Row{1200, 5, 1, 1, "1200,N,5,1", 7}}) {
    settings::Settings stored;
    stored.BaudRate = rate, stored.DataBits = data, stored.Parity = parity, stored.StopBits = stop;
    EXPECT_EQ(LineConfigFor(stored).Text(), text);
    EXPECT_EQ(LineConfigFor(stored).BitsPerCharacter(), bits) << text;
  }
  EXPECT_EQ(EchoTimeLimit(256, 40960, 10, 10).ms, 72);
  EXPECT_EQ(EchoTimeLimit(256, 40960, 10, 11).ms, 74);
  EXPECT_EQ(EchoTimeLimit(256, 0, 10, 2000).refusal, "no time limit at 0 baud");
}

// A short pause between setting an output and reading its input blocks (no window event runs).
// A long one (an edited setting can ask for 32767 ms) lets the window's events run every 50 ms,
// and the time they take counts towards the pause.
TEST(Tests, HandshakePauses) {
  // Two pauses of the delay each; a long pause runs the events 468 times (70 ms each), then
  // sleeps its last 7 ms.
  for (const auto& [delay, events] :
       std::vector<std::pair<std::int16_t, int>>{{200, 0}, {32767, 936}}) {
    SCOPED_TRACE(delay);
    Rig rig;
    rig.settings.HandshakeDelay = delay;
    rig.OpenPort();
    rig.on_do_events = [&] { rig.clock.AdvanceMillis(20); };  // what the window's handlers take
    EXPECT_TRUE(rig.tester.Retest(4).passed);
    EXPECT_EQ(rig.clock.NowMicros() / 1000 - kStartMicros / 1000, 2 * delay);
    EXPECT_EQ(rig.do_events_calls, events);
  }
}

// Nothing while tests run; otherwise the port is reopened on the chosen number with the settings
// and the manual lines, and the box and the caption show the settings. A failure is told in a
// message box (the window's tests check its title and the list); Com1 is chosen and the port
// closed before the box shows, so that a status tick while it is open does not fail again on
// the number that failed.
TEST(PortSetup, ReopensWithTheSettingsOrFallsBackToComOne) {
  Rig rig;
  rig.targets[7] = "loopback";
  rig.OpenPort();
  rig.settings.ComPort = 7;
  rig.settings.Parity = 2;
  rig.rts = false;
  rig.on_do_events = [&] { rig.tester.SetUpPort(); };
  rig.tester.Retest(2);
  EXPECT_EQ(rig.port.PortNumber(), 1);
  rig.text.clear();
  EXPECT_EQ(rig.tester.SetUpPort(), std::nullopt);
  EXPECT_TRUE(rig.port.OpenState() && rig.port.PortNumber() == 7 && !rig.port.RtsOn() &&
              rig.port.DtrOn() && rig.port.LineSettings() == "38400,O,8,1" && !rig.busy);
  EXPECT_EQ(rig.text, "Com-port 7 = 38400,O,8,1\r\n");
  EXPECT_EQ(rig.caption, "&Test:  (38400,O,8,1)");

  rig.settings.ComPort = 5;
  rig.settings.BaudRate = 0;
  const std::string error =
      "Invalid line settings \"0,O,8,1\": the rate \"0\" is not a positive whole number";
  EXPECT_EQ(rig.tester.SetUpPort(), error);
  EXPECT_EQ(rig.box, "Error opening Com-port 5\rError: " + error + "  (17CH)\r");
  EXPECT_FALSE(rig.port_open_at_box);
  EXPECT_EQ(rig.com_port_at_box, 1);
}

// The same code is shown again only once the comm timer has cleared the memory (1000 ms after
// the last event) or another code came in between; code 5 (DCD) shows nothing but counts.
TEST(CommMonitor, OneMessagePerEventUntilTimerOrAnotherCode) {
  const std::string ring = "Comm Event: Ring detected\r\n";
  // {gap, DCD change in the gap, box}
  for (const auto& [gap_ms, dcd_between, box] : std::vector<std::tuple<int, bool, std::string>>{
           {500, false, ring}, {1500, false, ring + ring}, {100, true, ring + ring}}) {
    SCOPED_TRACE(gap_ms);
    Rig rig("ring=on&dsr=on");  // DSR held: a DTR change moves DCD alone
    rig.OpenPort();
    rig.DoEvents();
    Later(rig, gap_ms);
    if (dcd_between) rig.port.DtrOn(false);
    Later(rig, 10);
    rig.port.OpenState(false);
    rig.port.OpenState(true);  // ring=on raises its code again
    rig.DoEvents();
    EXPECT_EQ(rig.text, box);
  }
}

// An append that makes the box longer than 20000 characters leaves its last 10000, whether a
// result line or characters received outside a run, however long the port talks.
TEST(ResultLog, BoxIsCutBackToItsLast10000Characters) {
  Rig rig;
  rig.tester.Log().AppendReceived(std::string(19998, 'a'));
  rig.tester.Log().AppendLine("");  // 20000 characters: not cut yet
  rig.tester.Log().AppendLine("b");
  EXPECT_EQ(rig.text, std::string(9995, 'a') + "\r\nb\r\n");
  rig.tester.Log().AppendReceived(std::string(10001, 'c'));
  EXPECT_EQ(rig.text, std::string(10000, 'c'));
}

// The result file is written only where a result file may stand; anything else the path names
// is refused and left byte for byte as it was, and an earlier run's file is emptied first. (Links
// and shared folders are the safe file's own concern; FIFOs, devices and a full disk are the
// end-to-end hostile case's.) A refusal does not stop the lines: the box tells once, after the
// first line the file does not take.
TEST(ResultLog, FileGoesOnlyWhereAResultFileMayStand) {
  const std::string not_ours =
      "it is not a result file of this program (its first line does not "
      "begin \"Test started\"), so it is left as it is";
  const std::filesystem::path cwd = std::filesystem::current_path();
  // {path in the rig's folder, what the box says it cannot do, what the file holds before}
  for (const auto& [path, error, before] : std::vector<std::array<std::string, 3>>{
           {"D:\\r.txt", "create D:\\r.txt: no such drive", ""},
           {"notes.txt", "create notes.txt: " + not_ours, "my notes\n"},
           {"earlier.txt", "", "Test started long ago\r\n" + std::string(200, '.') + "\r\n"}}) {
    SCOPED_TRACE(path);
    Rig rig;
    std::filesystem::current_path(rig.folder);
    rig.settings.ResultFileName = path;
    if (!before.empty()) std::ofstream(path, std::ios::binary) << before;
    rig.tester.Log().OpenFile(path);
    rig.tester.Log().Report('+', "first");
    rig.tester.Log().Report('-', "second");
    rig.tester.Log().CloseFile();
    EXPECT_EQ(rig.text, error.empty()
                            ? "first\r\nsecond\r\n"
                            : "first\r\nResult file error: cannot " + error + "\r\nsecond\r\n");
    if (!before.empty()) {
      EXPECT_EQ(rig.File(), error.empty() ? "+first\r\n-second\r\n" : before);
    }
    std::filesystem::current_path(cwd);
  }
}

}  // namespace
}  // namespace serivane::engine::testing
