// The engine's parts below a whole run: the time limits, the handshake pauses and echo waits,
// the port setup, the comm event monitor and the result log.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

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

// A frame is 1 start bit, the data bits, a parity bit when parity is odd or even, and the stop
// bits; the echo limits count that frame. Halves (72.5, 73.5) go to the even neighbour. Without
// a rate or beyond 32 bits there is no limit, and the refusal names what leaves none.
TEST(Timing, LimitsCountTheRealFrame) {
  EXPECT_EQ(FrameBits(7, 1, 1), 9);
  EXPECT_EQ(FrameBits(8, 2, 1), 11);
  EXPECT_EQ(FrameBits(8, 3, 2), 12);
  EXPECT_EQ(FrameBits(9, 4, 3), 10);  // what the port is given: 8 bits, no parity, 1 stop bit
  struct Case {
    std::int32_t chars, baud;
    int bits;
    std::int32_t timeout;
    std::optional<std::int32_t> limit;
    std::string refusal = "";
  };
  for (const Case& c : std::vector<Case>{
           {256, 40960, 10, 10, 72},
           {256, 40960, 10, 11, 74},
           {128, 9600, 9, 0, 120},
           {256, 0, 10, 2000, std::nullopt, "no time limit at 0 baud"},
           {32767, 1, 12, 2147483647, std::nullopt,
            "no time limit: \"Test Timeout\" 2147483647 ms plus the wire time of 393204000 ms is "
            "beyond the longest wait of 2147483647 ms"}}) {
    const EchoLimit got = EchoTimeLimit(c.chars, c.baud, c.bits, c.timeout);
    EXPECT_EQ(got.ms, c.limit) << c.baud << " " << c.timeout;
    EXPECT_EQ(got.refusal, c.refusal);
  }
  EXPECT_EQ(CalculatedWireMs(256, 45056), 62);  // 62.5
}

// A short pause between setting an output and reading its input blocks (no window event runs),
// and a delay below 1 makes none. A long one (an edited setting can ask for 32767 ms) lets the
// window's events run every 50 ms, and the time they take counts towards the pause.
TEST(Tests, HandshakePauses) {
  for (const int delay : {200, -20, 32767}) {
    SCOPED_TRACE(delay);
    Rig rig;
    rig.settings.HandshakeDelay = static_cast<std::int16_t>(delay);
    rig.OpenPort();
    std::int64_t last = rig.clock.NowMicros() / 1000, longest_gap = 0;
    rig.on_do_events = [&] {
      const std::int64_t now = rig.clock.NowMicros() / 1000;
      longest_gap = std::max(longest_gap, now - last);
      rig.clock.AdvanceMillis(20);  // what the window's handlers take
      last = now + 20;
    };
    const std::int64_t start = rig.clock.NowMicros() / 1000;
    EXPECT_FALSE(rig.tester.Retest(4));
    EXPECT_FALSE(rig.tester.Retest(5));
    const std::int64_t paused = rig.clock.NowMicros() / 1000 - start;
    if (delay <= 200) {
      EXPECT_EQ(paused, 4 * std::max(delay, 0));
      EXPECT_EQ(rig.do_events_calls, 0);
    } else {
      EXPECT_GE(paused, 4 * delay);
      EXPECT_LE(paused, 4 * delay + 4 * 50);
      EXPECT_GT(rig.do_events_calls, 0);
      EXPECT_LE(longest_gap, 100) << "the last step of one pause and the first of the next";
    }
  }
}

// A window that sleeps on the port ends the echo waits when the last character is in: the time
// reported is the wire time, to the tick, not a count of whole 10 ms steps. Characters left by
// earlier traffic are not taken for echo.
TEST(Tests, EchoWaitsEndWhenTheLastCharacterArrives) {
  Rig rig;
  rig.wakes_on_port = true;
  rig.OpenPort();
  EXPECT_FALSE(rig.tester.Retest(3));
  rig.port.TransmitText("x");  // below the receive threshold: it stays in the port
  Later(rig, 10);
  EXPECT_FALSE(rig.tester.Retest(2));
  // 256 and 100 characters of 10 bits at 38400 baud: 66.7 and 26.0 ms.
  EXPECT_NE(rig.text.find("(Duration: 67ms "), std::string::npos) << rig.text;
  EXPECT_NE(rig.text.find("(27ms)"), std::string::npos) << rig.text;
}

