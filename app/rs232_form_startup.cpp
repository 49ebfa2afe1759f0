// Start-up: the stored settings onto the window, and the status tick's opening of the port,
// with the recovery to Com1 when the stored port will not open.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QTimer>
#include <QWindow>
#include <cmath>
#include <cstdio>

#include "app/key_state.h"
#include "app/rs232_form.h"
#include "common/conv.h"
#include "engine/line_format.h"
#include "serial/plug_faults.h"
#include "settings/settings_store.h"

namespace serivane::app {

namespace {

constexpr int kComEntries = 32;
// No screen is this tall; a stored height beyond it is a broken value, not a wish.
constexpr float kMaxHeightTwips = 100000.0f;

}  // namespace

void RS232_Form::Form_Load() {
  try {
    if (!SettingsRegistry) SettingsRegistry = std::make_unique<settings::CRegistry>();
    const settings::RegistrySnapshot stored =
        services_.stored ? *services_.stored
                         : settings::RegistrySnapshot::Read(settings::kHKeyLocalMachine);
    settings::LoadSettings(*SettingsRegistry, stored, settings_);
  } catch (const settings::RegistryError& error) {
    RegistryFailure(error);
    return;
  }
  ApplyLoadedSettings();

  // The status timer opens the port with its number only. The control's initial line settings
  // are the stored ones, so that the port runs at what the test frame's caption shows from the
  // first tick on, not at some other rate until the operator first changes a setting.
  try {
    Test_MSComm->LineSettings(engine::LineConfigFor(settings_).Text());
  } catch (const serial::CommError&) {
    // Settings the control refuses stay out; the first port setup reports them.
  }

  FillPortList();
  RTS_Check->setChecked(true);
  DTR_Check->setChecked(true);
  MarkLineSettings();

  results_->SetResultText("Wait ...\r\n");
  ShowLoadNotices();
  QCoreApplication::processEvents();
}

void RS232_Form::FillPortList() {
  for (int n = 1; n <= kComEntries; ++n) {
    Com_Combo->addItem(QStringLiteral("Com%1").arg(n));
    if (services_.describe_port) {
      Com_Combo->setItemData(
          n - 1, ToQString(services_.describe_port(static_cast<std::int16_t>(n))), Qt::ToolTipRole);
    }
  }
  Com_Combo->setCurrentIndex(settings_.ComPort - 1);
}

void RS232_Form::MarkLineSettings() {
  for (std::size_t i = 1; i <= 10; ++i) {
    if (kBaudRates[i] == settings_.BaudRate) baud_menu[i]->setChecked(true);
  }
  Bits_Menu[static_cast<std::size_t>(settings_.DataBits)]->setChecked(true);
  Stop_Menu[static_cast<std::size_t>(settings_.StopBits)]->setChecked(true);
  Parity_Menu[static_cast<std::size_t>(settings_.Parity)]->setChecked(true);
}

void RS232_Form::ShowLoadNotices() {
  // A stored value that was not used is said once, under the first tick's text (which replaces
  // "Wait ..."), so that it stays in view; and on standard error, for an unattended start.
  std::vector<std::string> notices = settings::LoadNotices(settings_);
  if (notices.empty()) return;
  for (const std::string& notice : notices) std::fprintf(stderr, "serivane: %s\n", notice.c_str());
  connect(
      this, &RS232_Form::updateTicked, this,
      [this, notices] {
        for (const std::string& notice : notices) {
          tester_->Log().AppendLine(notice);
          notes_.push_back(notice);
        }
      },
      Qt::SingleShotConnection);
}

void RS232_Form::ApplyLoadedSettings() {
  FuncClose_Menu->setChecked(settings_.CloseWhenFinish);
  FuncStart_Menu->setChecked(settings_.RunAtStartup);
  Test_Check[3]->setText(ToQString(DecimalText(settings_.SingleBytes)) + Test_Check[3]->text());
  // Changing a box runs its click handler, which sets the selection from the box again.
  for (std::size_t n = 1; n <= 5; ++n) Test_Check[n]->setChecked(settings_.TestSelected[n]);
  if (settings_.WindowHeight && std::isfinite(*settings_.WindowHeight) &&
      *settings_.WindowHeight > 0.0f && *settings_.WindowHeight < kMaxHeightTwips) {
    const int height_px = TwipsToPixels(static_cast<double>(*settings_.WindowHeight));
    pending_outer_height_px_ = height_px;
    SetOuterSize(frameGeometry().width(), height_px);
  }
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
        EndWithoutRun(fallback_reason);
        return;
      }
      results_->SetResultText(
          "Illegal port number !!\r\nChanging to default port Com1 ...\r\nWait ...\r\n" +
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
  if (!fallback_reason.empty()) KeepFallbackReason(fallback_reason);
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

void RS232_Form::EndWithoutRun(const std::string& reason) {
  // The run that is due would end the program by itself: nobody may be there to see a pass on
  // another port, so nothing is tested and the program ends with status 3, keeping the stored
  // port.
  results_->SetResultText("Illegal port number !!\r\n" + reason);
  PaintBeforePause();
  std::fprintf(stderr, "serivane: %s; no test was run\n",
               reason.substr(0, reason.find('\r')).c_str());
  exit_status_ = 3;
  unattended_exit_ = true;
  FuncExit_Menu_Click();
}

void RS232_Form::KeepFallbackReason(const std::string& reason) {
  // The reason stays in view after the ready text, so that a pass on Com1 is not taken for one
  // of the port that failed, and goes into the next run as remarks.
  results_->SetResultText(results_->ResultText() + reason);
  for (std::size_t from = 0, end; (end = reason.find("\r\n", from)) != std::string::npos;
       from = end + 2) {
    notes_.push_back(reason.substr(from, end - from));
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
  results_->SetResultText("Serivane ready\r\n");
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
  results_->SetResultText(text);
  results_->MoveResultCaretToEnd();
}

}  // namespace serivane::app
