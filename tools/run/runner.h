// serivane-run as a whole: the command line, the stored settings, the ports, and the outputs
// (the terminal in console.h, the report in report.h, the threads, signals and exit status in
// run_control.h). main.cpp only passes the arguments and the standard streams, so that tests
// run it in-process.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "portmap/portmap.h"
#include "tools/run/port_run.h"
#include "tools/run/report.h"
#include "tools/run/run_control.h"

namespace serivane::run {

struct RunEnvironment {
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
  bool out_is_terminal = false;  // standard output is a terminal: progress in place
  bool err_is_terminal = false;
  portmap::SystemRoots roots;  // where identity and discovery look
  // Blocks SIGINT, SIGTERM and SIGHUP on the calling thread (and so on the port threads) and
  // takes them while the ports run. A first Ctrl+C ends every run after its current test; a
  // SIGTERM or SIGHUP does the same but cuts a test still running half a second later; a second
  // signal cuts the running tests at once. Each way the ports are closed, their locks released
  // and the report written, marked interrupted.
  bool handle_signals = false;
};

// Runs the command line `args` (without the program name) and answers the exit status.
int RunMain(const std::vector<std::string>& args, const RunEnvironment& env);

// The short name of a port word: "COM3", "ttyUSB0" (the last part of a path; "pts3" for
// "/dev/pts/3"), "loopback". Only letters, digits, '.', '_', '+' and '-' stay; anything else
// becomes '_', so that the name is safe in a file name: "p\..\x" gives "p_.._x".
std::string PortName(const std::string& word);

// The result file of one of several ports: the port name before the extension,
// "C:\RS-232_Result.Txt" + "COM3" -> "C:\RS-232_Result-COM3.Txt". Slashes and backslashes both
// end the folder part.
std::string ResultFileFor(const std::string& path, const std::string& port_name);

}  // namespace serivane::run