// Nothing while tests run; otherwise the port is reopened on the chosen number with the settings
// and the manual lines, and the box and the caption show the settings. A failure, at the port or
// before it at the line settings, is told in one message box; Com1 is chosen and the port
// closed before the box shows, so that a status tick while it is open does not fail again on the
// number that failed.
TEST(PortSetup, ReopensWithTheSettingsOrFallsBackToComOne) {
  Rig rig;
  rig.targets[7] = "loopback";
  rig.OpenPort();
  rig.settings.ComPort = 7;
  rig.settings.BaudRate = 9600;
  rig.settings.Parity = 2;
  rig.settings.DataBits = 7;
  rig.settings.StopBits = 2;
  rig.rts = false;
  rig.text = "earlier\r\n";
  rig.on_do_events = [&] { rig.tester.SetUpPort(); };
  rig.tester.Retest(2);
  EXPECT_EQ(rig.port.LineSettings(), "38400,N,8,1");
  rig.on_do_events = nullptr;
  EXPECT_EQ(rig.tester.SetUpPort(), std::nullopt);
  EXPECT_TRUE(rig.port.OpenState() && rig.port.PortNumber() == 7 && !rig.port.RtsOn() &&
              rig.port.DtrOn());
  EXPECT_EQ(rig.port.LineSettings(), "9600,O,7,2");
  EXPECT_EQ(rig.text.substr(rig.text.find("Com-port")), "Com-port 7 = 9600,O,7,2\r\n");
  EXPECT_EQ(rig.caption, "&Test:  (9600,O,7,2)");

  const std::vector<std::pair<std::int32_t, std::string>> failures{
      {38400, "Com5 names no device"},
      {0, "Invalid line settings \"0,O,7,2\": the rate \"0\" is not a positive whole number"},
  };
  for (const auto& [baud, error] : failures) {
    rig.text.clear();
    rig.boxes.clear();
    rig.settings.ComPort = 5;
    rig.settings.BaudRate = baud;
    EXPECT_EQ(rig.tester.SetUpPort(), error);
    const std::string number = baud == 0 ? "17C" : "1F42";
    EXPECT_EQ(rig.boxes, std::vector<std::string>{"Error in Setup_ComPort: Error opening Com-port "
                                                  "5\rError: " +
                                                  error + "  (" + number + "H)\r"});
    EXPECT_FALSE(rig.port_open_at_box);
    EXPECT_EQ(rig.com_port_at_box, 1);
    EXPECT_EQ(rig.com_entry, 0);
    EXPECT_FALSE(rig.busy);
    EXPECT_EQ(rig.text, "");
  }
}

// Outside a run a received character goes to the box as it comes, before the event it raised.
// The same code is shown again only once the comm timer has cleared the memory (1000 ms after
// the last event) or another code came in between; code 5 (DCD) shows nothing but counts.
TEST(CommMonitor, OneMessagePerEventUntilTimerOrAnotherCode) {
  for (const auto& [faults, box] : std::vector<std::pair<std::string, std::string>>{
           {"frame=1", "xComm Event: Framing error\r\n"},
           {"overrun=1", "Comm Event: Overrun error\r\n"},  // the character is lost with it
           {"vanish=5", "Comm Event: Device lost: the virtual loopback plug has vanished\r\n"}}) {
    Rig rig(faults);
    rig.OpenPort();
    rig.port.TransmitText("x");
    Later(rig, 10);
    EXPECT_EQ(rig.text, box) << faults;
  }
  const std::string ring = "Comm Event: Ring detected\r\n";
  struct Case {
    int gap_ms;
    bool dcd_between;
    std::string box;
  };
  for (const Case& c :
       {Case{500, false, ring}, Case{1500, false, ring + ring}, Case{100, true, ring + ring}}) {
    SCOPED_TRACE(c.gap_ms);
    Rig rig("ring=on&dsr=on");  // DSR held: a DTR change moves DCD alone
    rig.OpenPort();
    rig.DoEvents();
    Later(rig, c.gap_ms);
    if (c.dcd_between) rig.port.DtrOn(false);
    Later(rig, 10);
    rig.port.OpenState(false);
    rig.port.OpenState(true);  // ring=on raises its code again
    rig.DoEvents();
    EXPECT_EQ(rig.text, c.box);
  }
}

// An append that makes the box longer than 20000 characters leaves its last 10000; characters
// received outside a run are cut back the same way, however long the port talks.
TEST(ResultLog, BoxIsCutBackToItsLast10000Characters) {
  for (const std::size_t before : {19978u, 19979u}) {
    Rig rig;
    for (std::size_t i = 0; i < before; ++i) rig.text.push_back(static_cast<char>('a' + i % 26));
    const std::string whole = rig.text + "12345678901234567890\r\n";
    rig.tester.Log().AppendLine("12345678901234567890");
    EXPECT_EQ(rig.text, before == 19978 ? whole : whole.substr(whole.size() - 10000)) << before;
  }
  Rig rig;
  rig.tester.Log().AppendReceived(std::string(20000, 'a'));
  rig.tester.Log().AppendReceived("xy");
  EXPECT_EQ(rig.text, std::string(9998, 'a') + "xy");
}

