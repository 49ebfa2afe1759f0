// The end of the program: the Exit command, closing the window and the signals that do the
// same, the save of the settings on the way out, and a registry failure that ends it.
#include <QApplication>
#include <QCloseEvent>
#include <QTimer>
#include <cstdio>

#include "app/rs232_form.h"
#include "common/conv.h"
#include "settings/settings_store.h"

namespace serivane::app {

void RS232_Form::closeEvent(QCloseEvent* event) {
  if (ended_) {
    event->accept();
    return;
  }
  // A session manager closes the windows while it saves the session (logout, shutdown); every
  // other close is the operator's own.
  const std::int16_t unload_mode = qApp->isSavingSession() ? 1 : 0;
  Form_QueryUnload(unload_mode);
  // After the Exit command the window never closes in the ordinary way.
  if (ended_) {
    event->ignore();
  } else {
    event->accept();
  }
}

void RS232_Form::Form_QueryUnload(std::int16_t unload_mode) {
  if (unload_mode == 0) FuncExit_Menu_Click();
}

void RS232_Form::FuncExit_Menu_Click() {
  if (ended_) return;
  // From here on nothing of the window starts again: no tick reopens the port and no run
  // starts, not even while a box about a failed save waits for its click.
  StopHandlers();
  try {
    Test_MSComm->Release();
  } catch (const serial::CommError&) {
    // The port is going away with the program; a close that fails changes nothing here.
  }
  if (!SaveSettingsNow()) return;  // the failure has ended the program
  EndProgram(exit_status_);
}

void RS232_Form::EndBySignal(int signo) {
  if (ended_) return;
  exit_status_ = 128 + signo;
  // Nobody may be there to click a box away (a logout, a service manager, a script's limit).
  unattended_exit_ = true;
  FuncExit_Menu_Click();
}

bool RS232_Form::SaveSettingsNow() {
  settings_.WindowHeight = static_cast<float>(OuterHeightPixels() * 15);
  try {
    if (!SettingsRegistry) SettingsRegistry = std::make_unique<settings::CRegistry>();
    settings::SaveSettings(*SettingsRegistry, settings_);
  } catch (const settings::RegistryError& error) {
    RegistryFailure(error);
    return false;
  }
  return true;
}

void RS232_Form::RegistryFailure(const settings::RegistryError& error) {
  StopHandlers();
  const std::string number = ErrorNumberText(error.number());
  std::string text = number + "\r" + error.description();
  std::string line = "serivane: " + number + ": " + error.description();
  if (!error.reason().empty()) {
    text += "\r" + error.reason();
    line += " (" + error.reason() + ")";
  }
  // Standard error gets it too, for whoever started the program unattended.
  std::fprintf(stderr, "%s\n", line.c_str());
  // A program that ends itself after a run has nobody to click the box away.
  if (!unattended_exit_) {
    services_.dialogs->Message(text, "RS-232 Serivane", MessageIcon::kCritical, false);
  }
  EndProgram(exit_status_ != 0 ? exit_status_ : 1);
}

void RS232_Form::StopHandlers() {
  ended_ = true;
  Update_Timer->stop();
  tmrOnComm->stop();
  pump_->Stop();
}

void RS232_Form::EndProgram(int status) {
  StopHandlers();
  if (services_.exit_program) services_.exit_program(status);
}

}  // namespace serivane::app
