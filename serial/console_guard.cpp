#include "serial/console_guard.h"

#include <sys/sysmacros.h>

#include <fstream>
#include <string_view>

namespace serivane::serial {

std::vector<std::string> ActiveConsoleNames(const std::string& sysfs_root) {
  std::vector<std::string> names;
  std::ifstream active(sysfs_root + "/class/tty/console/active");
  for (std::string name; active >> name;) names.push_back(name);
  return names;
}

std::vector<ConsoleTty> ConsoleTtys(const std::string& sysfs_root) {
  std::vector<ConsoleTty> consoles{{"console", makedev(5, 1), true}};
  for (const std::string& name : ActiveConsoleNames(sysfs_root)) {
    ConsoleTty tty{name};
    std::ifstream dev(sysfs_root + "/class/tty/" + name + "/dev");
    unsigned int dev_major = 0, dev_minor = 0;
    char colon = 0;
    if (dev >> dev_major >> colon >> dev_minor && colon == ':') {
      tty.number = makedev(dev_major, dev_minor);
      tty.number_known = true;
    }
    consoles.push_back(tty);
  }
  return consoles;
}

const ConsoleTty* FindConsole(const std::vector<ConsoleTty>& consoles, dev_t number,
                              const std::string& kernel_name) {
  for (const ConsoleTty& tty : consoles) {
    if (tty.number_known ? tty.number == number : tty.name == kernel_name) return &tty;
    // tty0 is whichever virtual terminal is in front, so every one of them may be the console.
    if (tty.name == "tty0" && major(number) == 4 && minor(number) < 64) return &tty;
  }
  return nullptr;
}

std::string KernelName(const std::string& real_path) {
  constexpr std::string_view kDev = "/dev/";
  if (real_path.starts_with(kDev)) return real_path.substr(kDev.size());
  const auto slash = real_path.rfind('/');
  return slash == std::string::npos ? real_path : real_path.substr(slash + 1);
}

}  // namespace serivane::serial