TEST(ResultLog, SplitFilename) {
  struct Case {
    std::string path, folder, name;
  };
  // Only the backslash separates.
  for (const Case& c : std::vector<Case>{{"D:\\logs\\run.txt", "D:\\logs", "run.txt"},
                                         {"C:\\", "C:", ""},
                                         {"/home/op/run.txt", ".", "/home/op/run.txt"}}) {
    EXPECT_EQ(SplitFilename(c.path, true), c.folder) << c.path;
    EXPECT_EQ(SplitFilename(c.path, false), c.name) << c.path;
  }
}

// The result file is written only where a result file may stand; anything else the path names
// is refused and left byte for byte as it was, and an earlier run's file is emptied first.
// Neither a refusal nor a failing write stops the lines: the box tells once, after the first line
// the file does not take.
TEST(ResultLog, FileGoesOnlyWhereAResultFileMayStand) {
  const std::string not_ours =
      "it is not a result file of this program (its first line does not "
      "begin \"Test started\"), so it is left as it is";
  const std::string earlier = "Test started long ago\r\n" + std::string(200, '.') + "\r\n";
  std::ifstream comm_file("/proc/self/comm");
  const std::string comm((std::istreambuf_iterator<char>(comm_file)), {});
  struct Case {
    std::string path;     // "@name": made by the case in the rig's folder
    std::string message;  // after "Result file error: "; {p} is the path; "" none
    std::string before;   // what the file (a link's target) holds before
    bool kept;            // and still holds after; otherwise it holds the lines
  };
  std::vector<Case> cases{
      {"/no-such-folder/r.txt", "cannot create {p}: No such file or directory", "", true},
      {"D:\\r.txt", "cannot create {p}: no such drive", "", true},
      {"/dev/full", "cannot create {p}: it is not a regular file", "", true},
      {"@fifo", "cannot create {p}: it is not a regular file", "", true},  // nor waited on
      {"/proc/self/comm", "cannot create {p}: " + not_ours, comm, true},
      {"@notes.txt", "cannot create {p}: " + not_ours, "my notes\n", true},
      {"@earlier.txt", "", earlier, false},
      // The disk is full (a file size limit stands in for it).
      {"@full.txt", "cannot write {p}: File too large", "", true},
      // Links in a sticky folder everybody may write: the user's own is followed.
      {"@shared/mine", "", earlier, false},
  };
  if (geteuid() == 0) {  // only the superuser can plant a link owned by somebody else
    cases.push_back({"@shared/planted",
                     "cannot create {p}: {p} is a link that another user put in the shared "
                     "folder {d}/shared",
                     earlier, true});
  }
  for (Case c : cases) {
    SCOPED_TRACE(c.path);
    Rig rig;
    const std::string p = c.path[0] == '@' ? rig.folder + "/" + c.path.substr(1) : c.path;
    std::string target = p;
    if (c.path == "@fifo") {
      ASSERT_EQ(mkfifo(p.c_str(), 0600), 0);
    }
    if (c.path.starts_with("@shared/")) {
      ASSERT_EQ(mkdir((rig.folder + "/shared").c_str(), 0777), 0);
      ASSERT_EQ(chmod((rig.folder + "/shared").c_str(), 01777), 0);
      target = rig.folder + "/victim.txt";
      ASSERT_EQ(symlink(target.c_str(), p.c_str()), 0);
      if (c.path == "@shared/planted") {
        ASSERT_EQ(lchown(p.c_str(), 12345, 12345), 0);
      }
    }
    if (c.path[0] == '@' && !c.before.empty()) std::ofstream(target, std::ios::binary) << c.before;
    rlimit unlimited{};
    if (c.path == "@full.txt") {
      signal(SIGXFSZ, SIG_IGN);
      getrlimit(RLIMIT_FSIZE, &unlimited);
      rlimit small = unlimited;
      small.rlim_cur = 0;
      setrlimit(RLIMIT_FSIZE, &small);
    }
    ResultLog& log = rig.tester.Log();
    log.OpenFile(p);
    log.Report('+', "first");
    log.Report('-', "second");
    log.CloseFile();
    if (c.path == "@full.txt") setrlimit(RLIMIT_FSIZE, &unlimited);

    for (const auto& [from, to] : {std::pair{"{p}", p}, {"{d}", rig.folder}}) {
      for (auto at = c.message.find(from); at != std::string::npos; at = c.message.find(from))
        c.message.replace(at, 3, to);
    }
    const std::string error = c.message.empty() ? "" : "Result file error: " + c.message + "\r\n";
    EXPECT_EQ(rig.text, "first\r\n" + error + "second\r\n");
    rig.settings.ResultFileName = target;
    if (!c.kept || !c.before.empty()) {  // never read a device or a pipe
      EXPECT_EQ(rig.File(), c.kept ? c.before : "+first\r\n-second\r\n");
    }
  }
}

}  // namespace
}  // namespace serivane::engine::testing
