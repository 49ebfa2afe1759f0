#include <iostream>
#include <string>
#include <vector>

#include "tools/ports/ports_command.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return serivane::portmap::RunPortsCommand(args, std::cout, std::cerr);
}
