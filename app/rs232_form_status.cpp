// The window's status display and manual line controls, the serial control in its event loop,
// and what the engine sees of the window.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QGroupBox>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTextLayout>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <utility>

#include "app/key_state.h"
#include "app/rs232_form.h"
#include "common/conv.h"
#include "engine/line_format.h"
#include "serial/plug_faults.h"
#include "settings/settings_store.h"

namespace serivane::app {

namespace {

constexpr int kComEntries = 32;

QString Q(const std::string& text) {
  return ToQString(text);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Manual line controls and the status display

void RS232_Form::RTS_Check_Click() {
  try {
    Test_MSComm->RtsOn(RTS_Check->isChecked());
  } catch (const serial::CommError& error) {
    tester_->Log().AppendLine("RTS: " + error.description());
  }
}

void RS232_Form::DTR_Check_Click() {
  try {
    Test_MSComm->DtrOn(DTR_Check->isChecked());
  } catch (const serial::CommError& error) {
    tester_->Log().AppendLine("DTR: " + error.description());
  }
}

void RS232_Form::Com_Combo_Validate() {
  ApplyPortChoice();
}

bool RS232_Form::ApplyPortChoice() {
  if (ended_ || tester_->Running()) return false;
  settings_.ComPort = static_cast<std::int16_t>(Com_Combo->currentIndex() + 1);
  return SetUpPortNoted();
}

void RS232_Form::Update_Timer_Timer() {
  if (ended_ || opening_port_) return;
  try {
    CTS_Check->setChecked(Test_MSComm->CtsState());
    DSR_Check->setChecked(Test_MSComm->DsrState());
    DCD_Check->setChecked(Test_MSComm->DcdState());
    if (Test_MSComm->OpenState()) {
      default_port_failing_ = false;
    } else {
      OpenPortFromTimer();
    }
  } catch (const serial::CommError& error) {
    // The line reads do not fail on a closed port; a device that fails them while open is
    // shown, and the next tick tries again.
    tester_->Log().AppendLine(error.description());
  }
  emit updateTicked();
}

void RS232_Form::OpenPortAtShow() {
  // The first tick decides whether Delete is held. Where the window system tells at once, that
  // tick need not wait half a second for the timer; elsewhere the key's events, which reach
  // the window once it has the focus, are waited for as before.
  const std::optional<bool> held = DeleteKeyHeld();
  if (!held) return;
  if (*held) use_default_port_ = true;
  // Once the loop runs, so that the window is on the screen before the port opens and a
  // start-up run begins.
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (ended_ || Test_MSComm->OpenState()) return;
        Update_Timer->start();
        Update_Timer_Timer();
      },
      Qt::QueuedConnection);
}

void RS232_Form::OpenPortFromTimer() {
  if (tester_->Running()) {
    // The port belongs to the run, also while its failure box is open or a test waits: a port
    // that a test left closed may come back on its own number, quietly, but the run never goes
    // on on another port, and its lines stay in the box. Tests that meet the port closed fail
    // by themselves; the recovery may act at the first tick after the run.
    try {
      Test_MSComm->OpenState(true);
    } catch (const serial::CommError&) {
    }
    return;
  }
  opening_port_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{opening_port_};
  bool recovered = false;
  std::string fallback_reason;
  while (true) {
    if (use_default_port_) {
      Com_Combo->setCurrentIndex(0);
      settings_.ComPort = 1;
    }
    try {
      Test_MSComm->PortNumber(settings_.ComPort);
      Test_MSComm->OpenState(true);
    } catch (const serial::CommError& error) {
      const bool trying_port_1 = use_default_port_ && settings_.ComPort == 1;
      if (trying_port_1 && (recovered || default_port_failing_)) {
        // Port 1 will not open either. Say so once and retry at each tick, without the pause:
        // the window must stay usable so that the operator can pick another port.
        if (!default_port_failing_) ShowNoPortOpens(error);
        default_port_failing_ = true;
        return;
      }
      fallback_reason = FallbackReason(settings_.ComPort, error);
      if (!use_default_port_ && FuncStart_Menu->isChecked() && FuncClose_Menu->isChecked()) {
        // The run that is due would end the program by itself: nobody may be there to see a
        // pass on another port, so nothing is tested and the program ends with status 3,
        // keeping the stored port.
        SetResultText("Illegal port number !!\r\n" + fallback_reason);
        PaintBeforePause();
        std::fprintf(stderr, "serivane: %s; no test was run\n",
                     fallback_reason.substr(0, fallback_reason.find('\r')).c_str());
        exit_status_ = 3;
        unattended_exit_ = true;
        FuncExit_Menu_Click();
        return;
      }
      SetResultText("Illegal port number !!\r\nChanging to default port Com1 ...\r\nWait ...\r\n" +
                    fallback_reason);
      PaintBeforePause();
      services_.clock->Sleep(1000);
      use_default_port_ = true;
      recovered = true;
      continue;
    }
    break;
  }
  default_port_failing_ = false;
  ShowPortReady();
  // The reason stays in view after the ready text, so that a pass on Com1 is not taken for one
  // of the port that failed.
  if (!fallback_reason.empty()) {
    SetResultText(ResultText() + fallback_reason);
    for (std::size_t from = 0, end; (end = fallback_reason.find("\r\n", from)) != std::string::npos;
         from = end + 2) {
      notes_.push_back(fallback_reason.substr(from, end - from));
    }
  }
  if (FuncStart_Menu->isChecked() && !use_default_port_) {
    // The run starts once this tick has returned, so that the status timer keeps ticking
    // during the run (a timer does not fire again inside its own handler).
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (!ended_) Run_Button_Click();
        },
        Qt::QueuedConnection);
  }
}

