// Port locks: the UUCP lock file that serial programs honour, and the words for who holds a
// port when it is taken.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "common/unique_fd.h"
#include "serial/serial_error.h"

namespace serivane::serial {

// The lock file's name for a device: LCK.. and the path below /dev, further slashes made
// underscores ("/dev/pts/3" -> "LCK..pts_3").
std::string LockFileName(const std::string& device_path);

// The processes that have the character device `device` open, as "process 1234 (minicom)"
// joined by ", "; "" when none is visible (another user's processes may be hidden).
std::string DeviceHolders(dev_t device);

// "<what> is in use by <holders>: end that program or choose another port", with "another
// program" for holders "".
std::string InUseText(const std::string& what, const std::string& holders);

// For a permission failure on `path`: which group owns it and whether this user is in that
// group, e.g. "the device belongs to group dialout, and you are not a member of it (...)";
// "" when the path cannot be looked at.
std::string PermissionHint(const std::string& path);

// The UUCP lock file that other serial programs (minicom, picocom, uucp, ModemManager)
// honour: LCK..<name> in the lock folder, holding the owner's process number as ten ASCII
// digits and a newline. The lock's descriptor stays open while the port is held: the lock is ours
// while its name still leads to that same file and the file still holds the text we wrote, which
// proves ownership without opening the lock again. Only then does the release remove the name.
class UucpLock {
 public:
  UucpLock() = default;
  UucpLock(const UucpLock&) = delete;
  UucpLock& operator=(const UucpLock&) = delete;
  ~UucpLock() { Release(); }

  // True when this lock is held as `lock_path` and is still ours, as the release checks it:
  // a lock kept over a close is taken again only when it is not.
  bool Holds(const std::string& lock_path) const { return path_ == lock_path && StillOurs(); }

  // Takes <lock_dir>/<lock_name> for `device_path`; a lock left by a process that has ended is
  // removed and taken. Refuses with kErrPortAlreadyOpen when a live process holds the lock (or
  // the lock cannot be read), kErrHardwareNotAvailable when the lock's name is taken by something
  // that is not a regular file; the reason is the whole text, naming the device. A lock folder
  // that is missing or not writable is no reason to refuse the port: the lock is then simply not
  // taken.
  Result<> Acquire(const std::string& lock_dir, const std::string& lock_name,
                   const std::string& device_path);

  // Removes the lock file if it is still ours, and forgets it.
  void Release();

 private:
  bool StillOurs() const;
  int Place(const std::string& lock_dir, const std::string& lock_path, const std::string& content);
  int PlaceThroughNamedFile(const std::string& lock_dir, const std::string& lock_path,
                            const std::string& content);
  int Hold(UniqueFd file, const std::string& lock_path, const std::string& content);

  std::string path_;
  UniqueFd fd_;
  struct stat node_ {};
  std::string text_;
};

}  // namespace serivane::serial
