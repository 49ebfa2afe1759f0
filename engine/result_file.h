// The result file of one test run. It is created afresh (an existing file loses its content)
// and every line goes to the system with one write() of its own before WriteLine returns, so a
// program that ends in the middle of a run keeps every line written so far.
//
// Nothing here throws: failures come back as the system's reason, and the run decides what the
// operator is told. Lines are bytes; they are written as they are, each followed by CR LF.
#pragma once

#include <string>
#include <string_view>

namespace serivane::engine {

class ResultFile {
 public:
  ResultFile() = default;
  ~ResultFile();  // closes the file; a failure to close is lost here, call Close() to see it
  ResultFile(const ResultFile&) = delete;
  ResultFile& operator=(const ResultFile&) = delete;

  // Creates or truncates `path` for writing. Returns "" on success, otherwise the reason
  // (the file is then not open).
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
