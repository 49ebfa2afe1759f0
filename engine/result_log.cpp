#include "engine/result_log.h"

#include "common/paths.h"
#include "engine/result_file.h"

namespace serivane::engine {

namespace {

// The results box is cut back to its last kKeptChars characters when an append makes it longer
// than kMaxChars, so that a long repeated run cannot grow it without end.
constexpr std::size_t kMaxChars = 20000;
constexpr std::size_t kKeptChars = 10000;

}  // namespace

ResultLog::ResultLog(ResultsView& view, RunObserver& observer) : view_(view), observer_(observer) {}

ResultLog::~ResultLog() = default;

void ResultLog::AppendLine(std::string_view line) {
  if (test_lines_ != nullptr) {
    test_lines_->emplace_back(line);
    Append(line, LineOrigin::kTest);
  } else {
    Append(line, LineOrigin::kRun);
  }
}

void ResultLog::AppendEventLine(std::string_view line) {
  Append(line, LineOrigin::kEvent);
}

void ResultLog::Append(std::string_view line, LineOrigin origin) {
  observer_.LineAdded(line, origin);
  std::string added(line);
  added.append("\r\n");
  // Appended, not set again: a repeated run adds thousands of lines to a full box.
  view_.AppendResultText(added);
  view_.MoveResultCaretToEnd();
  view_.RepaintResult();
  // The cut counts characters, not lines: the first line left may be a fragment. The caret
  // stays where the widget puts it.
  if (view_.ResultTextLength() > kMaxChars) {
    const std::string text = view_.ResultText();
    view_.SetResultText(text.substr(text.size() - kKeptChars));
  }
}

void ResultLog::AppendReceived(std::string_view received) {
  std::string text = view_.ResultText();
  text.append(received);
  // A port that keeps sending while no run is going must not grow the box (and the time each
  // update takes) without end.
  if (text.size() > kMaxChars) text.erase(0, text.size() - kKeptChars);
  view_.SetResultText(text);
}

void ResultLog::OpenFile(const std::string& stored_name) {
  file_.reset();
  file_failed_ = false;
  file_created_ = false;
  file_failure_.clear();
  create_error_.clear();
  if (!file_wanted_) return;
  file_ = std::make_unique<ResultFile>();
  const std::optional<std::string> path = ResolveDrivePath(stored_name, HomeFolder());
  shown_name_ = stored_name;
  if (path && *path != stored_name) shown_name_ += " (" + *path + ")";
  const std::string reason = path ? file_->Create(*path) : "no such drive";
  // The failure is told at the first line meant for the file, so that it stands after the start
  // line in the box.
  if (!reason.empty())
    create_error_ = "Result file error: cannot create " + shown_name_ + ": " + reason;
  file_created_ = reason.empty();
}

void ResultLog::CloseFile() noexcept {
  if (!file_) return;
  const std::string reason = file_->Close();
  file_.reset();
  if (reason.empty() || file_failed_) return;
  file_failed_ = true;
  try {
    file_failure_ = "Result file error: cannot write " + shown_name_ + ": " + reason;
    AppendLine(file_failure_);
  } catch (...) {
  }
}

void ResultLog::WriteLine(std::string_view line) {
  if (!file_ || file_failed_) return;
  std::string message = create_error_;
  if (file_->IsOpen()) {
    const std::string reason = file_->WriteLine(line);
    if (reason.empty()) return;
    message = "Result file error: cannot write " + shown_name_ + ": " + reason;
  }
  // Further writes would only fail the same way; the box still shows everything.
  file_failed_ = true;
  file_failure_ = message;
  AppendLine(message);
}

void ResultLog::Report(char mark, std::string_view line) {
  AppendLine(line);
  std::string marked(1, mark);
  marked.append(line);
  WriteLine(marked);
}

std::string SplitFilename(std::string_view path, bool want_folder) {
  const std::size_t p = path.rfind('\\');
  if (p == std::string_view::npos) return want_folder ? "." : std::string(path);
  return std::string(want_folder ? path.substr(0, p) : path.substr(p + 1));
}

}  // namespace serivane::engine
