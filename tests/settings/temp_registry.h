// A registry of its own for one test: XDG_CONFIG_HOME points at a fresh temporary folder while
// the object lives, and the folder is removed afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <string>

class TempRegistry {
 public:
  TempRegistry() {
    std::string pattern = (std::filesystem::temp_directory_path() / "serivane-reg-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    folder_ = pattern;
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) saved_ = old;
    setenv("XDG_CONFIG_HOME", folder_.c_str(), 1);
  }
  ~TempRegistry() {
    saved_ ? setenv("XDG_CONFIG_HOME", saved_->c_str(), 1) : unsetenv("XDG_CONFIG_HOME");
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  std::string File(const std::string& name) const { return (folder_ / name).string(); }
  std::filesystem::path Hive(const std::string& root = "HKEY_LOCAL_MACHINE") const {
    return folder_ / "serivane" / "registry" / (root + ".reg");
  }
  std::string HiveText(const std::string& root = "HKEY_LOCAL_MACHINE") const {
    std::ifstream in(Hive(root), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // The hive with every last-write time cut down to ";", so a test can compare the whole text.
  std::string HiveShape(const std::string& root = "HKEY_LOCAL_MACHINE") const {
    return std::regex_replace(HiveText(root), std::regex(";last-write=[^ \n]*"), ";");
  }
  void WriteHiveText(const std::string& text) const {
    std::filesystem::create_directories(Hive().parent_path());
    std::ofstream(Hive(), std::ios::binary) << text;
  }

 private:
  std::filesystem::path folder_;
  std::optional<std::string> saved_;
};
