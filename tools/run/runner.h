// serivane-run as a whole: the command line, the stored settings, the ports on threads of their
// own, the output, the report and the exit status. main.cpp only passes the arguments and the
// standard streams, so that tests run it in-process.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "serial/portmap/portmap.h"
#include "tools/run/port_run.h"

namespace serivane::run {

inline constexpr int kExitPassed = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitPort = 3;
inline constexpr int kExitInterrupted = 130;

struct RunEnvironment {
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
  bool out_is_terminal = false;  // standard output is a terminal: progress in place
  bool err_is_terminal = false;
  portmap::SystemRoots roots;  // where identity and discovery look
  // Blocks SIGINT and SIGTERM on the calling thread (and so on the port threads) and waits for
  // them: the first ends every run after its current test, the second ends the program at once.
  bool handle_signals = false;
};

// Runs the command line `args` (without the program name) and answers the exit status.
int RunMain(const std::vector<std::string>& args, const RunEnvironment& env);

// The short name of a port word: "COM3", "ttyUSB0" (the last part of a path; "pts3" for
// "/dev/pts/3"), "loopback".
std::string PortName(const std::string& word);

// The result file of one of several ports: the port name before the extension,
// "C:\RS-232_Result.Txt" + "COM3" -> "C:\RS-232_Result-COM3.Txt". Slashes and backslashes both
// end the folder part.
std::string ResultFileFor(const std::string& path, const std::string& port_name);

// The report: {"program", "version", "interrupted", "ports": [...]}.
std::string ReportJson(const std::vector<PortOutcome>& ports, bool interrupted);

}  // namespace serivane::run
