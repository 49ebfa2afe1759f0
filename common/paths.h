// Paths written the way people who kept settings on a drive-letter system write them. "C:" is
// the user's home folder, "Z:" the root of the file system, backslashes separate. A path that
// starts with "/" is used as it stands; a relative one is taken from the working folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace serivane {

// The file-system path for `path`, with `home` standing for "C:". Gives nullopt for a drive
// letter other than C and Z (there is no such drive here).
// "C:\RS-232_Result.Txt" -> home + "/RS-232_Result.Txt"; "Z:\tmp\a.txt" -> "/tmp/a.txt";
// "run.txt" -> "run.txt"; "logs\run.txt" -> "logs/run.txt".
std::optional<std::string> ResolveDrivePath(std::string_view path, std::string_view home);

// The user's home folder: $HOME, or the password database's entry when HOME is unset.
std::string HomeFolder();

}  // namespace serivane
