#include <signal.h>
#include <unistd.h>

#include <clocale>
#include <iostream>
#include <string>
#include <vector>

#include "tools/run/runner.h"

int main(int argc, char** argv) {
  // The date-time text of the result lines is the user's locale's, as in the window.
  std::setlocale(LC_ALL, "");
  // A reader of the output that goes away must not end the run before its files are complete.
  signal(SIGPIPE, SIG_IGN);
  serivane::run::RunEnvironment env;
  env.out = &std::cout;
  env.err = &std::cerr;
  env.out_is_terminal = ::isatty(STDOUT_FILENO) == 1;
  env.err_is_terminal = ::isatty(STDERR_FILENO) == 1;
  env.handle_signals = true;
  return serivane::run::RunMain(std::vector<std::string>(argv + 1, argv + argc), env);
}
