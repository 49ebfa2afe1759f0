#include "common/datetime.h"

namespace serivane {

std::string DateTimeText(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char buffer[128];
  const std::size_t n = std::strftime(buffer, sizeof buffer, "%x %X", &local);
  return std::string(buffer, n);
}

std::string NowDateTimeText() {
  return DateTimeText(std::time(nullptr));
}

}  // namespace serivane
