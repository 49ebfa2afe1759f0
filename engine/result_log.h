// The result log: the lines of the results box and the result file of the run in progress.
// Between runs there is no file and lines go to the box only.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/front_end.h"

namespace serivane::engine {

class ResultFile;

class ResultLog {
 public:
  // Both must outlive the log.
  ResultLog(ResultsView& view, RunObserver& observer);
  ~ResultLog();
  ResultLog(const ResultLog&) = delete;
  ResultLog& operator=(const ResultLog&) = delete;

  // Adds `line` and a line end to the box, moves the caret to the end and repaints. A box that
  // grows beyond 20000 characters is cut back to its last 10000. The observer is told first: a
  // test's line while CaptureTestLines is on, a run's line otherwise.
  void AppendLine(std::string_view line);
  // As AppendLine, for a port event's message: never one of a test's lines.
  void AppendEventLine(std::string_view line);
  // The lines AppendLine adds from now on are also a test's own, and go to `lines` as well;
  // nullptr ends that.
  void CaptureTestLines(std::vector<std::string>* lines) { test_lines_ = lines; }
  // Adds characters received outside a run to the end of the box as they are (no line end, no
  // caret move), with the same cut.
  void AppendReceived(std::string_view received);

  // Creates the result file named by the stored setting `stored_name` (a drive path such as
  // "C:\RS-232_Result.Txt"). A file that cannot be created does not stop the run: the box says
  // so at the first line meant for the file.
  void OpenFile(const std::string& stored_name);
  // Closes the file of the run, saying in the box when it failed. Nothing when no file is open.
  void CloseFile() noexcept;
  // Writes `line` to the file only. A file that cannot be written is told once in the box and
  // left alone for the rest of the run.
  void WriteLine(std::string_view line);
  // `line` to the box, `mark` + `line` to the file.
  void Report(char mark, std::string_view line);

  // Off: the runs that follow write no result file and say nothing about one (a front end that
  // was asked for no file). On by default.
  void SetFileWanted(bool wanted) { file_wanted_ = wanted; }
  // Of the last run: whether its result file was created, and the box's line on the first
  // failure to create or write it ("" when the file took every line, or none was wanted).
  bool FileCreated() const { return file_created_; }
  const std::string& FileFailure() const { return file_failure_; }

 private:
  void Append(std::string_view line, LineOrigin origin);

  ResultsView& view_;
  RunObserver& observer_;
  std::vector<std::string>* test_lines_ = nullptr;
  std::unique_ptr<ResultFile> file_;
  // The file of this run could not be created or written; the operator has been told, or will
  // be at the next line for the file (`create_error_`).
  bool file_failed_ = false;
  std::string shown_name_;  // the path as the messages name it
  std::string create_error_;
  bool file_wanted_ = true;
  bool file_created_ = false;
  std::string file_failure_;
};

// Folder (want_folder true) or file name part of the stored result file name, cut at its last
// backslash: the stored name is written with drive letters.
std::string SplitFilename(std::string_view path, bool want_folder);

}  // namespace serivane::engine
