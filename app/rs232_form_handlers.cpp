// The operator's handlers: the Delete key, the Function and Setup menus, the Run button, the
// test boxes and the port list.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <optional>

#include "app/rs232_form.h"
#include "common/conv.h"

namespace serivane::app {

namespace {

constexpr std::int16_t kDeleteKey = 46;

// "RS-232 Serivane1.4.0" CR CR "(Hold down <Delete> ...)".
std::string AboutText() {
  return "RS-232 Serivane" + DecimalText(SERIVANE_VERSION_MAJOR) + "." +
         DecimalText(SERIVANE_VERSION_MINOR) + "." + DecimalText(SERIVANE_VERSION_PATCH) +
         "\r\r(Hold down <Delete> during startup to reset Com-port to Com1)";
}

}  // namespace

void RS232_Form::Form_KeyDown(std::int16_t key_code) {
  if (key_code == kDeleteKey) use_default_port_ = true;
}

void RS232_Form::Form_KeyUp(std::int16_t key_code) {
  if (key_code == kDeleteKey) use_default_port_ = false;
}

bool RS232_Form::eventFilter(QObject* watched, QEvent* event) {
  // A frame's access key moves the focus to the control after the frame in tab order, not to
  // the frame's child that last had the focus.
  if (event->type() == QEvent::Shortcut && (watched == Manual_Frame || watched == Test_Frame)) {
    (watched == Manual_Frame ? RTS_Check : Test_Check[1])->setFocus(Qt::ShortcutFocusReason);
    return true;
  }
  if (!ended_ && (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease)) {
    auto* widget = qobject_cast<QWidget*>(watched);
    auto* key = static_cast<QKeyEvent*>(event);
    if (widget != nullptr && widget->window() == this && key->key() == Qt::Key_Delete) {
      if (event->type() == QEvent::KeyPress) {
        Form_KeyDown(kDeleteKey);
      } else if (!key->isAutoRepeat()) {
        // A held key repeats as release-press pairs; only the real release lets go of it.
        Form_KeyUp(kDeleteKey);
      }
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

void RS232_Form::FuncStart_Menu_Click(bool checked) {
  settings_.RunAtStartup = checked;
}

void RS232_Form::FuncClose_Menu_Click(bool checked) {
  settings_.CloseWhenFinish = checked;
}

void RS232_Form::FuncClear_Menu_Click() {
  results_->SetResultText("");
}

void RS232_Form::FuncAbout_Menu_Click() {
  services_.dialogs->Message(AboutText(), "About RS-232 Serivane", MessageIcon::kInformation,
                             false);
}

void RS232_Form::ApplyLineChoice(QAction* chosen) {
  chosen->setChecked(true);
  SetUpPortNoted();
}

bool RS232_Form::SetUpPortNoted() {
  if (tester_->Running()) return false;
  std::vector<std::string> lines;
  setup_lines_ = &lines;
  const std::optional<std::string> failure = tester_->SetUpPort();
  setup_lines_ = nullptr;
  if (failure) return false;
  if (!lines.empty()) setup_line_ = lines.back();
  return Test_MSComm->OpenState();
}

void RS232_Form::baud_menu_Click(std::int16_t index) {
  if (index < 1 || index > 10) return;
  settings_.BaudRate = kBaudRates[static_cast<std::size_t>(index)];
  ApplyLineChoice(baud_menu[static_cast<std::size_t>(index)]);
}

void RS232_Form::Bits_Menu_Click(std::int16_t index) {
  if (index != 7 && index != 8) return;
  settings_.DataBits = index;
  ApplyLineChoice(Bits_Menu[static_cast<std::size_t>(index)]);
}

void RS232_Form::Stop_Menu_Click(std::int16_t index) {
  if (index != 1 && index != 2) return;
  settings_.StopBits = index;
  ApplyLineChoice(Stop_Menu[static_cast<std::size_t>(index)]);
}

void RS232_Form::Parity_Menu_Click(std::int16_t index) {
  if (index < 1 || index > 3) return;
  settings_.Parity = index;
  ApplyLineChoice(Parity_Menu[static_cast<std::size_t>(index)]);
}

void RS232_Form::AskNumber(const char* prompt, const char* title, double threshold,
                           std::int16_t& field) {
  const std::string answer = services_.dialogs->Input(prompt, title, DecimalText(field));
  if (answer.empty()) return;
  // Rounded first, then checked: the limit holds for the value that is stored, so 100.4 is not
  // stored as a duration of 100 that the check refuses when typed.
  // A number beyond the 16-bit field is bad input like any other: ignored without a message.
  const std::optional<std::int16_t> value = ToInt16(Val(answer));
  if (value && *value > threshold) field = *value;
}

void RS232_Form::SetupDelay_Menu_Click() {
  AskNumber("Enter delay in milliseconds from RTS/DTR line set to CTS/DSR line is checked:",
            "Handshake test delay", 0.0, settings_.HandshakeDelay);
}

void RS232_Form::SetupDuration_Menu_Click() {
  AskNumber("Enter maximum allow duration milliseconds for close/open Com port:",
            "Max. close/open duration", 100.0, settings_.MaxDuration);
}

void RS232_Form::Run_Button_Click() {
  if (ended_ || tester_->Running()) return;
  // The run tests the port the list shows. A choice not yet set up (the focus is still in the
  // list, say after Alt+C and an arrow key, and Alt+R does not move it) is set up first, as
  // leaving the list would; a port that cannot be set up is not tested.
  const bool choice_pending =
      Com_Combo->hasFocus() || Com_Combo->currentIndex() + 1 != settings_.ComPort;
  if (choice_pending && !ApplyPortChoice()) return;
  run_ = {};
  tester_->Run();
}

void RS232_Form::Test_Check_Click(int index, bool checked) {
  // Read by the run when the test's turn comes.
  settings_.TestSelected[static_cast<std::size_t>(index)] = checked;
}

void RS232_Form::Com_Combo_Validate() {
  ApplyPortChoice();
}

bool RS232_Form::ApplyPortChoice() {
  if (ended_ || tester_->Running()) return false;
  settings_.ComPort = static_cast<std::int16_t>(Com_Combo->currentIndex() + 1);
  return SetUpPortNoted();
}

}  // namespace serivane::app
