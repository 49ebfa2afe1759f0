// serivane-ports: lists the COM port map and the serial devices found, and maps or unmaps a
// port number. The command itself, so that tests run it in-process; main.cpp only passes the
// arguments and the standard streams.
//
// Every command first fills or extends the map exactly as the program does at start
// (EnsurePortMap), so that the tool and the program always agree on what each number names.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "portmap/portmap.h"

namespace serivane::portmap {

// Runs the command line `args` (without the program name). Results go to `out`, reasons for a
// failure and warnings to `err`. Answers the exit status: 0 done, 1 refused or failed.
int RunPortsCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                    const SystemRoots& roots = {});

}  // namespace serivane::portmap
