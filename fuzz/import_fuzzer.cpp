// `serivane-reg import` of any file. Each input starts from the same registry: a good
// HKEY_LOCAL_MACHINE, a good HKEY_CURRENT_USER and an HKEY_USERS hive that does not parse. An
// import that fails must leave every hive byte for byte as it was (all or nothing); one that
// succeeds must leave hives that parse. The registry lives in /dev/shm, where syncing is free.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "settings/cregistry.h"
#include "settings/registry_store.h"
#include "tools/reg/reg_command.h"

namespace reg = serivane::settings;
namespace fs = std::filesystem;

namespace {

const char* const kHives[][2] = {
    {"HKEY_LOCAL_MACHINE.reg",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Balvoric\\RS-232 Serivane]\n"
     "\"Baudrate\"=\"38400\"\n\"Result FileName\"=\"C:\\\\RS-232_Result.Txt\"\n"},
    {"HKEY_CURRENT_USER.reg", "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Other]\n@=\"x\"\n"},
    {"HKEY_USERS.reg", "REGEDIT4\n\n[HKEY_USERS\\Broken]\n\"unterminated=\"\n"},
};

fs::path Folder() {
  static const fs::path folder = [] {
    const fs::path base = fs::exists("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
    fs::path path = base / ("serivane-import-fuzz-" + std::to_string(::getpid()));
    fs::create_directories(path / "serivane" / "registry");
    setenv("XDG_CONFIG_HOME", path.c_str(), 1);
    return path;
  }();
  return folder;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path registry = Folder() / "serivane" / "registry";
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(registry, ignored)) fs::remove(entry, ignored);
  for (const auto& [name, text] : kHives) std::ofstream(registry / name, std::ios::binary) << text;
  const fs::path file = Folder() / "input.reg";
  std::ofstream(file, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

  std::istringstream in;
  std::ostringstream out, err;
  serivane::tools::RegConsole console{in, out, err, false, false};
  const int status = serivane::tools::RunRegCommand({"import", file.string()}, console);
  if (status != 0) {
    for (const auto& [name, text] : kHives)
      if (ReadAll(registry / name) != text) __builtin_trap();  // a failed import changed a hive
    return 0;
  }
  for (const std::uint32_t root : {reg::kHKeyLocalMachine, reg::kHKeyCurrentUser,
                                   reg::kHKeyClassesRoot, reg::kHKeyCurrentConfig}) {
    if (!reg::LoadHive(root)) __builtin_trap();
  }
  return 0;
}
