// The system's text for an errno value, safe to call from several threads at once (strerror may
// hand back a buffer that another thread's call overwrites).
#pragma once

#include <string>

namespace serivane {

// "No such file or directory" for ENOENT; "Unknown error N" for a number the system does not
// know.
std::string ErrnoText(int error);

}  // namespace serivane
