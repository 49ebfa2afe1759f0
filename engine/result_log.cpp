// The result log: the results box, the result file of the run, and the path split for the file
// dialog.
#include <memory>

#include "engine/result_file.h"
#include "engine/tester.h"

namespace serivane::engine {

namespace {

// The results box is cut back to its last kKeptChars characters when an append makes it longer
// than kMaxChars, so that a long repeated run cannot grow it without end.
constexpr std::size_t kMaxChars = 20000;
constexpr std::size_t kKeptChars = 10000;

}  // namespace

void Tester::AppendResultLine(std::string_view line) {
  window_.ResultLineAdded(line);
  std::string added(line);
  added.append("\r\n");
  // Appended, not set again: a repeated run adds thousands of lines to a full box.
  window_.AppendResultText(added);
  window_.MoveResultCaretToEnd();
  window_.RepaintResult();
  // The cut counts characters, not lines: the first line left may be a fragment. The caret
  // stays where the widget puts it.
  if (window_.ResultTextLength() > kMaxChars) {
    const std::string text = window_.ResultText();
    window_.SetResultText(text.substr(text.size() - kKeptChars));
  }
}

void Tester::AppendReceivedText(std::string_view received) {
  std::string text = window_.ResultText();
  text.append(received);
  // A port that keeps sending while no run is going must not grow the box (and the time each
  // update takes) without end: the same cut as for result lines applies.
  if (text.size() > kMaxChars) text.erase(0, text.size() - kKeptChars);
  window_.SetResultText(text);
}

void Tester::PrintResultLine(std::string_view line) {
  // Outside a run there is no file; nothing is written and nothing is said.
  if (!result_file_ || result_file_failed_) return;
  std::string message = result_file_create_error_;
  if (result_file_->IsOpen()) {
    const std::string reason = result_file_->WriteLine(line);
    if (reason.empty()) return;
    message = "Result file error: cannot write " + result_file_shown_name_ + ": " + reason;
  }
  // A file that cannot be created or written does not stop the run: the results box still
  // shows everything. The operator is told once, and the file is left alone for the rest of
  // the run, as further writes would only fail the same way.
  result_file_failed_ = true;
  AppendResultLine(message);
}

void Tester::ReportLine(char mark, std::string_view line) {
  AppendResultLine(line);
  std::string marked(1, mark);
  marked.append(line);
  PrintResultLine(marked);
}

bool Tester::ReportFailure(const std::string& head, const std::string& reason) {
  ReportLine('-', head + " <-- FAILED");
  ReportLine(' ', "Error: " + reason);
  return true;
}

std::string Tester::SplitFilename(std::string_view path, bool want_folder) {
  // Only the backslash separates: the stored path is written with drive letters.
  const std::size_t p = path.rfind('\\');
  if (p == std::string_view::npos) return want_folder ? "." : std::string(path);
  return std::string(want_folder ? path.substr(0, p) : path.substr(p + 1));
}

}  // namespace serivane::engine
