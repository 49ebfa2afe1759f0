// Where the programs may write a file whose path somebody else may have chosen (a stored
// setting, a script's argument in a shared folder): only over a regular file, never through a
// link another user planted, and, for a file replaced whole, so that a reader finds the old file
// or the new one and never a part.
//
// A link in a sticky folder that everybody may write (/tmp) is followed only when it belongs to
// this user or to the folder's owner: the kernel's protected_symlinks rule, applied whatever the
// kernel is set to, so that nobody can aim this program's writes at a file of the user's.
// Devices, pipes, sockets and folders are refused by a look before any open: opening a device
// can have effects of its own (a serial port raises its modem lines), and a pipe would be
// waited on.
//
// Nothing here throws; a refusal or failure comes back as its reason in plain words.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace serivane {

// `path` with every link followed one at a time, as the kernel follows them, each judged by the
// folder it stands in. Sets `refusal` and gives "" when a link must not be followed. Parts that
// do not exist are taken as they stand; opening the path then tells the system's reason.
std::string FollowLinksSafely(const std::string& path, std::string& refusal);

// What a path names once its links are followed.
struct FileTarget {
  std::string path;  // absolute, no link left in it
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  mode_t mode = 0;
  uid_t owner = 0;
  gid_t group = 0;
};

// Follows the links of `path` and looks at what stands there, opening nothing. Gives "" when a
// file may be written there (nothing yet, or a regular file), otherwise the reason: another
// user's link, "it is not a regular file", or the system's reason for a folder that cannot be
// searched.
std::string JudgeTarget(const std::string& path, FileTarget& target);

// The first `size` bytes (fewer when the file is shorter) of the regular file at `path`, opened
// without following a link and without waiting. Gives "" or the reason it cannot be read.
std::string ReadHead(const std::string& path, std::size_t size, std::string& head);

// Judges `path` as JudgeTarget does and, when `own_start` is not empty, also refuses an existing
// file that is neither empty nor begins with `own_start` (a file of somebody else, left as it
// is). A file that does not exist must be creatable: its folder writable. Gives "" or the reason.
std::string CheckReplaceable(const std::string& path, std::string_view own_start,
                             FileTarget& target);

// Replaces the file at `path` by one holding `content`, after the same checks as
// CheckReplaceable: the content goes to a new file in the same folder, is synced, and is renamed
// over the path, so that a reader (or a crash) finds the previous whole file or the new whole
// one. A file replaced keeps its permissions (and, for the superuser, its owner); a new one is
// made with 0666 less the umask. Gives "" or the reason; on failure nothing at the path changed
// and no temporary file is left.
std::string ReplaceFile(const std::string& path, std::string_view own_start,
                        std::string_view content);

}  // namespace serivane
