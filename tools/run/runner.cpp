#include "tools/run/runner.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "common/clock.h"
#include "common/conv.h"
#include "common/paths.h"
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

std::string SummaryLine(const PortOutcome& o) {
  const std::string passes = DecimalText(o.passes) + (o.passes == 1 ? " pass" : " passes");
  if (!o.opened && !o.interrupted) return Describe(o) + ": not tested: " + o.error;
  if (!o.error.empty()) return Describe(o) + ": " + o.error + ", " + passes;
  if (o.interrupted && o.tests.empty()) return Describe(o) + ": stopped before any test ran";
  std::string failed;
  for (const TestRecord& t : o.tests) {
    if (t.failures == 0) continue;
    failed += (failed.empty() ? "" : ", ") + TestName(t.number, o.settings);
  }
  std::string text = Describe(o) + ": ";
  text += failed.empty() ? "all tests passed" : "FAILED (" + failed + ")";
  text += ", " + passes;
  if (o.interrupted) text += ", stopped";
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
  j.EndObject();
}

// Where the result files go: the given path, made absolute as the engine will take it.
bool CheckWritable(const std::string& stored, std::string& why) {
  const std::optional<std::string> path = ResolveDrivePath(stored, HomeFolder());
  if (!path) {
    why = "no such drive";
    return false;
  }
  if (::access(path->c_str(), F_OK) == 0) {
    if (::access(path->c_str(), W_OK) == 0) return true;
    why = "the file is not writable";
    return false;
  }
  const std::size_t slash = path->rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path->substr(0, slash);
  if (::access(folder.c_str(), W_OK) == 0) return true;
  why = "the folder " + folder + " is missing or not writable";
  return false;
}

}  // namespace

std::string PortName(const std::string& word) {
  if (serial::IsLoopbackTarget(word)) return "loopback";
  if (const auto n = ComNumber(word)) return serial::ComName(*n);
  const std::size_t slash = word.rfind('/');
  if (slash == std::string::npos) return word;
  std::string name = word.substr(slash + 1);
  // A bare number ("/dev/pts/3") says little: its folder goes in front ("pts3").
  if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos && slash > 0) {
    const std::size_t before = word.rfind('/', slash - 1);
    name = word.substr(before + 1, slash - before - 1) + name;
  }
  return name;
}

std::string ResultFileFor(const std::string& path, const std::string& port_name) {
  const std::size_t folder_end = path.find_last_of("/\\");
  const std::size_t name_start = folder_end == std::string::npos ? 0 : folder_end + 1;
  std::size_t dot = path.rfind('.');
  // A dot that starts the name (".result") is no extension.
  if (dot == std::string::npos || dot <= name_start) dot = path.size();
  return path.substr(0, dot) + "-" + port_name + path.substr(dot);
}