void RS232_Form::PaintBeforePause() {
  QWindow* window = windowHandle();
  if (isVisible() && window != nullptr && !window->isExposed()) {
    // Shown, but the window system has not yet let it be drawn. Only its events run here (the
    // status tick is held off by opening_port_); the operator's input waits.
    QDeadlineTimer limit(1000);
    while (!window->isExposed() && !limit.hasExpired() && !ended_) {
      QCoreApplication::processEvents(
          QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents, 50);
    }
  }
  repaint();
  // The drawing reaches the screen before the thread stops.
  QGuiApplication::sync();
}

void RS232_Form::ShowPortReady() {
  SetTestFrameCaption("&Test:  (" + engine::LineConfigFor(settings_).Text() + ")");
  SetResultText("Serivane ready\r\n");
}

std::string RS232_Form::FallbackReason(std::int16_t failed_port,
                                       const serial::CommError& error) const {
  // The description names the device and the system's reason; the serial layer adds who holds
  // a busy port, which group a forbidden one belongs to, and that a missing one is not present.
  std::string reason = "Com-port " + DecimalText(failed_port) + ": " +
                       DescriptionWithNumber(error.description(), error.number()) + "\r\n";
  bool com1_is_plug = false;
  try {
    com1_is_plug = failed_port != 1 && serial::IsLoopbackTarget(services_.resolver(1));
  } catch (const serial::CommError&) {
  }
  if (com1_is_plug) {
    reason +=
        "Com1 is the built-in virtual loopback plug: a pass on Com1 says nothing about "
        "Com-port " +
        DecimalText(failed_port) + ".\r\n";
  }
  return reason;
}

void RS232_Form::ShowNoPortOpens(const serial::CommError& error) {
  std::string text = "Com-port 1 cannot be opened either:\r\n" +
                     DescriptionWithNumber(error.description(), error.number()) + "\r\n" +
                     "Trying again every half second. Choose a port from the list:\r\n";
  if (services_.describe_port) {
    for (std::int16_t n = 1; n <= kComEntries; ++n) {
      if (services_.port_mapped && !services_.port_mapped(n)) continue;
      text += "Com" + DecimalText(n) + ": " + services_.describe_port(n) + "\r\n";
    }
  }
  SetResultText(text);
  MoveResultCaretToEnd();
}

void RS232_Form::tmrOnComm_Timer() {
  if (ended_) return;
  tester_->CommTimerTick();
}

// ---------------------------------------------------------------------------------------------
// The serial control in the event loop

void RS232_Form::ServicePort() {
  if (ended_) return;
  try {
    Test_MSComm->Service();
  } catch (const serial::CommError& error) {
    tester_->Log().AppendLine(error.description());
  }
  RearmPortService();
}

void RS232_Form::RearmPortService() {
  if (ended_ || !Test_MSComm) return;
  const int fd = Test_MSComm->WatchFd();
  if (fd != watched_fd_) {
    if (port_notifier_) {
      // This may run inside the notifier's own signal; let it go once that has returned.
      port_notifier_->setEnabled(false);
      port_notifier_->deleteLater();
      port_notifier_ = nullptr;
    }
    watched_fd_ = fd;
    if (fd >= 0) {
      port_notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
      connect(port_notifier_, &QSocketNotifier::activated, this, &RS232_Form::ServicePort);
    }
  }
  // Received characters wake the loop when the awaited count is in, not one by one.
  const int wait_ms = Test_MSComm->NextEventMs();
  if (wait_ms < 0) {
    port_service_timer_->stop();
  } else {
    port_service_timer_->start(wait_ms);
  }
}

