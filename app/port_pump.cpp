#include "app/port_pump.h"

#include <QCoreApplication>
#include <algorithm>
#include <utility>

namespace serivane::app {

PortPump::PortPump(serial::CommControl& port,
                   std::function<void(const serial::CommError&)> on_error)
    : port_(port), on_error_(std::move(on_error)) {
  service_timer_.setSingleShot(true);
  // The plug's deliveries are due to the millisecond; a coarse timer may be 5 % late.
  service_timer_.setTimerType(Qt::PreciseTimer);
  wait_timer_.setSingleShot(true);
  wait_timer_.setTimerType(Qt::PreciseTimer);
  connect(&service_timer_, &QTimer::timeout, this, &PortPump::Service);
}

void PortPump::Service() {
  if (stopped_) return;
  try {
    port_.Service();
  } catch (const serial::CommError& error) {
    on_error_(error);
  }
  Rearm();
}

void PortPump::Rearm() {
  if (stopped_) return;
  const int fd = port_.WatchFd();
  if (fd != watched_fd_) {
    if (notifier_) {
      // This may run inside the notifier's own signal; let it go once that has returned.
      notifier_->setEnabled(false);
      notifier_->deleteLater();
      notifier_ = nullptr;
    }
    watched_fd_ = fd;
    if (fd >= 0) {
      notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
      connect(notifier_, &QSocketNotifier::activated, this, &PortPump::Service);
    }
  }
  // Received characters wake the loop when the awaited count is in, not one by one.
  const int wait_ms = port_.NextEventMs();
  if (wait_ms < 0) {
    service_timer_.stop();
  } else {
    service_timer_.start(wait_ms);
  }
}

void PortPump::Wait(std::int32_t max_ms) {
  // Bytes on the port wake the loop through the notifier, the plug's next delivery through the
  // service timer (both armed as the loop goes to sleep), and this timer ends the wait when
  // nothing comes.
  wait_timer_.start(std::max(max_ms, 0));
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  wait_timer_.stop();
}

void PortPump::Stop() {
  stopped_ = true;
  service_timer_.stop();
  if (notifier_) notifier_->setEnabled(false);
}

}  // namespace serivane::app
