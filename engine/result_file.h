// The result file of one test run. It is created afresh (an earlier result file loses its
// content) and every line goes to the system with one write() of its own before WriteLine
// returns, so a program that ends in the middle of a run keeps every line written so far.
//
// The path comes from a stored setting that an import may have set, so Create writes only where
// a result file may stand: a regular file, new or empty or holding an earlier run (its first line
// begins "Test started"). It never opens a device, a pipe or a folder, never truncates any other
// file, and does not follow a link that another user put in a shared sticky folder such as /tmp
// (the kernel's protected_symlinks rule, applied whatever the kernel is set to; see
// common/safe_file.h).
//
// Nothing here throws: failures come back as the system's reason, and the run decides what the
// operator is told. Lines are bytes; they are written as they are, each followed by CR LF.
#pragma once

#include <string>
#include <string_view>

namespace serivane::engine {

// The first line of every result file this program writes begins with this.
inline constexpr std::string_view kResultFileStart = "Test started";

class ResultFile {
 public:
  ResultFile() = default;
  ~ResultFile();  // closes the file; a failure to close is lost here, call Close() to see it
  ResultFile(const ResultFile&) = delete;
  ResultFile& operator=(const ResultFile&) = delete;

  // Creates `path`, or empties it when it holds an earlier run, for writing. Returns "" on
  // success, otherwise the reason (the file is then not open and nothing was changed). Never
  // blocks.
  std::string Create(const std::string& path);

  // Writes `line` + CR LF. Returns "" on success, otherwise the reason; the file stays open.
  // Writing to a file that is not open gives a reason as well.
  std::string WriteLine(std::string_view line);

  // Closes the file. Returns "" on success (also when it was not open), otherwise the reason.
  std::string Close();

  bool IsOpen() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace serivane::engine
