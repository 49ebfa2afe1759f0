// The status display: the status tick that shows CTS, DSR and DCD as the port reads them, and
// the RTS and DTR switches.
#include <QCheckBox>

#include "app/rs232_form.h"

namespace serivane::app {

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

}  // namespace serivane::app
