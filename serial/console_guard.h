// The console guard: the system's console is never opened for testing, whatever path leads to
// it. The kernel's console list is read here and nowhere else; port discovery asks for the
// same names.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace serivane::serial {

// The terminals the kernel writes its console to, as <sysfs_root>/class/tty/console/active
// names them ("tty0 ttyS0" -> {"tty0", "ttyS0"}); empty when the file is missing.
std::vector<std::string> ActiveConsoleNames(const std::string& sysfs_root);

// One terminal that is the console, by device number. Numbers, not names, so that no other
// path, link or device node (mknod, a container's device mapping, a chroot's /dev) that reaches
// the console is opened.
struct ConsoleTty {
  std::string name;
  dev_t number = 0;
  bool number_known = false;  // sysfs gave no number; the name is all there is to go by
};

// /dev/console itself and each active console terminal, with the "major:minor" that
// <sysfs_root>/class/tty/<name>/dev gives for it.
std::vector<ConsoleTty> ConsoleTtys(const std::string& sysfs_root);

// The console that device `number` (or, for a console without a number, the path's kernel name)
// is; nullptr when it is none of them. With tty0 active every virtual terminal counts.
const ConsoleTty* FindConsole(const std::vector<ConsoleTty>& consoles, dev_t number,
                              const std::string& kernel_name);

// A device's name as the console list writes it: the path below /dev ("/dev/pts/3" ->
// "pts/3"), or the last part of a path elsewhere.
std::string KernelName(const std::string& real_path);

}  // namespace serivane::serial
