#include "tools/run/runner.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "common/clock.h"
#include "common/conv.h"
#include "common/paths.h"
#include "common/safe_file.h"
#include "common/unique_fd.h"
#include "engine/result_file.h"
#include "engine/test_names.h"
#include "serial/plug_faults.h"
#include "serial/port_names.h"
#include "settings/cregistry.h"
#include "settings/settings_store.h"
#include "tools/run/diagnosis.h"
#include "tools/run/json_writer.h"
#include "tools/run/options.h"

#ifndef SERIVANE_VERSION
#define SERIVANE_VERSION "unknown"
#endif

namespace serivane::run {

namespace {

constexpr const char* kProgram = "serivane-run";

// Lines from several port threads, and the progress line that stands below them on a terminal.
class Console {
 public:
  Console(std::ostream& stream, bool terminal) : stream_(stream), terminal_(terminal) {}

  void Line(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (!progress_.empty()) stream_ << "\r\x1b[K";
    stream_ << text << '\n';
    if (!progress_.empty()) stream_ << progress_;
    stream_.flush();
  }

  // Replaces the progress line in place (terminal only).
  void Progress(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (!terminal_ || text == progress_) return;
    progress_ = text;
    stream_ << "\r\x1b[K" << progress_;
    stream_.flush();
  }

  void EndProgress() {
    std::lock_guard lock(mutex_);
    if (progress_.empty()) return;
    stream_ << '\n';
    progress_.clear();
    stream_.flush();
  }

