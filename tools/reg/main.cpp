#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "tools/reg/reg_command.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  serivane::tools::RegConsole console{std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) == 1,
                                      ::isatty(STDOUT_FILENO) == 1};
  return serivane::tools::RunRegCommand(args, console);
}
