// A registry of its own for one test: XDG_CONFIG_HOME points at a fresh temporary folder while
// the object lives, and the folder is removed afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
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
    if (saved_)
      setenv("XDG_CONFIG_HOME", saved_->c_str(), 1);
    else
      unsetenv("XDG_CONFIG_HOME");
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  TempRegistry(const TempRegistry&) = delete;
  TempRegistry& operator=(const TempRegistry&) = delete;

  const std::filesystem::path& folder() const { return folder_; }
  std::filesystem::path Hive(const std::string& root = "HKEY_LOCAL_MACHINE") const {
    return folder_ / "serivane" / "registry" / (root + ".reg");
  }
  std::string HiveText(const std::string& root = "HKEY_LOCAL_MACHINE") const {
    return ReadFile(Hive(root));
  }
  void WriteHiveText(const std::string& text,
                     const std::string& root = "HKEY_LOCAL_MACHINE") const {
    std::filesystem::create_directories(Hive(root).parent_path());
    std::ofstream(Hive(root), std::ios::binary) << text;
  }
  static std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::filesystem::path folder_;
  std::optional<std::string> saved_;
};
