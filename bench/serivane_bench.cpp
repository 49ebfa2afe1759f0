// What the program costs against what the system itself needs, measured side by side in one run:
//
//   Raw_*     the bare system calls on a pseudo-terminal whose far end echoes from a thread
//   Engine_*  the tester's own procedures on the same terminal (or the virtual plug), with a
//             window that costs nothing and waits on the port as the program's event loop does
//   Box_*     the program's real window (offscreen): result lines at a full box, repeated passes
//
// At the end a table gives each engine case as a multiple of its raw baseline (the median, when
// the cases are repeated). Build with the bench preset (optimised): a debug build inflates every
// figure. On a busy machine repeat the cases in random order so that a case and its baseline
// share the load (one command line):
//   serivane_bench --benchmark_filter=-Memory --benchmark_repetitions=5
//                  --benchmark_enable_random_interleaving=true
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QAbstractScrollArea>
#include <QApplication>
#include <QCheckBox>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "app/dialogs.h"
#include "app/rs232_form.h"
#include "common/clock.h"
#include "engine/line_format.h"
#include "engine/tester.h"
#include "serial/comm_control.h"
#include "settings/settings.h"

namespace {

using serivane::Clock;
using serivane::ManualClock;
using serivane::SystemClock;
using serivane::engine::EventPump;
using serivane::engine::FrontEnd;
using serivane::engine::OperatorAnswers;
using serivane::engine::ResultsView;
using serivane::engine::Rgb;
using serivane::engine::Tester;
using serivane::serial::CommControl;
using serivane::serial::SystemPaths;

// ---------------------------------------------------------------------------------------------
// The far end: a pseudo-terminal that writes back all it reads, as a loopback plug would.

class PtyEcho {
 public:
  PtyEcho() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    termios raw{};
    tcgetattr(master_, &raw);
    cfmakeraw(&raw);
    tcsetattr(master_, TCSANOW, &raw);
    slave_ = ptsname(master_);
    // Held open so that the terminal side never hangs up between a close and the next open.
    keep_ = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    echo_ = std::thread([this] { Echo(); });
  }
  ~PtyEcho() {
    stop_ = true;
    if (echo_.joinable()) echo_.join();
    if (keep_ >= 0) ::close(keep_);
    if (master_ >= 0) ::close(master_);
  }
  const std::string& path() const { return slave_; }
  bool ok() const { return !slave_.empty(); }

 private:
  void Echo() {
    char buf[4096];
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 5) <= 0 || !(p.revents & POLLIN)) continue;
      const ssize_t n = read(master_, buf, sizeof buf);
      for (ssize_t done = 0; n > 0 && done < n;) {
        const ssize_t w = write(master_, buf + done, static_cast<std::size_t>(n - done));
        if (w > 0) done += w;
      }
    }
  }

  int master_ = -1;
  int keep_ = -1;
  std::string slave_;
  std::atomic<bool> stop_{false};
  std::thread echo_;
};

PtyEcho& Echo() {
  static PtyEcho echo;
  return echo;
}

std::string LockDir() {
  static const std::string dir = [] {
    std::string pattern = "/tmp/serivane-bench-XXXXXX";
    return std::string(mkdtemp(pattern.data()) ? pattern : "/tmp");
  }();
  return dir;
}

std::string Block(std::size_t n) {
  std::string block(n, '\0');
  for (std::size_t i = 0; i < n; ++i) block[i] = static_cast<char>(i);
  return block;
}

