#include "tools/run/runner.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "common/clock.h"
#include "common/conv.h"
#include "common/paths.h"
#include "common/safe_file.h"
#include "engine/result_file.h"
#include "serial/plug_faults.h"
#include "serial/port_names.h"
#include "settings/cregistry.h"
#include "settings/settings_store.h"
#include "tools/run/junit.h"
#include "tools/run/options.h"

#ifndef SERIVANE_VERSION
#define SERIVANE_VERSION "unknown"
#endif

namespace serivane::run {

namespace {

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
  const portmap::PortMap& map;
  std::string result_path;
  Display display;
};

// The stored name of the result file of the port called `name`.
std::string StoredResultName(const RunPlan& plan, const std::string& name) {
  return plan.display.several ? ResultFileFor(plan.result_path, name) : plan.result_path;
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
      o.device = plan.map.Resolve(*n);
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
    const std::string prefix = plan.display.several ? name + ": " : "";
    sink = [&console = plan.display.console, prefix, progress = plan.display.progress](
               std::string_view line, LineKind kind) {
      // With a progress line, only what goes wrong is shown line by line.
      if (progress && kind != LineKind::kFailed && kind != LineKind::kMessage) return;
      // The empty line after each pass separates nothing once every line names its port.
      if (line.empty() && !prefix.empty()) return;
      console.Line(prefix + std::string(line));
    };
  }
  PortRun::ProgressSink progress;
  if (!plan.options.quiet && plan.display.console.IsTerminal()) {
    const std::string prefix = plan.display.several ? name + ": " : "";
    progress = [&console = plan.display.console, prefix](std::string_view line) {
      // An empty line takes the progress line away, whichever port it names.
      console.Progress(line.empty() ? std::string() : prefix + std::string(line));
    };
  }
  return std::make_unique<PortRun>(std::move(o), plan.options.repeat, SystemClock(), sink,
                                   plan.options.checks, progress);
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

// The stored settings and the COM port map, from one read of the registry so that a run never
// mixes two sets of them that someone stored in turn; the map is made or extended first as the
// window does at its start (a station that has only ever used this program gets the same map).
// A stored value that cannot be used is said on standard error, unless an option replaces it.
// False when the registry cannot be read, having said so.
bool LoadStored(const RunEnvironment& env, const Options& options, settings::Settings& stored,
                portmap::PortMap& map) {
  try {
    settings::RegistrySnapshot registry_now;
    portmap::EnsurePortMap(portmap::DiscoverPorts(env.roots), &registry_now);
    settings::CRegistry registry;
    settings::LoadSettings(registry, registry_now, stored);
    map = portmap::PortMap(registry_now);
  } catch (const settings::RegistryError& e) {
    *env.err << kProgram << ": the stored settings cannot be read: " << e.description() << "\n";
    return false;
  }
  std::erase_if(stored.UnreadValues, [&](const auto& v) { return GivenByOption(v.name, options); });
  std::erase_if(stored.RefusedValues,
                [&](const auto& v) { return GivenByOption(v.name, options); });
  for (const std::string& notice : settings::LoadNotices(stored))
    *env.err << kProgram << ": " << notice << "\n";
  return true;
}

// Reads the command line into `options`; an exit status when that answered it already (a usage
// error, --help, --version).
std::optional<int> ReadCommandLine(const std::vector<std::string>& args, const RunEnvironment& env,
                                   Options& options) {
  try {
    options = ParseOptions(args);
  } catch (const UsageError& e) {
    *env.err << kProgram << ": " << e.what() << "\nTry '" << kProgram << " --help' for more.\n";
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
  return std::nullopt;
}

// The reports' files are judged before any port, so that one that cannot be written is known at
// once; each is replaced only at the end, whole. An exit status when one cannot be written.
std::optional<int> CheckReportFiles(const Options& options, std::ostream& err) {
  const struct {
    const char* option;
    const std::optional<std::string>& file;
    std::string_view own_start;
  } reports[] = {{"--json", options.json, kReportStart}, {"--junit", options.junit, kJunitStart}};
  std::vector<std::string> report_paths;
  for (const auto& [option, file, own_start] : reports) {
    if (!file || *file == "-") continue;
    FileTarget target;
    const std::string why = CheckReplaceable(*file, own_start, target);
    if (!why.empty()) {
      err << kProgram << ": " << option << ": cannot write '" << *file << "': " << why << "\n";
      return kExitPort;
    }
    report_paths.push_back(target.path);
  }
  if (report_paths.size() == 2 && report_paths[0] == report_paths[1]) {
    err << kProgram << ": --json and --junit name the same file\n";
    return kExitUsage;
  }
  return std::nullopt;
}

// Whether the result file of each port (`names`) may be written; says so on `err` when one may
// not.
bool CheckResultFiles(const RunPlan& plan, const std::vector<std::string>& names,
                      std::ostream& err) {
  for (const std::string& name : names) {
    const std::string file = StoredResultName(plan, name);
    if (const std::string why = CheckResultFile(file); !why.empty()) {
      err << kProgram << ": the result file " << file << " cannot be written: " << why << "\n";
      return false;
    }
  }
  return true;
}

// Writes the reports asked for; false when one could not be written, having said so.
bool WriteReports(const Options& options, const std::vector<PortOutcome>& outcomes,
                  const RunFacts& facts, const RunEnvironment& env) {
  std::ostream& err = *env.err;
  bool written = true;
  if (options.json) {
    if (const std::string why = WriteReport(ReportJson(outcomes, facts), *options.json, *env.out);
        !why.empty()) {
      err << kProgram << ": --json: " << why << "\n";
      written = false;
    }
  }
  if (options.junit) {
    if (const std::string why = WriteJunit(JunitXml(outcomes, facts), *options.junit, *env.out);
        !why.empty()) {
      err << kProgram << ": --junit: " << why << "\n";
      written = false;
    }
  }
  return written;
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

int RunMain(const std::vector<std::string>& args, const RunEnvironment& env) {
  std::ostream& err = *env.err;
  Options options;
  if (const std::optional<int> answered = ReadCommandLine(args, env, options)) return *answered;
  RunFacts facts;
  facts.started = IsoTime(WallClockMicros());
  facts.host = HostName();

  // With a report on standard output, the lines go to standard error.
  const bool report_to_out = options.json == "-" || options.junit == "-";
  const bool text_terminal = report_to_out ? env.err_is_terminal : env.out_is_terminal;
  Console console(report_to_out ? err : *env.out, text_terminal);
  if (const std::optional<int> refused = CheckReportFiles(options, err)) return *refused;

  settings::Settings stored;
  portmap::PortMap map;
  if (!LoadStored(env, options, stored, map)) return kExitPort;
  ApplyOverrides(options.overrides, stored);

  std::vector<std::string> words = options.ports;
  if (words.empty()) words.push_back(serial::ComName(stored.ComPort));
  const RunPlan plan{options,
                     stored,
                     map,
                     options.result.value_or(stored.ResultFileName),
                     {console, options.quiet,
                      !options.quiet && options.repeat != 1 && text_terminal, words.size() > 1}};
  const std::vector<std::string> names = UniqueNames(words);
  if (!options.no_result_file && !CheckResultFiles(plan, names, err)) return kExitPort;

  std::vector<std::unique_ptr<PortRun>> runs;
  for (std::size_t i = 0; i < words.size(); ++i)
    runs.push_back(MakeRun(plan, words[i], names[i], env));
  // Signals are taken until the reports are written.
  const StopSignals signals(env.handle_signals);
  int stop_signal = RunAll(runs, plan.display, signals, err);
  // A signal that came as the last port finished still counts.
  if (stop_signal == 0) stop_signal = signals.Take();

  std::vector<PortOutcome> outcomes;
  for (const auto& r : runs) outcomes.push_back(r->Outcome());
  int status = Conclude(outcomes, plan.display, stop_signal, err);

  facts.ended = IsoTime(WallClockMicros());
  facts.interrupted = stop_signal != 0;
  if (!WriteReports(options, outcomes, facts, env) && status == kExitPassed) status = kExitPort;
  return status;
}

}  // namespace serivane::run
