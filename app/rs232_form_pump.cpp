// The window as the engine's event loop: the port served and the results box brought up to date
// whenever a test lets events run or waits, and the engine's one-second timer.
#include <QCoreApplication>
#include <QTimer>

#include "app/rs232_form.h"

namespace serivane::app {

void RS232_Form::tmrOnComm_Timer() {
  if (ended_) return;
  tester_->CommTimerTick();
}

void RS232_Form::ServicePort() {
  if (!ended_) pump_->Service();
}

void RS232_Form::DoEvents() {
  // Serving the port here, not only from its timer, keeps a waiting test in step with the
  // port's own clock, which may run faster than the event loop's.
  ServicePort();
  results_->Flush();
  QCoreApplication::processEvents();
}

bool RS232_Form::WaitForEvents(std::int32_t max_ms) {
  // The loop sleeps on the system's clock; a window given another clock (tests) would wait
  // without that clock moving.
  if (ended_ || services_.clock != &SystemClock()) return false;
  results_->Flush();
  pump_->Wait(max_ms);
  return true;
}

void RS232_Form::SetCommTimerEnabled(bool enabled) {
  if (enabled) {
    tmrOnComm->start();
  } else {
    tmrOnComm->stop();
  }
}

}  // namespace serivane::app
