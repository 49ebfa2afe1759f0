#include "common/errno_text.h"

#include <string.h>

namespace serivane {

namespace {

// strerror_r comes in two forms, chosen by the feature macros of the C library: the GNU one
// returns the text (which may or may not be in `buffer`), the POSIX one fills `buffer` and
// returns 0. Overloads take whichever this build has.
[[maybe_unused]] std::string Pick(const char* text, const char* /*buffer*/) {
  return text;
}
[[maybe_unused]] std::string Pick(int result, const char* buffer) {
  return result == 0 ? std::string(buffer) : std::string();
}

}  // namespace

std::string ErrnoText(int error) {
  char buffer[256] = {};
  std::string text = Pick(::strerror_r(error, buffer, sizeof buffer), buffer);
  if (text.empty()) text = "Unknown error " + std::to_string(error);
  return text;
}

}  // namespace serivane