std::string ReportJson(const std::vector<PortOutcome>& ports, bool interrupted) {
  JsonWriter j;
  j.BeginObject();
  j.Key("program").String(kProgram);
  j.Key("version").String(SERIVANE_VERSION);
  j.Key("interrupted").Bool(interrupted);
  j.Key("ports").BeginArray();
  for (const PortOutcome& o : ports) {
    j.BeginObject();
    j.Key("port").String(o.port);
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
    j.Key("passes").Number(o.passes);
    j.Key("passed").Bool(o.Passed());
    j.Key("interrupted").Bool(o.interrupted);
    j.Key("tests").BeginArray();
    for (const TestRecord& t : o.tests) {
      j.BeginObject();
      j.Key("number").Number(t.number);
      j.Key("name").String(TestName(t.number, o.settings));
      j.Key("passed").Bool(t.failures == 0);
      j.Key("runs").Number(t.runs);
      j.Key("failures").Number(t.failures);
      j.Key("duration_ms").Number(t.duration_ms);
      j.Key("lines").BeginArray();
      for (const std::string& line : t.lines) j.String(line);
      j.EndArray();
      j.Key("events").BeginArray();
      for (const std::int16_t code : t.events) j.Number(code);
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

// Whether an option gives the value that the stored setting `name` would give.
bool GivenByOption(const std::string& name, const Options& o) {
  const Overrides& v = o.overrides;
  if (name.rfind("Test ", 0) == 0 && name != "Test Timeout") return v.tests.has_value();
  const std::pair<const char*, bool> given[] = {
      {"Baudrate", v.baud.has_value()},
      {"Bits", v.bits.has_value()},
      {"Parity", v.parity.has_value()},
      {"Stopbits", v.stop.has_value()},
      {"Single Bytes", v.single_bytes.has_value()},
      {"Test Timeout", v.timeout.has_value()},
      {"Max Duration", v.max_duration.has_value()},
      {"Handshake Delay", v.handshake_delay.has_value()},
      {"Comport", !o.ports.empty()},
      {"Result FileName", o.result.has_value() || o.no_result_file}};
  for (const auto& [stored_name, is_given] : given)
    if (name == stored_name) return is_given;
  return false;
}

// What every port's run shares: the options, the stored settings with the options applied, and
// where its lines go.
struct RunPlan {
  const Options& options;
  const settings::Settings& stored;
  const portmap::PortMap& map;
  std::string result_path;
  bool several = false;
  bool progress = false;  // a progress line stands below the lines
  Console& console;
};

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
      o.device = plan.map.Resolve(*n);
    } catch (const serial::CommError& e) {
      o.device.clear();
      o.error = e.description();
    }
  }
  if (!o.device.empty() && !serial::IsLoopbackTarget(o.device))
    o.identity = ReadIdentity(o.device, env.roots);
  if (!plan.options.no_result_file) {
    o.settings.ResultFileName =
        plan.several ? ResultFileFor(plan.result_path, name) : plan.result_path;
    // The report names the file where it is, not in the drive-letter form of the settings.
    o.result_file = ResolveDrivePath(o.settings.ResultFileName, HomeFolder())
                        .value_or(o.settings.ResultFileName);
  } else {
    // The engine writes every run's file; here it goes nowhere.
    o.settings.ResultFileName = "/dev/null";
  }
  if (!o.error.empty()) o.result_file.clear();
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

// Runs every port on a thread of its own until all are done, showing progress, and answers the
// stop signal that came (0 when none did). A second signal ends the program at once.
int RunAll(const std::vector<std::unique_ptr<PortRun>>& runs, const RunPlan& plan,
           const RunEnvironment& env) {
  sigset_t stop_signals, old_mask;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  if (env.handle_signals) {
    // A background job of a script starts with SIGINT ignored, and an ignored signal is never
    // delivered, not even to sigtimedwait: the default is put back once the signals are blocked,
    // so that none can end the program in between.
    pthread_sigmask(SIG_BLOCK, &stop_signals, &old_mask);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
  }

  std::vector<std::thread> threads;
  for (auto& r : runs) threads.emplace_back([run = r.get()] { run->Execute(); });

  Console& console = plan.console;
  int stop_signal = 0;
  std::vector<std::string> run_names;
  for (const auto& r : runs) run_names.push_back(r->Outcome().name);
  for (;;) {
    const bool all_done =
        std::all_of(runs.begin(), runs.end(), [](const auto& r) { return r->Finished(); });
    if (all_done) break;
    if (plan.progress) console.Progress(ProgressText(runs, run_names));
    int got = 0;
    if (env.handle_signals) {
      const timespec wait{0, 100'000'000};
      got = sigtimedwait(&stop_signals, nullptr, &wait);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (got == SIGINT || got == SIGTERM) {
      if (stop_signal != 0) {
        console.EndProgress();
        *env.err << kProgram << ": stopped at once\n";
        std::_Exit(128 + got);
      }
      stop_signal = got;
      for (auto& r : runs) r->RequestStop();
      if (!plan.options.quiet) {
        console.Line("Stopping after the current test (press Ctrl+C again to end at once)");
      }
    }
  }
  for (std::thread& t : threads) t.join();
  if (env.handle_signals) pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  if (plan.progress) console.Progress(ProgressText(runs, run_names));
  console.EndProgress();
  return stop_signal;
}

// Says on standard error which ports could not be opened and, unless quiet, each port's summary
// and diagnosis; answers the exit status.
int Conclude(const std::vector<PortOutcome>& outcomes, const RunPlan& plan, int stop_signal,
             std::ostream& err) {
  bool any_unopened = false;
  bool any_failed = false;
  for (const PortOutcome& o : outcomes) {
    if (!o.opened && !o.interrupted) {
      any_unopened = true;
      err << kProgram << ": " << Describe(o) << ": " << o.error << "\n";
    } else if (!o.Passed()) {
      any_failed = true;
    }
  }
  if (!plan.options.quiet) {
    for (const PortOutcome& o : outcomes) {
      if (!o.opened && !o.interrupted) continue;  // said on standard error
      plan.console.Line(SummaryLine(o));
      for (const std::string& sentence : Diagnose(o)) plan.console.Line("  " + sentence);
    }
  }
  if (stop_signal != 0) return 128 + stop_signal;
  if (any_unopened) return kExitPort;
  return any_failed ? kExitFailed : kExitPassed;
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

  // With the report on standard output, the lines go to standard error.
  const bool json_to_out = options.json && *options.json == "-";
  const bool text_terminal = json_to_out ? env.err_is_terminal : env.out_is_terminal;
  Console console(json_to_out ? err : *env.out, text_terminal);

  // The settings and the COM port map come from one read of the registry, so that a run never
  // mixes two sets of them that someone stored in turn.
  settings::Settings stored;
  portmap::PortMap map;
  try {
    // The window makes or extends the COM port map at its start; a station that has only ever
    // used this program gets the same map.
    settings::RegistrySnapshot registry_now;
    portmap::EnsurePortMap(portmap::DiscoverPorts(env.roots), &registry_now);
    settings::CRegistry registry;
    settings::LoadSettings(registry, registry_now, stored);
    map = portmap::PortMap(registry_now);
  } catch (const settings::RegistryError& e) {
    err << kProgram << ": the stored settings cannot be read: " << e.description() << "\n";
    return kExitPort;
  }
  // A stored value an option replaces is not used either way.
  std::erase_if(stored.UnreadValues, [&](const auto& v) { return GivenByOption(v.name, options); });
  std::erase_if(stored.RefusedValues,
                [&](const auto& v) { return GivenByOption(v.name, options); });
  for (const std::string& notice : settings::LoadNotices(stored))
    err << kProgram << ": " << notice << "\n";
  ApplyOverrides(options.overrides, stored);

  std::unique_ptr<std::ofstream> json_file;
  if (options.json && !json_to_out) {
    // Opened before any port, so that a report that cannot be written is known at once.
    json_file = std::make_unique<std::ofstream>(*options.json, std::ios::binary | std::ios::trunc);
    if (!*json_file) {
      err << kProgram << ": --json: cannot write '" << *options.json << "'\n";
      return kExitUsage;
    }
  }

  std::vector<std::string> words = options.ports;
  if (words.empty()) words.push_back(serial::ComName(stored.ComPort));
  const RunPlan plan{options,
                     stored,
                     map,
                     options.result.value_or(stored.ResultFileName),
                     words.size() > 1,
                     !options.quiet && options.repeat != 1 && text_terminal,
                     console};
  if (!options.no_result_file) {
    std::string why;
    if (!CheckWritable(plan.result_path, why)) {
      err << kProgram << ": the result file " << plan.result_path << " cannot be written: " << why
          << "\n";
      return kExitPort;
    }
  }

  const std::vector<std::string> names = UniqueNames(words);
  std::vector<std::unique_ptr<PortRun>> runs;
  for (std::size_t i = 0; i < words.size(); ++i)
    runs.push_back(MakeRun(plan, words[i], names[i], env));
  const int stop_signal = RunAll(runs, plan, env);

  std::vector<PortOutcome> outcomes;
  for (const auto& r : runs) outcomes.push_back(r->Outcome());
  const int status = Conclude(outcomes, plan, stop_signal, err);

  const std::string report = options.json ? ReportJson(outcomes, stop_signal != 0) : "";
  if (json_to_out) {
    *env.out << report;
    env.out->flush();
  } else if (json_file) {
    *json_file << report;
    json_file->close();
    if (!*json_file) err << kProgram << ": --json: cannot write '" << *options.json << "'\n";
  }
  return status;
}

}  // namespace serivane::run
