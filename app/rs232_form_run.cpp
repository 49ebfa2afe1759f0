// The window during a run: the controls the engine sets and reads, its questions to the
// operator, and what the window keeps of the run for its remarks and its exit status.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QMenu>
#include <QPushButton>
#include <cstdio>
#include <utility>

#include "app/rs232_form.h"

namespace serivane::app {

void RS232_Form::SetRunControlsEnabled(bool enabled) {
  Run_Button->setEnabled(enabled);
  Manual_Frame->setEnabled(enabled);
  Setup_Menu->menuAction()->setEnabled(enabled);
  Func_Menu->menuAction()->setEnabled(enabled);
  Com_Combo->setEnabled(enabled);
}

bool RS232_Form::RepeatChecked() const {
  return Loop_Check->isChecked();
}

void RS232_Form::FocusRepeatBox() {
  Loop_Check->setFocus();
}

void RS232_Form::FocusRunButton() {
  Run_Button->setFocus();
}

void RS232_Form::RestoreIfMinimized() {
  if (isMinimized()) showNormal();
}

bool RS232_Form::AskFailureContinue(const std::string& text, const std::string& title) {
  results_->Flush();
  return services_.dialogs->Message(text, title, MessageIcon::kExclamation, true);
}

void RS232_Form::ShowCriticalMessage(const std::string& text, const std::string& title) {
  results_->Flush();
  services_.dialogs->Message(text, title, MessageIcon::kCritical, false);
}

void RS232_Form::SetBusyCursor(bool busy) {
  if (busy == busy_cursor_) return;
  busy_cursor_ = busy;
  if (busy) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}

bool RS232_Form::RtsChecked() const {
  return RTS_Check->isChecked();
}

bool RS232_Form::DtrChecked() const {
  return DTR_Check->isChecked();
}

void RS232_Form::SelectComEntry(int index) {
  Com_Combo->setCurrentIndex(index);
}

void RS232_Form::SetTestFrameCaption(const std::string& caption) {
  Test_Frame->setTitle(ToQString(caption));
}

bool RS232_Form::CloseWhenFinished() const {
  return FuncClose_Menu->isChecked();
}

void RS232_Form::Exit() {
  // The engine calls this only at the end of a run with "Close when finished" marked.
  unattended_exit_ = true;
  exit_status_ = RunStatus();
  FuncExit_Menu_Click();
}

int RS232_Form::RunStatus() const {
  if (run_.failed || run_.in_pass) return 1;
  return run_.file_failed ? 3 : 0;
}

void RS232_Form::TestStarting(std::int16_t) {
  run_.in_pass = true;
  if (run_.notes_written) return;
  run_.notes_written = true;
  // Under the run's start line, in the box and the file, as remarks.
  std::vector<std::string> notes = std::move(notes_);
  notes_.clear();
  if (!setup_line_.empty()) notes.push_back(std::exchange(setup_line_, {}));
  for (const std::string& note : notes) tester_->Log().Report(' ', note);
}

void RS232_Form::LineAdded(std::string_view line, engine::LineOrigin) {
  if (setup_lines_ != nullptr) setup_lines_->emplace_back(line);
  // The result log says so in the box, once a run, when its file cannot be created or written.
  if (tester_->Running() && !run_.file_failed && !tester_->Log().FileFailure().empty())
    ResultFileFailed(tester_->Log().FileFailure());
}

void RS232_Form::PassFinished(const engine::PassOutcome& pass) {
  run_.in_pass = false;
  if (!pass.passed) run_.failed = true;
}

void RS232_Form::ResultFileFailed(std::string_view message) {
  run_.file_failed = true;
  // Whoever started the program unattended reads standard error, not the box.
  std::fprintf(stderr, "serivane: %.*s\n", static_cast<int>(message.size()), message.data());
}

}  // namespace serivane::app
