// The port in the event loop: its descriptor watched and its next deadline timed, so that a
// test waiting on the port sleeps in the loop and wakes when the port has something.
#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>

#include "app/rs232_form.h"

namespace serivane::app {

void RS232_Form::tmrOnComm_Timer() {
  if (ended_) return;
  tester_->CommTimerTick();
}

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

void RS232_Form::SetCommTimerEnabled(bool enabled) {
  if (enabled) {
    tmrOnComm->start();
  } else {
    tmrOnComm->stop();
  }
}

}  // namespace serivane::app