 private:
  std::mutex mutex_;
  std::ostream& stream_;
  bool terminal_;
  std::string progress_;
};

std::string Describe(const PortOutcome& o) {
  return o.port == o.device || o.device.empty() ? o.port : o.port + " (" + o.device + ")";
}

// How messages and the summary name a port: with several ports, by the name that starts its
// lines and its result file, then what it was given as.
std::string Head(const PortOutcome& o, bool several) {
  if (!several || o.name == o.port) return Describe(o);
  return o.name + " (" + Describe(o) + ")";
}

std::string SummaryLine(const PortOutcome& o, bool several) {
  const std::string head = Head(o, several);
  const std::string passes = DecimalText(o.passes) + (o.passes == 1 ? " pass" : " passes");
  std::string text;
  if (!o.error.empty()) {
    text = head + ": " + o.error + ", " + passes;
  } else if (o.interrupted && o.tests.empty()) {
    text = head + ": stopped before any test finished";
  } else {
    std::string failed;
    for (const TestRecord& t : o.tests) {
      if (t.failures == 0) continue;
      failed += (failed.empty() ? "" : ", ") + engine::TestName(t.number, o.settings.SingleBytes);
    }
    text = head + ": ";
    text += !failed.empty()    ? "FAILED (" + failed + ")"
            : o.pass_cut_short ? "not every selected test ran"
                               : "all tests passed";
    text += ", " + passes;
    if (o.interrupted) text += ", stopped";
  }
  // With several ports each file's name was made here: the summary says where it went.
  if (several && !o.result_file.empty()) text += ", results in " + o.result_file;
  return text;
}

std::string ProgressText(const std::vector<std::unique_ptr<PortRun>>& runs,
                         const std::vector<std::string>& names) {
  if (runs.size() == 1) {
    return "pass " + DecimalText(runs[0]->PassesDone() + (runs[0]->Finished() ? 0 : 1)) +
           ", failures " + DecimalText(runs[0]->FailuresSoFar());
  }
  std::int32_t low = INT32_MAX, high = 0, failures = 0;
  std::string failing;
  int failing_ports = 0;
  // A port that has finished (a failure ends its run) does not hold the range back.
  const bool all_finished =
      std::all_of(runs.begin(), runs.end(), [](const auto& r) { return r->Finished(); });
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const std::int32_t pass = runs[i]->PassesDone() + (runs[i]->Finished() ? 0 : 1);
    if (all_finished || !runs[i]->Finished()) {
      low = std::min(low, pass);
      high = std::max(high, pass);
    }
    const std::int32_t f = runs[i]->FailuresSoFar();
    failures += f;
    if (f > 0 && ++failing_ports <= 4) failing += " " + names[i];
  }
  if (failing_ports > 4) failing += " ...";
  std::string text = DecimalText(static_cast<std::int64_t>(runs.size())) + " ports: pass " +
                     DecimalText(low) + (high != low ? " to " + DecimalText(high) : "") +
                     ", failures " + DecimalText(failures);
  if (!failing.empty()) text += " (" + failing.substr(1) + ")";
  return text;
}

void WriteIdentity(JsonWriter& j, const Identity& id) {
  j.BeginObject();
  const std::pair<const char*, const std::string*> fields[] = {{"by_id", &id.by_id},
                                                               {"driver", &id.driver},
                                                               {"usb_vendor_id", &id.vendor_id},
                                                               {"usb_product_id", &id.product_id},
                                                               {"serial_number", &id.serial},
                                                               {"manufacturer", &id.manufacturer},
                                                               {"product", &id.product}};
  for (const auto& [key, value] : fields)
    if (!value->empty()) j.Key(key).String(*value);
  if (id.latency_timer_ms) j.Key("latency_timer_ms").Number(*id.latency_timer_ms);
  j.EndObject();
}

// Whether the result file at the stored path `stored` may be written: "" or the reason.
std::string CheckResultFile(const std::string& stored) {
  const std::optional<std::string> path = ResolveDrivePath(stored, HomeFolder());
  if (!path) return "no such drive";
  FileTarget target;
  const std::string reason = CheckReplaceable(*path, engine::kResultFileStart, target);
  if (reason == "it is not a file this program wrote, so it is left as it is") {
    return "it is not a result file of this program (its first line does not begin \"" +
           std::string(engine::kResultFileStart) + "\"), so it is left as it is";
  }
  return reason;
}

// A pseudo-terminal's far side (Unix 98 numbering) has no modem lines at all.
bool IsPseudoTerminal(const std::string& device) {
  struct stat st {};
  if (::stat(device.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned m = major(st.st_rdev);
  return m >= 136 && m <= 143;
}

std::int64_t WallClockMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace

std::string PortName(const std::string& word) {
  std::string name;
  if (serial::IsLoopbackTarget(word)) {
    name = "loopback";
  } else if (const auto n = ComNumber(word)) {
    name = serial::ComName(*n);
  } else {
    const std::size_t slash = word.rfind('/');
    name = slash == std::string::npos ? word : word.substr(slash + 1);
    // A bare number ("/dev/pts/3") says little: its folder goes in front ("pts3").
    if (slash != std::string::npos && !name.empty() &&
        name.find_first_not_of("0123456789") == std::string::npos && slash > 0) {
      const std::size_t before = word.rfind('/', slash - 1);
      name = word.substr(before + 1, slash - before - 1) + name;
    }
  }
  // The name becomes part of a file name: nothing in it may reach another folder.
  for (char& c : name) {
    const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '_' || c == '+' || c == '-';
    if (!safe) c = '_';
  }
  return name.empty() ? "port" : name;
}

std::string ResultFileFor(const std::string& path, const std::string& port_name) {
  const std::size_t folder_end = path.find_last_of("/\\");
  const std::size_t name_start = folder_end == std::string::npos ? 0 : folder_end + 1;
  std::size_t dot = path.rfind('.');
  // A dot that starts the name (".result") is no extension.
  if (dot == std::string::npos || dot <= name_start) dot = path.size();
  return path.substr(0, dot) + "-" + port_name + path.substr(dot);
}

std::string IsoTime(std::int64_t when_us) {
  const std::time_t seconds = static_cast<std::time_t>(when_us / 1'000'000);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  char zone[8];
  std::strftime(zone, sizeof zone, "%z", &local);  // "+0100"
  char millis[8];
  std::snprintf(millis, sizeof millis, ".%03d", static_cast<int>(when_us / 1000 % 1000));
  std::string result = std::string(text) + millis;
  const std::string z(zone);
  result += z.size() == 5 ? z.substr(0, 3) + ":" + z.substr(3) : z;
  return result;
}

std::string EventName(std::int16_t code) {
  switch (code) {
    case serial::kEvReceive:
      return "data received";
    case serial::kEvCts:
      return "CTS changed";
    case serial::kEvDsr:
      return "DSR changed";
    case serial::kEvCd:
      return "DCD changed";
    case serial::kEvRing:
      return "ring";
    case serial::kErBreak:
      return "break";
    case serial::kErFrame:
      return "framing error";
    case serial::kErOverrun:
      return "overrun";
    case serial::kErRxOver:
      return "receive buffer overflow";
    case serial::kErRxParity:
      return "parity error";
    case serial::kErTxFull:
      return "transmit buffer full";
    case serial::kErDeviceGone:
      return "device gone";
    default:
      return "event " + DecimalText(code);
  }
}

std::string ReportJson(const std::vector<PortOutcome>& ports, const RunFacts& facts) {
  JsonWriter j;
  j.BeginObject();
  j.Key("program").String(kProgram);
  j.Key("version").String(SERIVANE_VERSION);
  j.Key("host").String(facts.host);
  j.Key("started").String(facts.started);
  j.Key("ended").String(facts.ended);
  j.Key("interrupted").Bool(facts.interrupted);
  j.Key("ports").BeginArray();
  for (const PortOutcome& o : ports) {
    j.BeginObject();
    j.Key("port").String(o.port);
    j.Key("name").String(o.name);
    j.Key("device").String(o.device);
    j.Key("identity");
    WriteIdentity(j, o.identity);
    j.Key("settings")
        .String(DecimalText(o.settings.BaudRate) + "," +
                (o.settings.Parity == 2   ? "O"
                 : o.settings.Parity == 3 ? "E"
                                          : "N") +
                "," + DecimalText(o.settings.DataBits) + "," + DecimalText(o.settings.StopBits));
    j.Key("opened").Bool(o.opened);
    if (!o.error.empty()) j.Key("error").String(o.error);
    j.Key("result_file");
    if (o.result_file.empty()) {
      j.Null();
    } else {
      j.String(o.result_file);
    }
    if (!o.result_file_error.empty()) j.Key("result_file_error").String(o.result_file_error);
    j.Key("passes").Number(o.passes);
    j.Key("passed").Bool(o.Passed());
    j.Key("interrupted").Bool(o.interrupted);
    j.Key("tests").BeginArray();
    for (const TestRecord& t : o.tests) {
      j.BeginObject();
      j.Key("number").Number(t.number);
      j.Key("name").String(engine::TestName(t.number, o.settings.SingleBytes));
      j.Key("passed").Bool(t.failures == 0);
      j.Key("runs").Number(t.runs);
      j.Key("failures").Number(t.failures);
      j.Key("duration_ms").Number(t.kept.duration_ms);
      j.Key("lines").BeginArray();
      for (const std::string& line : t.kept.lines) j.String(line);
      j.EndArray();
      j.Key("events").BeginArray();
      for (const std::int16_t code : t.events) {
        j.BeginObject();
        j.Key("code").Number(code);
        j.Key("name").String(EventName(code));
        j.EndObject();
      }
      j.EndArray();
      j.EndObject();
    }
    j.EndArray();
    j.Key("diagnosis").BeginArray();
    for (const std::string& sentence : Diagnose(o)) j.String(sentence);
    j.EndArray();
    if (o.lower_rate_passed) {
      j.Key("lower_rate_check").BeginObject();
      j.Key("baud").Number(o.lower_rate);
      j.Key("passed").Bool(*o.lower_rate_passed);
      j.EndObject();
    }
    if (o.counters) {
      const serial::LineCounters& c = *o.counters;
      j.Key("counters").BeginObject();
      j.Key("rx").Number(c.rx).Key("tx").Number(c.tx).Key("frame").Number(c.frame);
      j.Key("parity").Number(c.parity).Key("overrun").Number(c.overrun);
      j.Key("buf_overrun").Number(c.buf_overrun).Key("brk").Number(c.brk);
      j.EndObject();
    }
    j.EndObject();
  }
  j.EndArray();
  j.EndObject();
  return j.Text();
}

namespace {

// The ports' short names, for line prefixes and result files; a name that two ports share gets
// the port's place in the list.
std::vector<std::string> UniqueNames(const std::vector<std::string>& words) {
  std::vector<std::string> bases, names;
  for (const std::string& w : words) bases.push_back(PortName(w));
  for (std::size_t i = 0; i < bases.size(); ++i) {
    const bool shared = std::count(bases.begin(), bases.end(), bases[i]) > 1;
    names.push_back(shared ? bases[i] + "-" + DecimalText(static_cast<std::int64_t>(i + 1))
                           : bases[i]);
  }
  return names;
}

// What every port's run shares: the options, the stored settings with the options applied, and
// where its lines go.
struct RunPlan {
  const Options& options;
  const settings::Settings& stored;
  std::string result_path;
  bool several = false;
  bool progress = false;  // a progress line stands below the lines
  Console& console;
};

// The stored name of the result file of the port called `name`.
std::string StoredResultName(const RunPlan& plan, const std::string& name) {
  return plan.several ? ResultFileFor(plan.result_path, name) : plan.result_path;
}

// The run of the port `word`, not started yet.
std::unique_ptr<PortRun> MakeRun(const RunPlan& plan, const std::string& word,
                                 const std::string& name, const RunEnvironment& env) {
  PortOutcome o;
  o.port = word;
  o.name = name;
  o.settings = plan.stored;
  o.device = word;
  if (const auto n = ComNumber(word)) {
    o.settings.ComPort = *n;
    try {
      o.device = portmap::ResolvePort(*n);
    } catch (const serial::CommError& e) {
      o.device.clear();
      o.error = e.description();
    }
  }
  if (!o.device.empty() && !serial::IsLoopbackTarget(o.device)) {
    o.identity = ReadIdentity(o.device, env.roots);
    o.no_modem_lines = IsPseudoTerminal(o.device);
  }
  if (!plan.options.no_result_file) {
    o.settings.ResultFileName = StoredResultName(plan, name);
    // The report names the file where it is, not in the drive-letter form of the settings.
    o.result_file = ResolveDrivePath(o.settings.ResultFileName, HomeFolder())
                        .value_or(o.settings.ResultFileName);
  }
  PortRun::LineSink sink;
  if (!plan.options.quiet) {
    const std::string prefix = plan.several ? name + ": " : "";
    sink = [&console = plan.console, prefix, progress = plan.progress](std::string_view line,
                                                                       LineKind kind) {
      // With a progress line, only what goes wrong is shown line by line.
      if (progress && kind != LineKind::kFailed && kind != LineKind::kMessage) return;
      // The empty line after each pass separates nothing once every line names its port.
      if (line.empty() && !prefix.empty()) return;
      console.Line(prefix + std::string(line));
    };
  }
  return std::make_unique<PortRun>(std::move(o), plan.options.repeat, SystemClock(), sink);
}

// How long a SIGTERM or SIGHUP lets the running tests go on before they are cut.
constexpr std::chrono::milliseconds kTermGrace{500};
// How often the progress line is brought up to date.
constexpr int kProgressMs = 100;

// The stop signals, taken through a descriptor from before the port threads start until the
// report is written: a signal that comes while the outputs are written still lets them finish.
class StopSignals {
 public:
  explicit StopSignals(bool take) {
    if (!take) return;
    sigemptyset(&set_);
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set_, s);
    // Blocked before the port threads start, so that they inherit the mask and the signals come
    // here. A background job of a script starts with SIGINT ignored, and an ignored signal is
    // never delivered: the default is put back once the signals are blocked, so that none can
    // end the program in between.
    pthread_sigmask(SIG_BLOCK, &set_, &old_mask_);
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
    fd_ = UniqueFd(::signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK));
    taken_ = true;
  }
  ~StopSignals() {
    if (taken_) pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  int Fd() const { return fd_.get(); }
  // The next signal that came, or 0.
  int Take() const {
    signalfd_siginfo info{};
    if (fd_.get() < 0 || ::read(fd_.get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info))
      return 0;
    return static_cast<int>(info.ssi_signo);
  }

 private:
  sigset_t set_{};
  sigset_t old_mask_{};
  UniqueFd fd_;
  bool taken_ = false;
};

// Runs every port on a thread of its own until all are done, showing progress, and answers the
// stop signal that came (0 when none did). The port threads wake this one as each finishes, so
// the run ends as soon as the last port's work does.
int RunAll(const std::vector<std::unique_ptr<PortRun>>& runs, const RunPlan& plan,
           const StopSignals& signals, std::ostream& err) {
  const UniqueFd finished(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  std::vector<std::thread> threads;
  for (auto& r : runs) {
    threads.emplace_back([run = r.get(), fd = finished.get()] {
      run->Execute();
      const std::uint64_t one = 1;
      (void)!::write(fd, &one, sizeof one);
    });
  }

  Console& console = plan.console;
  int stop_signal = 0;
  bool aborted = false;
  std::optional<std::chrono::steady_clock::time_point> abort_at;
  const auto abort_all = [&] {
    aborted = true;
    abort_at.reset();
    for (auto& r : runs) r->RequestAbort();
  };
  std::vector<std::string> run_names;
  for (const auto& r : runs) run_names.push_back(r->Outcome().name);
  for (;;) {
    const bool all_done =
        std::all_of(runs.begin(), runs.end(), [](const auto& r) { return r->Finished(); });
    if (all_done) break;
    if (plan.progress) console.Progress(ProgressText(runs, run_names));
    int timeout_ms = plan.progress ? kProgressMs : -1;
    if (abort_at) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          *abort_at - std::chrono::steady_clock::now());
      const int left_ms = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
      timeout_ms = timeout_ms < 0 ? left_ms : std::min(timeout_ms, left_ms);
    }
    pollfd fds[2] = {{finished.get(), POLLIN, 0}, {signals.Fd(), POLLIN, 0}};
    (void)::poll(fds, signals.Fd() >= 0 ? 2 : 1, timeout_ms);
    if (fds[0].revents & POLLIN) {
      std::uint64_t count = 0;
      (void)!::read(finished.get(), &count, sizeof count);
    }
    if (abort_at && std::chrono::steady_clock::now() >= *abort_at) abort_all();
    if (!(fds[1].revents & POLLIN)) continue;
    const int got = signals.Take();
    if (got == 0) continue;
    if (stop_signal == 0) {
      stop_signal = got;
      for (auto& r : runs) r->RequestStop();
      if (got != SIGINT) abort_at = std::chrono::steady_clock::now() + kTermGrace;
      if (!plan.options.quiet) {
        console.Line(got == SIGINT
                         ? "Stopping after the current test (press Ctrl+C again to stop at once)"
                         : "Stopping after the current test");
      }
    } else if (!aborted) {
      abort_all();
      if (!plan.options.quiet) console.Line("Stopping at once");
    } else {
      // The ports did not end when told twice: something in the system holds them.
      console.EndProgress();
      err << kProgram << ": ended without closing the ports\n";
      std::_Exit(128 + got);
    }
  }
  for (std::thread& t : threads) t.join();
  if (plan.progress) console.Progress(ProgressText(runs, run_names));
  console.EndProgress();
  return stop_signal;
}

// Says on standard error which ports could not be opened and which result files could not be
// written and, unless quiet, each port's summary and diagnosis; answers the exit status
// (without the report's part in it).
int Conclude(const std::vector<PortOutcome>& outcomes, const RunPlan& plan, int stop_signal,
             std::ostream& err) {
  bool any_unopened = false;
  bool any_failed = false;
  bool output_failed = false;
  for (const PortOutcome& o : outcomes) {
    if (!o.opened && !o.interrupted) {
      any_unopened = true;
      err << kProgram << ": " << Head(o, plan.several) << ": " << o.error << "\n";
    } else if (!o.Passed()) {
      any_failed = true;
    }
    if (!o.result_file_error.empty()) {
      output_failed = true;
      err << kProgram << ": " << Head(o, plan.several) << ": " << o.result_file_error << "\n";
    }
  }
  if (!plan.options.quiet) {
    for (const PortOutcome& o : outcomes) {
      if (!o.opened && !o.interrupted) continue;  // said on standard error
      plan.console.Line(SummaryLine(o, plan.several));
      for (const std::string& sentence : Diagnose(o)) plan.console.Line("  " + sentence);
    }
  }
  if (stop_signal != 0) return 128 + stop_signal;
  if (any_unopened) return kExitPort;
  if (any_failed) return kExitFailed;
  return output_failed ? kExitPort : kExitPassed;
}

}  // namespace

int RunMain(const std::vector<std::string>& args, const RunEnvironment& env) {
  std::ostream& err = *env.err;
  Options options;
  try {
    options = ParseOptions(args);
  } catch (const UsageError& e) {
    err << kProgram << ": " << e.what() << "\nTry '" << kProgram << " --help' for more.\n";
    return kExitUsage;
  }
  if (options.help) {
    *env.out << HelpText();
    return kExitPassed;
  }
  if (options.version) {
    *env.out << kProgram << " " << SERIVANE_VERSION << "\n";
    return kExitPassed;
  }
  RunFacts facts;
  facts.started = IsoTime(WallClockMicros());
  facts.host = HostName();

  // With the report on standard output, the lines go to standard error.
  const bool json_to_out = options.json && *options.json == "-";
  const bool text_terminal = json_to_out ? env.err_is_terminal : env.out_is_terminal;
  Console console(json_to_out ? err : *env.out, text_terminal);

  if (options.json && !json_to_out) {
    // Judged before any port, so that a report that cannot be written is known at once. The
    // file itself is replaced only at the end, whole.
    FileTarget target;
    const std::string why = CheckReplaceable(*options.json, kReportStart, target);
    if (!why.empty()) {
      err << kProgram << ": --json: cannot write '" << *options.json << "': " << why << "\n";
      return kExitPort;
    }
  }

  settings::Settings stored;
  try {
    settings::CRegistry registry;
    settings::LoadSettings(registry, stored);
    // The window makes or extends the COM port map at its start; a station that has only ever
    // used this program gets the same map.
    portmap::EnsurePortMap(portmap::DiscoverPorts(env.roots));
  } catch (const settings::RegistryError& e) {
    err << kProgram << ": the stored settings cannot be read: " << e.description() << "\n";
    return kExitPort;
  }
  settings::ApplyWindowLimits(stored);
  ApplyOverrides(options.overrides, stored);

  std::vector<std::string> words = options.ports;
  if (words.empty()) words.push_back(serial::ComName(stored.ComPort));
  const RunPlan plan{options,
                     stored,
                     options.result.value_or(stored.ResultFileName),
                     words.size() > 1,
                     !options.quiet && options.repeat != 1 && text_terminal,
                     console};
  const std::vector<std::string> names = UniqueNames(words);
  if (!options.no_result_file) {
    for (const std::string& name : names) {
      const std::string file = StoredResultName(plan, name);
      if (const std::string why = CheckResultFile(file); !why.empty()) {
        err << kProgram << ": the result file " << file << " cannot be written: " << why << "\n";
        return kExitPort;
      }
    }
  }

  std::vector<std::unique_ptr<PortRun>> runs;
  for (std::size_t i = 0; i < words.size(); ++i)
    runs.push_back(MakeRun(plan, words[i], names[i], env));
  const StopSignals signals(env.handle_signals);
  int stop_signal = RunAll(runs, plan, signals, err);
  // A signal that came as the last port finished still counts.
  if (stop_signal == 0) stop_signal = signals.Take();

  std::vector<PortOutcome> outcomes;
  for (const auto& r : runs) outcomes.push_back(r->Outcome());
  int status = Conclude(outcomes, plan, stop_signal, err);
  if (!options.json) return status;

  facts.ended = IsoTime(WallClockMicros());
  facts.interrupted = stop_signal != 0;
  const std::string report = ReportJson(outcomes, facts);
  std::string failure;
  if (json_to_out) {
    *env.out << report;
    env.out->flush();
    if (!*env.out) failure = "cannot write the report to standard output";
  } else if (const std::string why = ReplaceFile(*options.json, kReportStart, report);
             !why.empty()) {
    failure = "cannot write '" + *options.json + "': " + why;
  }
  if (!failure.empty()) {
    err << kProgram << ": --json: " << failure << "\n";
    if (status == kExitPassed) status = kExitPort;
  }
  return status;
}

}  // namespace serivane::run
