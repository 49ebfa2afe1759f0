#include "common/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <vector>

#include "common/text.h"

namespace serivane {

std::optional<std::string> ResolveDrivePath(std::string_view path, std::string_view home) {
  std::string rest;
  std::string base;
  if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]))) {
    const char drive = FoldUpper(path[0]);
    if (drive == 'C') {
      base = std::string(home);
    } else if (drive == 'Z') {
      base = "";
    } else {
      return std::nullopt;
    }
    rest = std::string(path.substr(2));
    for (char& c : rest)
      if (c == '\\') c = '/';
    // "C:name" and "C:\name" both mean the name in the drive's root.
    if (rest.empty() || rest.front() != '/') rest.insert(rest.begin(), '/');
    if (base.empty() && rest == "/") return std::string("/");
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + rest;
  }
  std::string plain(path);
  for (char& c : plain)
    if (c == '\\') c = '/';
  return plain;
}

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  // getpwuid_r, not getpwuid: runs on several ports may look for the home folder at once.
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr)
    return found->pw_dir;
  return "/";
}

}  // namespace serivane
