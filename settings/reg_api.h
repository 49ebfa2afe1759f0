// The registry calls behind CRegistry, with the meaning they have on the platform the program was
// written for, over the store of registry_store.h.
//
// A handle refers to a root and a key path and is resolved again at every call, so a key that
// someone else deleted makes later calls on the handle fail with kKeyDeleted. Handles are
// process-wide and thread-safe; they are not inherited meaningfully by a fork (the child should
// open its own). Failures are RegResults (reg_result.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "settings/reg_result.h"

namespace serivane::settings {

using RegHandle = std::uint64_t;

// `path` is relative to `root` and already uses "\".
RegResult<RegHandle> RegOpen(std::uint32_t root, std::string_view path);
// Opens the key, creating it and every missing parent.
RegResult<RegHandle> RegCreate(std::uint32_t root, std::string_view path);
RegResult<> RegClose(RegHandle handle);
// Deletes a key that has no subkeys. The root key itself cannot be deleted.
RegResult<> RegDeleteKey(std::uint32_t root, std::string_view path);
// `size` holds the buffer size in bytes on entry and the data size on return (also when the
// answer is kMoreData); `data`, when not null, receives the bytes on success.
RegResult<> RegQueryValue(RegHandle handle, std::string_view name, std::string* data,
                          std::uint32_t& size);
// Stores `text` with its terminating NUL as a string value, replacing one of the same name.
RegResult<> RegSetString(RegHandle handle, std::string_view name, std::string_view text);
// Stores every (name, text) pair as RegSetString does, in one write of the hive: a failure or a
// crash leaves all of them or none.
RegResult<> RegSetStrings(RegHandle handle,
                          const std::vector<std::pair<std::string, std::string>>& values);
RegResult<> RegDeleteValue(RegHandle handle, std::string_view name);

}  // namespace serivane::settings