int OpenRaw(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fd;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

// Reads until `want` bytes have come back; writes `out` (from `sent` on) as room allows.
void Exchange(int fd, const std::string& out, std::size_t want) {
  std::size_t sent = 0;
  std::size_t got = 0;
  char buf[4096];
  while (got < want) {
    pollfd p{fd, static_cast<short>(POLLIN | (sent < out.size() ? POLLOUT : 0)), 0};
    poll(&p, 1, 100);
    if (p.revents & POLLOUT) {
      const ssize_t w = ::write(fd, out.data() + sent, out.size() - sent);
      if (w > 0) sent += static_cast<std::size_t>(w);
    }
    if (p.revents & POLLIN) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) got += static_cast<std::size_t>(n);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Raw baselines

void BM_Raw_RoundTrip256(benchmark::State& state) {
  const int fd = OpenRaw(Echo().path());
  const std::string block = Block(256);
  for (auto _ : state) {
    if (::write(fd, block.data(), block.size()) != 256) state.SkipWithError("short write");
    Exchange(fd, "", 256);
  }
  ::close(fd);
}
BENCHMARK(BM_Raw_RoundTrip256)->UseRealTime();

// One write call per byte, as the single-bytes test sends; the echo is read as it comes.
void BM_Raw_SingleBytes(benchmark::State& state) {
  const int fd = OpenRaw(Echo().path());
  const auto n = static_cast<std::size_t>(state.range(0));
  char buf[4096];
  for (auto _ : state) {
    std::size_t got = 0;
    for (std::size_t i = 0; i < n;) {
      if (::write(fd, "7", 1) == 1) {
        ++i;
        continue;
      }
      pollfd p{fd, POLLIN | POLLOUT, 0};
      poll(&p, 1, 100);
      const ssize_t r = ::read(fd, buf, sizeof buf);
      if (r > 0) got += static_cast<std::size_t>(r);
    }
    while (got < n) {
      pollfd p{fd, POLLIN, 0};
      poll(&p, 1, 100);
      const ssize_t r = ::read(fd, buf, sizeof buf);
      if (r > 0) got += static_cast<std::size_t>(r);
    }
  }
  ::close(fd);
}
BENCHMARK(BM_Raw_SingleBytes)->Arg(10000)->UseRealTime();

void BM_Raw_CloseOpen(benchmark::State& state) {
  int fd = OpenRaw(Echo().path());
  for (auto _ : state) {
    ::close(fd);
    fd = OpenRaw(Echo().path());
  }
  ::close(fd);
}
BENCHMARK(BM_Raw_CloseOpen)->UseRealTime();

// ---------------------------------------------------------------------------------------------
// The engine with a window that costs nothing. Its event loop is the port alone: it waits on
// the port's descriptor (or, for the plug, until the next delivery) as the program's loop does.

struct BenchWindow final : ResultsView, OperatorAnswers, EventPump {
  explicit BenchWindow(CommControl& p) : port(p) {}
  std::string ResultText() const override { return text; }
  void SetResultText(const std::string& t) override { text = t; }
  void MoveResultCaretToEnd() override {}
  void RepaintResult() override {}
  void SetResultBackground(Rgb) override {}
  bool RepeatChecked() const override { return false; }
  bool AskFailureContinue(const std::string&, const std::string&) override { return true; }
  void DoEvents() override { port.Service(); }
  bool WaitForEvents(std::int32_t max_ms) override {
    int wait = port.NextServiceMs();
    if (wait < 0 || wait > max_ms) wait = max_ms;
    pollfd p{port.WatchFd(), POLLIN, 0};
    poll(&p, 1, wait);
    port.Service();
    ++waits;
    return true;
  }
  bool RtsChecked() const override { return true; }
  bool DtrChecked() const override { return true; }
  void SetCommTimerEnabled(bool) override {}
  bool CloseWhenFinished() const override { return false; }

  CommControl& port;
  std::string text;
  std::int64_t waits = 0;
};

struct EngineRig {
  explicit EngineRig(const std::string& target)
      : port([target](std::int16_t) { return target; }, SystemClock(),
             SystemPaths{LockDir() + "/no-sysfs", LockDir()}),
        window(port),
        tester(FrontEnd(window, window, &window), port, SystemClock(), settings) {
    port.OnCommEvent = [this] { tester.HandleCommEvent(); };
    port.LineSettings(serivane::engine::LineConfigFor(settings).Text());
    port.OpenState(true);
  }
  CommControl port;
  serivane::settings::Settings settings;
  BenchWindow window;
  Tester tester;
};

void BM_Engine_DataTest_Pty(benchmark::State& state) {
  EngineRig rig(Echo().path());
  double failed = 0;
  for (auto _ : state) {
    rig.window.text.clear();
    if (!rig.tester.Retest(2).passed) ++failed;
  }
  state.counters["failed"] = failed;
  state.counters["waits"] =
      static_cast<double>(rig.window.waits) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Engine_DataTest_Pty)->UseRealTime();

void BM_Engine_SingleBytes_Pty(benchmark::State& state) {
  EngineRig rig(Echo().path());
  rig.settings.SingleBytes = static_cast<std::int16_t>(state.range(0));
  double failed = 0;
  for (auto _ : state) {
    rig.window.text.clear();
    if (!rig.tester.Retest(3).passed) ++failed;
  }
  state.counters["failed"] = failed;
}
BENCHMARK(BM_Engine_SingleBytes_Pty)->Arg(10000)->UseRealTime();

void BM_Engine_OpenClose_Pty(benchmark::State& state) {
  EngineRig rig(Echo().path());
  for (auto _ : state) {
    rig.window.text.clear();
    rig.tester.Retest(1);
  }
}
BENCHMARK(BM_Engine_OpenClose_Pty)->UseRealTime();

// 256 bytes at 38400 8N1 take 66.67 ms on the wire; the test should report no more than that
// plus the tick's rounding.
void BM_Engine_DataTest_Plug38400(benchmark::State& state) {
  EngineRig rig("loopback");
  double reported = 0;
  for (auto _ : state) {
    rig.window.text.clear();
    // The time the test's line quotes, -1 when it failed.
    const serivane::engine::TestOutcome outcome = rig.tester.Retest(2);
    reported += outcome.passed && outcome.measured_ms ? *outcome.measured_ms : -1.0;
  }
  state.counters["reported_ms"] = reported / static_cast<double>(state.iterations());
  const serivane::serial::LineConfig line = serivane::engine::LineConfigFor(rig.settings);
  state.counters["wire_ms"] = 256.0 * line.BitsPerCharacter() * 1000 / line.baud;
}
BENCHMARK(BM_Engine_DataTest_Plug38400)
    ->Iterations(10)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------------------------
// The program's window (offscreen), its dialogs answered at once.

struct NoDialogs final : serivane::app::Dialogs {
  bool Message(const std::string&, const std::string&, serivane::app::MessageIcon, bool) override {
    return true;
  }
  std::string Input(const std::string&, const std::string&, const std::string&) override {
    return "";
  }
};

long RssKb() {
  std::ifstream status("/proc/self/status");
  std::string word;
  while (status >> word) {
    if (word == "VmRSS:") {
      long kb = 0;
      status >> kb;
      return kb;
    }
  }
  return -1;
}

struct WindowRig {
  // The window on the virtual plug, on a clock that moves only when the program pauses, so that
  // a pass costs what the program itself does and nothing of the wire.
  explicit WindowRig(std::function<void()> on_open = {}) : opened(std::move(on_open)) {
    serivane::app::FormServices services;
    services.dialogs = &dialogs;
    services.clock = &clock;
    services.resolver = [this](std::int16_t) {
      if (opened) opened();
      return std::string("loopback");
    };
    services.exit_program = [](int) {};
    form = std::make_unique<serivane::app::RS232_Form>(services);
    form->show();
    form->port().PortNumber(1);
    form->port().OpenState(true);
    QApplication::processEvents();
  }

  ManualClock clock{1'000'000'000};
  NoDialogs dialogs;
  std::function<void()> opened;
  std::unique_ptr<serivane::app::RS232_Form> form;
};

// One result line added to a box that holds about 20 000 characters.
void BM_Box_LineAt20000(benchmark::State& state) {
  WindowRig rig;
  const std::string line = "Data Tx/Rx: 256 bytes send/received --- OK";
  std::string fill;
  while (fill.size() < 19000) fill += line + "\r\n";
  std::size_t size = 0;
  for (auto _ : state) {
    if (size + line.size() + 2 > 20000) {
      state.PauseTiming();
      rig.form->results().SetResultText(fill);
      size = fill.size();
      state.ResumeTiming();
    }
    rig.form->tester().Log().AppendLine(line);
    size += line.size() + 2;
  }
}
BENCHMARK(BM_Box_LineAt20000);

// Passes of a repeated run with all five tests on the plug; time is per pass.
void BM_Box_RepeatedPass(benchmark::State& state) {
  const std::int64_t passes = state.range(0);
  std::int64_t opens = 0;
  WindowRig rig([&] {
    // The open/close test reopens the port once a pass; the run stops after the pass that
    // opens it for the last time.
    if (++opens >= passes) rig.form->findChild<QCheckBox*>("Loop_Check")->setChecked(false);
  });
  for (auto _ : state) {
    opens = 0;
    rig.form->findChild<QCheckBox*>("Loop_Check")->setChecked(true);
    rig.form->tester().Run();
  }
  state.SetItemsProcessed(state.iterations() * passes);
}
BENCHMARK(BM_Box_RepeatedPass)->Arg(200)->Unit(benchmark::kMillisecond);

// Resident memory of the program over one long repeated run.
void BM_Box_RepeatedPassMemory(benchmark::State& state) {
  const std::int64_t passes = state.range(0);
  std::int64_t opens = 0;
  long rss_100 = 0;
  long rss_end = 0;
  WindowRig rig([&] {
    ++opens;
    if (opens == 101) rss_100 = RssKb();
    if (opens >= passes) {
      rss_end = RssKb();
      rig.form->findChild<QCheckBox*>("Loop_Check")->setChecked(false);
    }
  });
  for (auto _ : state) {
    opens = 0;
    rig.form->findChild<QCheckBox*>("Loop_Check")->setChecked(true);
    rig.form->tester().Run();
  }
  state.counters["rss_kb_at_100"] = static_cast<double>(rss_100);
  state.counters["rss_kb_at_end"] = static_cast<double>(rss_end);
}
BENCHMARK(BM_Box_RepeatedPassMemory)->Arg(10000)->Iterations(1)->Unit(benchmark::kSecond);

// ---------------------------------------------------------------------------------------------
// Passes on the system clock, as the operator runs them: the CPU time of the thread that runs
// them per pass (the wire time costs nothing while the thread sleeps), the program's window next
// to the engine alone on a window that costs nothing. Five tests on the plug at 38400; tests 1
// to 3 on the pseudo-terminal (it has no modem lines for the handshake tests). The window's case
// runs one pass a run (what a run costs besides its tests included) and 20 passes of a repeated
// run.

double ThreadCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

std::string LiveTarget(std::int64_t on_pty) {
  return on_pty ? Echo().path() : std::string("loopback");
}

void SelectLiveTests(serivane::settings::Settings& settings, std::int64_t on_pty) {
  for (std::size_t n = 1; n <= 5; ++n) settings.TestSelected[n] = !on_pty || n <= 3;
}

void BM_Engine_LivePass(benchmark::State& state) {
  EngineRig rig(LiveTarget(state.range(0)));
  SelectLiveTests(rig.settings, state.range(0));
  double cpu = 0;
  for (auto _ : state) {
    rig.window.text.clear();
    const double before = ThreadCpuMs();
    rig.tester.Run();
    cpu += ThreadCpuMs() - before;
  }
  state.counters["cpu_ms"] = cpu / static_cast<double>(state.iterations());
  state.counters["waits"] =
      static_cast<double>(rig.window.waits) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Engine_LivePass)->Arg(0)->Arg(1)->Iterations(20)->Unit(benchmark::kMillisecond);

// Counts the paints of the results box and the wake-ups of the thread's event loop.
struct PaintCounter final : QObject {
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
  std::int64_t paints = 0;
};

void BM_Window_LivePass(benchmark::State& state) {
  const std::string target = LiveTarget(state.range(0));
  const std::int64_t passes = state.range(1);
  NoDialogs dialogs;
  serivane::app::FormServices services;
  services.dialogs = &dialogs;
  std::int64_t opens = 0;
  QCheckBox* repeat = nullptr;
  // The open/close test reopens the port once a pass; the run stops after the pass that opens
  // it for the last time.
  services.resolver = [&, target](std::int16_t) {
    if (repeat != nullptr && ++opens >= passes) repeat->setChecked(false);
    return target;
  };
  services.exit_program = [](int) {};
  serivane::app::RS232_Form form(services);
  form.show();
  QApplication::processEvents();
  if (!form.port().OpenState()) {
    form.port().PortNumber(1);
    form.port().OpenState(true);
  }
  SelectLiveTests(form.settings(), state.range(0));
  repeat = form.findChild<QCheckBox*>(QStringLiteral("Loop_Check"));
  PaintCounter paints;
  auto* box = form.findChild<QWidget*>(QStringLiteral("Result_Text"));
  box = box != nullptr ? qobject_cast<QAbstractScrollArea*>(box)->viewport() : nullptr;
  if (box != nullptr) box->installEventFilter(&paints);
  std::int64_t wakes = 0;
  QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake,
                   [&wakes] { ++wakes; });
  double cpu = 0;
  std::size_t lines = 0;
  for (auto _ : state) {
    opens = 0;
    repeat->setChecked(passes > 1);
    const double before = ThreadCpuMs();
    form.tester().Run();
    cpu += ThreadCpuMs() - before;
    const std::string text = form.results().ResultText();
    lines += static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  }
  const auto all = static_cast<double>(state.iterations() * passes);
  state.counters["cpu_ms"] = cpu / all;
  state.counters["paints"] = static_cast<double>(paints.paints) / all;
  state.counters["lines"] = static_cast<double>(lines) / all;
  state.counters["wakes"] = static_cast<double>(wakes) / all;
  QObject::disconnect(QAbstractEventDispatcher::instance(), nullptr, nullptr, nullptr);
}
BENCHMARK(BM_Window_LivePass)
    ->Args({0, 1})
    ->Args({0, 20})
    ->Args({1, 1})
    ->Args({1, 20})
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------------------------
// Ratios

class RatioReporter final : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      std::string name = run.benchmark_name();
      // With repetitions, the median stands for the case.
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name != "median") continue;
        name.resize(name.size() - std::string("_median").size());
      }
      // Microseconds, whatever unit the case prints in.
      const double to_us = 1e6 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      micros_[name] = run.GetAdjustedRealTime() * to_us;
      cpu_micros_[name] = run.GetAdjustedCPUTime() * to_us;
      for (const auto& [counter, value] : run.counters) counters_[name + ":" + counter] = value;
    }
  }

  void Summary() const {
    std::printf("\n%-48s %12s %12s %8s\n", "case / baseline", "case us", "base us", "ratio");
    Ratio("Engine_DataTest_Pty / Raw_RoundTrip256", "BM_Engine_DataTest_Pty/real_time",
          "BM_Raw_RoundTrip256/real_time");
    Ratio("Engine_SingleBytes_Pty / Raw_SingleBytes (10000)",
          "BM_Engine_SingleBytes_Pty/10000/real_time", "BM_Raw_SingleBytes/10000/real_time");
    Ratio("Engine_OpenClose_Pty / Raw_CloseOpen", "BM_Engine_OpenClose_Pty/real_time",
          "BM_Raw_CloseOpen/real_time");
    const auto reported =
        counters_.find("BM_Engine_DataTest_Plug38400/iterations:10/real_time:reported_ms");
    const auto wire =
        counters_.find("BM_Engine_DataTest_Plug38400/iterations:10/real_time:wire_ms");
    if (reported != counters_.end() && wire != counters_.end()) {
      std::printf("%-48s %10.2fms %10.2fms %+7.2fms\n", "Plug 38400 block: reported / wire",
                  double(reported->second), double(wire->second),
                  double(reported->second) - double(wire->second));
    }
    if (auto it = cpu_micros_.find("BM_Box_LineAt20000"); it != cpu_micros_.end()) {
      std::printf("%-48s %10.3fms\n", "Result line at 20 000 characters (CPU)", it->second / 1000);
    }
    if (auto it = cpu_micros_.find("BM_Box_RepeatedPass/200"); it != cpu_micros_.end()) {
      std::printf("%-48s %10.3fms\n", "Repeated pass, five tests on the plug (CPU)",
                  it->second / 1000 / 200);
    }
    const std::pair<const char*, const char*> live[] = {{"0/1", "plug, 5 tests, a run"},
                                                        {"0/20", "plug, 5 tests, repeated"},
                                                        {"1/1", "pty, tests 1-3, a run"},
                                                        {"1/20", "pty, tests 1-3, repeated"}};
    for (const auto& [args, label] : live) {
      const std::string window = std::string("BM_Window_LivePass/") + args + "/iterations:5:";
      const std::string engine = std::string("BM_Engine_LivePass/") + args[0] + "/iterations:20:";
      const auto w = counters_.find(window + "cpu_ms");
      const auto e = counters_.find(engine + "cpu_ms");
      if (w == counters_.end() || e == counters_.end()) continue;
      std::printf("%-48s %10.3fms %10.3fms %7.2fx  (%.1f paints, %.1f lines, %.0f wake-ups)\n",
                  (std::string("Pass CPU, window / engine: ") + label).c_str(), double(w->second),
                  double(e->second), double(w->second) / double(e->second),
                  double(counters_.at(window + "paints")), double(counters_.at(window + "lines")),
                  double(counters_.at(window + "wakes")));
    }
    const std::string mem = "BM_Box_RepeatedPassMemory/10000/iterations:1:";
    if (auto a = counters_.find(mem + "rss_kb_at_100"), b = counters_.find(mem + "rss_kb_at_end");
        a != counters_.end() && b != counters_.end()) {
      std::printf("%-48s %8.0f KiB -> %8.0f KiB (%+.0f KiB)\n", "RSS at pass 100 -> 10000",
                  double(a->second), double(b->second), double(b->second) - double(a->second));
    }
  }

 private:
  void Ratio(const char* label, const std::string& a, const std::string& b) const {
    const auto x = micros_.find(a);
    const auto y = micros_.find(b);
    if (x == micros_.end() || y == micros_.end()) return;
    std::printf("%-48s %12.1f %12.1f %7.2fx\n", label, x->second, y->second, x->second / y->second);
  }

  std::map<std::string, double> micros_;
  std::map<std::string, double> cpu_micros_;
  std::map<std::string, benchmark::Counter> counters_;
};

}  // namespace

int main(int argc, char** argv) {
  // The window needs no screen, and its registry and result file go to a folder of their own.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir home;
  qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
  qputenv("HOME", home.path().toUtf8());
  QApplication application(argc, argv);
  if (!Echo().ok()) {
    std::fprintf(stderr, "no pseudo-terminal\n");
    return 1;
  }

  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.Summary();
  benchmark::Shutdown();
  return 0;
}
