#include "tools/run/console.h"

#include <algorithm>
#include <climits>

#include "common/conv.h"
#include "engine/test_names.h"

namespace serivane::run {

void Console::Line(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (!progress_.empty()) stream_ << "\r\x1b[K";
  stream_ << text << '\n';
  if (!progress_.empty()) stream_ << progress_;
  stream_.flush();
}

void Console::Progress(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (!terminal_ || text == progress_) return;
  progress_ = text;
  stream_ << "\r\x1b[K" << progress_;
  stream_.flush();
}

void Console::EndProgress() {
  std::lock_guard lock(mutex_);
  if (progress_.empty()) return;
  stream_ << '\n';
  progress_.clear();
  stream_.flush();
}

namespace {

std::string Describe(const PortOutcome& o) {
  return o.port == o.device || o.device.empty() ? o.port : o.port + " (" + o.device + ")";
}

}  // namespace

std::string Head(const PortOutcome& o, bool several) {
  if (!several || o.name == o.port) return Describe(o);
  return o.name + " (" + Describe(o) + ")";
}

std::string SummaryLine(const PortOutcome& o, bool several) {
  const std::string head = Head(o, several);
  const std::string passes = DecimalText(o.passes) + (o.passes == 1 ? " pass" : " passes");
  std::string text;
  if (!o.error.empty()) {
    text = head + ": " + o.error + ", " + passes;
  } else if (o.interrupted && o.tests.empty()) {
    text = head + ": stopped before any test finished";
  } else {
    std::string failed;
    for (const TestRecord& t : o.tests) {
      if (t.failures == 0) continue;
      failed += (failed.empty() ? "" : ", ") + engine::TestName(t.number, o.settings.SingleBytes);
    }
    for (const CheckOutcome& c : o.checks) {
      if (c.passed) continue;
      failed += (failed.empty() ? "" : ", ") + c.name + (c.interrupted ? " stopped" : "");
    }
    text = head + ": ";
    text += !failed.empty()    ? "FAILED (" + failed + ")"
            : o.pass_cut_short ? "not every selected test ran"
            : o.checks.empty() ? "all tests passed"
                               : "all tests and checks passed";
    text += ", " + passes;
    if (o.interrupted) text += ", stopped";
  }
  // With several ports each file's name was made here: the summary says where it went.
  if (several && !o.result_file.empty()) text += ", results in " + o.result_file;
  return text;
}

std::string ProgressText(const std::vector<std::unique_ptr<PortRun>>& runs,
                         const std::vector<std::string>& names) {
  if (runs.size() == 1) {
    return "pass " + DecimalText(runs[0]->PassesDone() + (runs[0]->Finished() ? 0 : 1)) +
           ", failures " + DecimalText(runs[0]->FailuresSoFar());
  }
  std::int32_t low = INT32_MAX, high = 0, failures = 0;
  std::string failing;
  int failing_ports = 0;
  // A port that has finished (a failure ends its run) does not hold the range back.
  const bool all_finished =
      std::all_of(runs.begin(), runs.end(), [](const auto& r) { return r->Finished(); });
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const std::int32_t pass = runs[i]->PassesDone() + (runs[i]->Finished() ? 0 : 1);
    if (all_finished || !runs[i]->Finished()) {
      low = std::min(low, pass);
      high = std::max(high, pass);
    }
    const std::int32_t f = runs[i]->FailuresSoFar();
    failures += f;
    if (f > 0 && ++failing_ports <= 4) failing += " " + names[i];
  }
  if (failing_ports > 4) failing += " ...";
  std::string text = DecimalText(static_cast<std::int64_t>(runs.size())) + " ports: pass " +
                     DecimalText(low) + (high != low ? " to " + DecimalText(high) : "") +
                     ", failures " + DecimalText(failures);
  if (!failing.empty()) text += " (" + failing.substr(1) + ")";
  return text;
}

}  // namespace serivane::run