// ---------------------------------------------------------------------------------------------
// What the engine sees of the window

std::string RS232_Form::ResultText() const {
  return result_text_;
}

void RS232_Form::SetResultText(const std::string& text) {
  result_text_ = text;
  Result_Text->setPlainText(Q(DisplayLines(text)));
  KeepShapedLines(Result_Text->document()->firstBlock());
}

void RS232_Form::KeepShapedLines(QTextBlock from) {
  // A text layout forgets its glyphs once laid out unless told to keep them, and every paint
  // of the box would shape each visible line again. The box holds at most about 20 000
  // characters, so what is kept stays small.
  for (QTextBlock block = from; block.isValid(); block = block.next()) {
    if (QTextLayout* layout = block.layout()) layout->setCacheEnabled(true);
  }
}

void RS232_Form::AppendResultText(const std::string& text) {
  // The box shows its whole text decoded as UTF-8, or as Latin-1 when it is not valid UTF-8, with
  // CR LF as one line end. Plain ASCII that does not complete a CR LF pair shows the same
  // either way when added on its own; anything else is set with the whole text.
  const bool ascii = std::all_of(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  const bool completes_pair =
      !result_text_.empty() && result_text_.back() == '\r' && !text.empty() && text.front() == '\n';
  if (!ascii || completes_pair) {
    SetResultText(result_text_ + text);
    return;
  }
  result_text_ += text;
  QTextCursor end(Result_Text->document());
  end.movePosition(QTextCursor::End);
  const QTextBlock first = end.block();
  end.insertText(Q(DisplayLines(text)));
  KeepShapedLines(first);
}

std::size_t RS232_Form::ResultTextLength() const {
  return result_text_.size();
}

void RS232_Form::MoveResultCaretToEnd() {
  caret_pending_ = true;
}

void RS232_Form::RepaintResult() {
  paint_pending_ = true;
}

void RS232_Form::FlushResultBox() {
  if (caret_pending_) {
    caret_pending_ = false;
    // Text added at the caret carries it along; moving it costs a paint of its own.
    if (!Result_Text->textCursor().atEnd()) Result_Text->moveCursor(QTextCursor::End);
    Result_Text->ensureCursorVisible();
  }
  if (paint_pending_) {
    paint_pending_ = false;
    Result_Text->viewport()->repaint();
  }
}

void RS232_Form::SetResultBackground(engine::Rgb colour) {
  QPalette palette = Result_Text->palette();
  palette.setColor(QPalette::Base, QColor(colour.r, colour.g, colour.b));
  Result_Text->setPalette(palette);
}

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
  FlushResultBox();
  return services_.dialogs->Message(text, title, MessageIcon::kExclamation, true);
}

void RS232_Form::ShowCriticalMessage(const std::string& text, const std::string& title) {
  FlushResultBox();
  services_.dialogs->Message(text, title, MessageIcon::kCritical, false);
}

void RS232_Form::DoEvents() {
  // Serving the port here, not only from its timer, keeps a waiting test in step with the
  // port's own clock, which may run faster than the event loop's.
  ServicePort();
  FlushResultBox();
  QCoreApplication::processEvents();
}

bool RS232_Form::WaitForEvents(std::int32_t max_ms) {
  // The loop sleeps on the system's clock; a window given another clock (tests) would wait
  // without that clock moving.
  if (ended_ || services_.clock != &SystemClock()) return false;
  // Bytes on the port wake the loop through the port's notifier, the plug's next delivery
  // through the service timer (both armed as the loop goes to sleep), and this timer ends the
  // wait when nothing comes.
  FlushResultBox();
  event_wait_timer_->start(std::max(max_ms, 0));
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  event_wait_timer_->stop();
  return true;
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
  Test_Frame->setTitle(Q(caption));
}

void RS232_Form::SetCommTimerEnabled(bool enabled) {
  if (enabled) {
    tmrOnComm->start();
  } else {
    tmrOnComm->stop();
  }
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

void RS232_Form::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  // Restoring a minimized window may keep its size and send no resize; the rule runs anyway.
  if (event->type() == QEvent::WindowStateChange && !isMinimized()) Form_Resize();
}

}  // namespace serivane::app
