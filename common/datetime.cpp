#include "common/datetime.h"

namespace serivane {

std::string DateTimeText(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char buffer[128];
  // The locale's own date form is wanted here, two-digit year or not.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-y2k"
  const std::size_t n = std::strftime(buffer, sizeof buffer, "%x %X", &local);
#pragma GCC diagnostic pop
  return std::string(buffer, n);
}

std::string NowDateTimeText() {
  return DateTimeText(std::time(nullptr));
}

}  // namespace serivane
