// Hive files as an editor, a crash or a hostile hand may leave them. The store must accept or
// refuse each one without crashing, and a hive it accepts must read back the same after the
// store has written it: what FormatHive writes, ParseHive reads to the same text again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "settings/cregistry.h"
#include "settings/hive_format.h"

namespace reg = serivane::settings;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto tree = reg::ParseHive(bytes, reg::kHKeyLocalMachine, "fuzz.reg");
  if (!tree) return 0;
  const std::string text = reg::FormatHive("HKEY_LOCAL_MACHINE", *tree);
  const auto again = reg::ParseHive(text, reg::kHKeyLocalMachine, "fuzz.reg");
  if (!again) __builtin_trap();  // the store wrote a hive it cannot read
  if (reg::FormatHive("HKEY_LOCAL_MACHINE", *again) != text) __builtin_trap();
  return 0;
}
